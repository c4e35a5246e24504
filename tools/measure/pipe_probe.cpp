// Feeds a tone into a sound server's pipe source and records its pipe sinks at the same time, then
// judges what every sink played: frequency, level, glitches and the latency from the moment the
// tone went in to the moment it came out. Used by the end-to-end run of the Windows library under
// Wine, where the pipes stand for the virtual card and two real devices.
//
//   pipe_probe --source FIFO [--rate 48000 --channels 2] [--hz 997 --dbfs -6]
//              [--go-file FILE] [--tone-seconds 7 --settle 0.5 --clean-seconds 3]
//              [--min-clean-seconds 0.5] [--keep FOLDER]
//              --sink NAME:FIFO:s16|f32:RATE:CHANNELS [--sink ...]
//
// The source is written as interleaved 16-bit at real-time pace: silence until FILE exists (at
// once without --go-file; at most a minute), then the tone on every channel for --tone-seconds.
// Exit status 0 when every sink carries the tone at the right frequency and level, without a
// glitch for --clean-seconds after the start-up; 3 when the tone is right on every sink but some
// sink is clean only for --min-clean-seconds (it glitched); 1 otherwise. Every glitch is reported.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "measure/signal_measure.h"

namespace {

using Clock = std::chrono::steady_clock;
using halvern::measure::AmplitudeToDbfs;
using halvern::measure::Deinterleave;
using halvern::measure::FindOnset;
using halvern::measure::JudgeTone;
using halvern::measure::ToneJudgement;
using halvern::measure::ToneVerdict;

struct Options {
  std::string source;
  int rate = 48000;
  int channels = 2;
  double hz = 997;
  double dbfs = -6;
  std::string goFile;
  double toneSeconds = 7;
  double settle = 0.5;  // start-up time after the onset that is not judged
  std::string keep;     // folder for the recordings of sinks that fail
  // The judged stretch without a glitch: a busy machine may stall the sound server now and then.
  double cleanSeconds = 3;
  // The shortest clean stretch that still shows the tone's frequency and level.
  double minCleanSeconds = 0.5;
};

struct Sink {
  std::string name;
  std::string fifo;
  bool isFloat = false;
  int rate = 0;
  int channels = 0;
  std::vector<float> samples;  // interleaved
  // (frames read so far, time of the read) after each read, to date the onset.
  std::vector<std::pair<std::int64_t, Clock::time_point>> reads;
};

[[noreturn]] void Fail(const std::string& text) {
  std::fprintf(stderr, "pipe_probe: %s\n", text.c_str());
  std::exit(2);
}

Sink ParseSink(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(':', from)) != std::string::npos; from = at + 1)
    parts.push_back(text.substr(from, at - from));
  parts.push_back(text.substr(from));
  if (parts.size() != 5 || (parts[2] != "s16" && parts[2] != "f32"))
    Fail("bad --sink '" + text + "' (NAME:FIFO:s16|f32:RATE:CHANNELS)");
  Sink sink;
  sink.name = parts[0];
  sink.fifo = parts[1];
  sink.isFloat = parts[2] == "f32";
  sink.rate = std::atoi(parts[3].c_str());
  sink.channels = std::atoi(parts[4].c_str());
  if (sink.rate <= 0 || sink.channels <= 0) Fail("bad rate or channels in '" + text + "'");
  return sink;
}

// Silence until the go file appears, then the tone. Returns when the tone ended; `toneTime` is the
// moment its first frame was written.
void Feed(const Options& o, std::atomic<bool>& failed, std::atomic<Clock::rep>& toneTime) {
  const int fd = open(o.source.c_str(), O_WRONLY);
  if (fd < 0) {
    std::perror(o.source.c_str());
    failed = true;
    return;
  }
  const int chunk = o.rate / 200;  // 5 ms
  const double amplitude = std::pow(10.0, o.dbfs / 20);
  const auto toneFrames = static_cast<std::int64_t>(o.toneSeconds * o.rate);
  const auto start = Clock::now();
  const auto giveUp = start + std::chrono::minutes(1);
  std::int64_t toneFrame = -1;  // frame at which the tone starts, once known
  std::vector<std::int16_t> buffer(static_cast<std::size_t>(chunk * o.channels));
  for (std::int64_t frame = 0;; frame += chunk) {
    const auto due = start + std::chrono::microseconds(frame * 1000000 / o.rate);
    if (toneFrame < 0 && (o.goFile.empty() || access(o.goFile.c_str(), F_OK) == 0)) {
      toneFrame = frame;
      toneTime = due.time_since_epoch().count();
    }
    if (toneFrame < 0 && due > giveUp) {
      std::fprintf(stderr, "pipe_probe: %s never appeared\n", o.goFile.c_str());
      failed = true;
      break;
    }
    if (toneFrame >= 0 && frame - toneFrame >= toneFrames) break;
    for (int f = 0; f < chunk; ++f) {
      const std::int64_t n = toneFrame < 0 ? -1 : frame + f - toneFrame;
      const double v =
          n < 0
              ? 0
              : amplitude * std::sin(2 * std::numbers::pi * o.hz * static_cast<double>(n) / o.rate);
      for (int c = 0; c < o.channels; ++c)
        buffer[static_cast<std::size_t>(f * o.channels + c)] =
            static_cast<std::int16_t>(std::lround(v * 32767));
    }
    std::this_thread::sleep_until(due);
    const auto bytes = static_cast<ssize_t>(buffer.size() * sizeof(std::int16_t));
    if (write(fd, buffer.data(), static_cast<std::size_t>(bytes)) != bytes) {
      std::perror("write to source");
      failed = true;
      break;
    }
  }
  close(fd);
}

