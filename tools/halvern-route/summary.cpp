#include "summary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "measure/signal_measure.h"

namespace halvern::route {

namespace {

using measure::AmplitudeToDbfs;
using measure::Deinterleave;
using measure::EstimateTone;
using measure::FindGlitches;
using measure::FindOnset;

// The moment the device's engine took frame `frame`: the start of its period plus its place in it.
std::optional<Clock::time_point> TimeOfFrame(const Recording& r, std::int64_t frame) {
  const auto next =
      std::upper_bound(r.periods.begin(), r.periods.end(), frame,
                       [](std::int64_t f, const auto& period) { return f < period.first; });
  if (next == r.periods.begin()) return std::nullopt;
  const auto& [first, when] = *(next - 1);
  return when + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                    static_cast<double>(frame - first) / r.device.rate));
}

std::string Optional(const std::optional<double>& v, const char* format) {
  if (!v) return "-";
  char text[32];
  std::snprintf(text, sizeof text, format, *v);
  return text;
}

}  // namespace

DeviceSummary Summarize(Recording& r, std::optional<Clock::time_point> sourceStart,
                        const ToneSource* tone, double settleSeconds, double tailSeconds) {
  std::lock_guard lock(r.mutex);
  DeviceSummary s;
  s.name = r.device.name;
  s.frames =
      static_cast<std::int64_t>(r.samples.size() / static_cast<std::size_t>(r.device.channels));
  s.seconds = static_cast<double>(s.frames) / r.device.rate;
  if (!tone || !sourceStart) return s;

  // Only frames taken after the tone started can carry it.
  std::size_t from = 0;
  for (const auto& [first, when] : r.periods)
    if (when < *sourceStart) from = static_cast<std::size_t>(first);
  const std::vector<float> x = Deinterleave(r.samples, r.device.channels, 0);
  if (from >= x.size()) return s;
  const float half = static_cast<float>(std::pow(10.0, tone->dbfs / 20) / 2);
  const auto onset = FindOnset(std::span<const float>(x).subspan(from), half);
  if (!onset) return s;
  const auto onsetFrame = static_cast<std::int64_t>(from + *onset);
  if (const auto arrived = TimeOfFrame(r, onsetFrame))
    s.latencyMs = std::chrono::duration<double, std::milli>(*arrived - *sourceStart).count();

  const auto begin = static_cast<std::size_t>(onsetFrame) +
                     static_cast<std::size_t>(settleSeconds * r.device.rate);
  const auto tail = static_cast<std::size_t>(tailSeconds * r.device.rate);
  if (begin + tail + static_cast<std::size_t>(r.device.rate / 10) > x.size()) return s;
  const std::span<const float> judged(x.data() + begin, x.size() - tail - begin);
  const auto estimate = EstimateTone(judged, r.device.rate);
  if (estimate.crossings < 3) return s;
  s.frequencyErrorPpm = (estimate.frequencyHz / tone->hz - 1) * 1e6;
  s.levelDbfs = AmplitudeToDbfs(estimate.amplitude);
  s.glitches = FindGlitches(judged, r.device.rate, estimate).size();
  std::size_t starved = 0;
  for (std::size_t i = 0; i + 1 < r.periods.size(); ++i) {
    const auto first = static_cast<std::size_t>(r.periods[i].first);
    const auto end = static_cast<std::size_t>(r.periods[i + 1].first);
    if (first < begin || end > x.size() - tail || end == first) continue;
    starved += std::all_of(x.begin() + static_cast<std::ptrdiff_t>(first),
                           x.begin() + static_cast<std::ptrdiff_t>(end),
                           [](float v) { return v == 0.0f; });
  }
  s.starved = starved;
  return s;
}

void PrintSummary(const std::vector<DeviceSummary>& rows, std::uint64_t overflows,
                  double cpuPercent) {
  std::printf("\n%-20s %8s %10s %9s %7s %11s %10s %9s %8s\n", "device", "seconds", "frames",
              "underruns", "starved", "latency ms", "freq ppm", "level dB", "glitches");
  for (const DeviceSummary& r : rows) {
    std::printf(
        "%-20s %8.2f %10lld %9llu %7s %11s %10s %9s %8s\n", r.name.c_str(), r.seconds,
        static_cast<long long>(r.frames), static_cast<unsigned long long>(r.underruns),
        r.starved ? std::to_string(*r.starved).c_str() : "-", Optional(r.latencyMs, "%.1f").c_str(),
        Optional(r.frequencyErrorPpm, "%+.0f").c_str(), Optional(r.levelDbfs, "%.2f").c_str(),
        r.glitches ? std::to_string(*r.glitches).c_str() : "-");
  }
  std::printf("ring overflows reported by the library: %llu; CPU: %.2f %% of one core\n",
              static_cast<unsigned long long>(overflows), cpuPercent);
}

}  // namespace halvern::route