void Record(Sink& sink, const std::atomic<bool>& feeding) {
  const int fd = open(sink.fifo.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) {
    std::perror(sink.fifo.c_str());
    return;
  }
  std::vector<char> buffer(1 << 16);
  while (read(fd, buffer.data(), buffer.size()) > 0) {
  }  // an idle sink leaves stale silence in its pipe
  const int width = sink.isFloat ? 4 : 2;
  const int frameBytes = width * sink.channels;
  std::vector<char> partial;
  std::int64_t frames = 0;
  // Go on a little after the feed ends: the tone is still on its way through the buffers.
  auto end = Clock::time_point::max();
  while (Clock::now() < end) {
    if (!feeding && end == Clock::time_point::max())
      end = Clock::now() + std::chrono::milliseconds(300);
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    const ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got <= 0) continue;
    const auto now = Clock::now();
    partial.insert(partial.end(), buffer.begin(), buffer.begin() + got);
    const std::size_t whole = partial.size() / static_cast<std::size_t>(frameBytes);
    for (std::size_t i = 0; i < whole * static_cast<std::size_t>(sink.channels); ++i) {
      const char* at = partial.data() + i * static_cast<std::size_t>(width);
      if (sink.isFloat) {
        float v;
        std::memcpy(&v, at, 4);
        sink.samples.push_back(v);
      } else {
        std::int16_t v;
        std::memcpy(&v, at, 2);
        sink.samples.push_back(static_cast<float>(v) / 32768.0f);
      }
    }
    partial.erase(partial.begin(),
                  partial.begin() + static_cast<std::ptrdiff_t>(whole * frameBytes));
    frames += static_cast<std::int64_t>(whole);
    sink.reads.emplace_back(frames, now);
  }
  close(fd);
}

// A frame left the server no later than the read that returned it.
Clock::time_point TimeOfFrame(const Sink& sink, std::int64_t frame) {
  for (const auto& [count, when] : sink.reads)
    if (count > frame) return when;
  return Clock::time_point::max();
}

// Frames read before `when` cannot hold the tone (whatever sound they carry is left over from
// an earlier run in the server's buffers).
std::size_t FramesReadBefore(const Sink& sink, Clock::time_point when) {
  std::int64_t frames = 0;
  for (const auto& [count, at] : sink.reads)
    if (at < when) frames = count;
  return static_cast<std::size_t>(frames);
}

ToneVerdict Judge(const Options& o, const Sink& sink, Clock::time_point toneTime) {
  const double expectedAmplitude = std::pow(10.0, o.dbfs / 20);
  ToneVerdict verdict = ToneVerdict::kClean;
  std::printf("%-12s %6d Hz %d ch: ", sink.name.c_str(), sink.rate, sink.channels);
  for (int c = 0; c < sink.channels; ++c) {
    const std::vector<float> x = Deinterleave(sink.samples, sink.channels, c);
    const std::size_t before = std::min(FramesReadBefore(sink, toneTime), x.size());
    auto onset = FindOnset(std::span<const float>(x).subspan(before),
                           static_cast<float>(expectedAmplitude / 2));
    if (onset) *onset += before;
    if (!onset) {
      std::printf("ch%d no tone (%zu frames recorded)\n", c, x.size());
      return ToneVerdict::kBad;
    }
    // The tone lasts toneSeconds from its onset; its last 100 ms are not judged either, since
    // the sink's clock may run a little slower than the feed's.
    const auto from = *onset + static_cast<std::size_t>(o.settle * sink.rate);
    const auto to =
        std::min(x.size(), *onset + static_cast<std::size_t>((o.toneSeconds - 0.1) * sink.rate));
    const auto length = static_cast<std::size_t>(o.cleanSeconds * sink.rate);
    if (to < from + length) {
      std::printf("ch%d tone too short (%zu frames)\n", c, x.size());
      return ToneVerdict::kBad;
    }
    const std::span<const float> judged(x.data() + from, to - from);
    const ToneJudgement j = JudgeTone(judged, sink.rate, o.hz, o.dbfs, length,
                                      static_cast<std::size_t>(o.minCleanSeconds * sink.rate));
    const double ppm = (j.tone.frequencyHz / o.hz - 1) * 1e6;
    const auto latency = std::chrono::duration<double, std::milli>(
        TimeOfFrame(sink, static_cast<std::int64_t>(*onset)) - toneTime);
    std::printf("ch%d %.2f Hz (%+.0f ppm) %.2f dBFS, latency <= %.0f ms, ", c, j.tone.frequencyHz,
                ppm, AmplitudeToDbfs(j.tone.amplitude), latency.count());
    if (j.cleanStart)
      std::printf("clean for %.1f s from %.2f s", static_cast<double>(j.cleanLength) / sink.rate,
                  static_cast<double>(from - *onset + *j.cleanStart) / sink.rate);
    else
      std::printf("no clean %.1f s", o.minCleanSeconds);
    // Every glitch is told, in ms after the onset, to match it with the library's log.
    if (!j.glitches.empty()) std::printf(", %zu glitches at", j.glitches.size());
    for (std::size_t g = 0; g < std::min<std::size_t>(j.glitches.size(), 6); ++g)
      std::printf(" %.0f", 1000.0 * static_cast<double>(from - *onset + j.glitches[g]) / sink.rate);
    std::printf(" %s; ", j.verdict == ToneVerdict::kClean     ? "ok"
                         : j.verdict == ToneVerdict::kGlitchy ? "GLITCHY"
                                                              : "BAD");
    verdict = std::max(verdict, j.verdict);
  }
  std::printf("\n");
  return verdict;
}

// A failed sink's recording, as raw interleaved float32, to look at what went wrong.
void Keep(const std::string& folder, const Sink& sink) {
  const std::string path = folder + "/" + sink.name + ".f32";
  if (FILE* file = std::fopen(path.c_str(), "wb")) {
    std::fwrite(sink.samples.data(), sizeof(float), sink.samples.size(), file);
    std::fclose(file);
    std::printf("%s: recording kept in %s\n", sink.name.c_str(), path.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::vector<Sink> sinks;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) Fail("missing value after " + arg);
    const std::string value = argv[++i];
    if (arg == "--source")
      o.source = value;
    else if (arg == "--rate")
      o.rate = std::atoi(value.c_str());
    else if (arg == "--channels")
      o.channels = std::atoi(value.c_str());
    else if (arg == "--hz")
      o.hz = std::atof(value.c_str());
    else if (arg == "--dbfs")
      o.dbfs = std::atof(value.c_str());
    else if (arg == "--go-file")
      o.goFile = value;
    else if (arg == "--tone-seconds")
      o.toneSeconds = std::atof(value.c_str());
    else if (arg == "--clean-seconds")
      o.cleanSeconds = std::atof(value.c_str());
    else if (arg == "--min-clean-seconds")
      o.minCleanSeconds = std::atof(value.c_str());
    else if (arg == "--keep")
      o.keep = value;
    else if (arg == "--settle")
      o.settle = std::atof(value.c_str());
    else if (arg == "--sink")
      sinks.push_back(ParseSink(value));
    else
      Fail("unknown option " + arg);
  }
  if (o.source.empty() || sinks.empty()) Fail("need --source and at least one --sink");
  if (o.rate <= 0 || o.channels <= 0 || o.toneSeconds < o.settle + o.cleanSeconds + 0.1 ||
      o.minCleanSeconds <= 0 || o.minCleanSeconds > o.cleanSeconds)
    Fail("bad source settings");

  std::atomic<bool> feedFailed{false};
  std::atomic<bool> feeding{true};
  std::atomic<Clock::rep> toneRep{0};
  std::vector<std::thread> recorders;
  for (Sink& sink : sinks) recorders.emplace_back(Record, std::ref(sink), std::cref(feeding));
  Feed(o, feedFailed, toneRep);
  feeding = false;
  for (auto& t : recorders) t.join();
  if (feedFailed) return 2;

  const Clock::time_point toneTime{Clock::duration{toneRep.load()}};
  ToneVerdict verdict = ToneVerdict::kClean;
  for (const Sink& sink : sinks) {
    const ToneVerdict judged = Judge(o, sink, toneTime);
    if (judged != ToneVerdict::kClean && !o.keep.empty()) Keep(o.keep, sink);
    verdict = std::max(verdict, judged);
  }
  return verdict == ToneVerdict::kClean ? 0 : verdict == ToneVerdict::kGlitchy ? 3 : 1;
}
