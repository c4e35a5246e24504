#include "sim_machine.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <numbers>

#include "platform/simaudio/sim_audio.h"
#include "text.h"

namespace halvern::route {

namespace sim = halvern::simaudio;

namespace {

constexpr char16_t kCardId[] = u"{0.0.1.00000000}.{halvern-route-card}";

bool IsFloat(const WAVEFORMATEX& format) {
  if (format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) return true;
  if (format.wFormatTag != WAVE_FORMAT_EXTENSIBLE) return false;
  const auto& ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format);
  return std::memcmp(&ext.SubFormat, &KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, sizeof(GUID)) == 0;
}

// One sample of a PCM or float stream, little-endian, as a normalised float and back.
float Decode(const std::uint8_t* at, int bits, bool isFloat) {
  if (isFloat) {
    float v;
    std::memcpy(&v, at, 4);
    return v;
  }
  std::int32_t v = 0;
  const int bytes = bits / 8;
  for (int b = 0; b < bytes; ++b) v |= static_cast<std::int32_t>(at[b]) << (8 * (4 - bytes + b));
  return static_cast<float>(v / 2147483648.0);
}

void Encode(float value, std::uint8_t* at, int bits, bool isFloat) {
  if (isFloat) {
    std::memcpy(at, &value, 4);
    return;
  }
  const double scaled = std::clamp(static_cast<double>(value), -1.0, 1.0) * 2147483647.0;
  const auto v = static_cast<std::int32_t>(std::lround(scaled));
  const int bytes = bits / 8;
  for (int b = 0; b < bytes; ++b) at[b] = static_cast<std::uint8_t>(v >> (8 * (4 - bytes + b)));
}

std::u16string OutputId(std::size_t index) {
  return u"{0.0.0.00000000}.{halvern-route-out-" + ToKovra(std::to_string(index)) + u"}";
}

}  // namespace

std::unique_ptr<SimMachine> SimMachine::Create(const SourceSpec& source,
                                               const std::vector<OutputSpec>& outputs,
                                               std::string* error) {
  std::unique_ptr<SimMachine> machine(new SimMachine);
  machine->m_Source = source;
  int cardRate = 48000;
  int cardChannels = 2;
  if (const auto* file = std::get_if<FileSource>(&source)) {
    SF_INFO info{};
    SNDFILE* sf = sf_open(file->path.c_str(), SFM_READ, &info);
    if (!sf) {
      *error = "cannot read '" + file->path + "': " + sf_strerror(nullptr);
      return nullptr;
    }
    if (info.channels < 1 || info.channels > 8 || info.frames <= 0) {
      sf_close(sf);
      *error = "'" + file->path + "' has no usable audio (1 to 8 channels)";
      return nullptr;
    }
    machine->m_File.resize(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(sf, machine->m_File.data(), info.frames);
    sf_close(sf);
    cardRate = info.samplerate;
    cardChannels = machine->m_FileChannels = info.channels;
  }

  sim::EndpointDesc card;
  card.id = kCardId;
  card.flow = eCapture;
  card.interfaceName = u"Halvern Sound Capture";
  card.friendlyName = u"Line In (Halvern Sound Capture)";
  card.description = u"Line In";
  card.formFactor = LineLevel;
  card.deviceFormat =
      sim::MakePcmFormat(static_cast<DWORD>(cardRate), static_cast<WORD>(cardChannels), 16);
  card.mixFormat = card.deviceFormat;
  if (FAILED(sim::AddEndpoint(card))) {
    *error = "the simulated system refused the virtual card";
    return nullptr;
  }
  sim::SetDefaultEndpoint(eCapture, eConsole, card.id);
  // What a real machine also has: the virtual card's playback side, which the library leaves out
  // of its lists, and a microphone.
  sim::EndpointDesc cardPlayback = card;
  cardPlayback.id = u"{0.0.0.00000000}.{halvern-route-card-playback}";
  cardPlayback.flow = eRender;
  cardPlayback.friendlyName = u"Speakers (Halvern Sound Capture)";
  cardPlayback.description = u"Speakers";
  cardPlayback.formFactor = Speakers;
  sim::EndpointDesc microphone;
  microphone.id = u"{0.0.1.00000000}.{halvern-route-microphone}";
  microphone.flow = eCapture;
  microphone.interfaceName = u"USB Audio";
  microphone.friendlyName = u"Microphone (USB Audio)";
  microphone.description = u"Microphone";
  microphone.formFactor = Microphone;
  microphone.deviceFormat = sim::MakePcmFormat(48000, 1, 16);
  microphone.mixFormat = microphone.deviceFormat;
  if (FAILED(sim::AddEndpoint(cardPlayback)) || FAILED(sim::AddEndpoint(microphone))) {
    *error = "the simulated system refused the virtual card's playback side or the microphone";
    return nullptr;
  }
  sim::SetCaptureSource(
      card.id, [m = machine.get()](BYTE* data, UINT32 frames, const WAVEFORMATEX& format, UINT64) {
        m->FillCapture(data, frames, format.nBlockAlign, IsFloat(format), format.nChannels,
                       format.wBitsPerSample);
      });

  for (std::size_t i = 0; i < outputs.size(); ++i) {
    auto recording = std::make_unique<Recording>();
    recording->device = outputs[i];
    recording->id = OutputId(i);
    const OutputSpec& device = outputs[i];
    sim::EndpointDesc out;
    out.id = recording->id;
    out.flow = eRender;
    out.interfaceName = ToKovra(device.name + " Audio");
    out.friendlyName = ToKovra(device.name);
    out.description = ToKovra(device.name);
    out.formFactor = device.channels == 1 ? Headset : Speakers;
    out.deviceFormat = FormatIsFloat(device.format)
                           ? sim::MakeFloatFormat(static_cast<DWORD>(device.rate),
                                                  static_cast<WORD>(device.channels))
                           : sim::MakePcmFormat(static_cast<DWORD>(device.rate),
                                                static_cast<WORD>(device.channels),
                                                static_cast<WORD>(FormatBits(device.format)));
    // The engine mixes in the device's own format here, so the library converts all the way.
    out.mixFormat = out.deviceFormat;
    out.clockSkewPpm = device.skewPpm;
    if (FAILED(sim::AddEndpoint(out))) {
      *error = "the simulated system refused the output '" + device.name + "'";
      return nullptr;
    }
    if (i == 0) {
      sim::SetDefaultEndpoint(eRender, eConsole, out.id);
      sim::SetDefaultEndpoint(eRender, eMultimedia, out.id);
      sim::SetDefaultEndpoint(eRender, eCommunications, out.id);
    }
    sim::SetRenderSink(out.id, [r = recording.get()](const BYTE* data, UINT32 frames,
                                                     const WAVEFORMATEX& format, UINT64) {
      const auto now = Clock::now();
      const bool isFloat = IsFloat(format);
      const int width = format.wBitsPerSample / 8;
      std::lock_guard lock(r->mutex);
      r->periods.emplace_back(static_cast<std::int64_t>(r->samples.size() / format.nChannels), now);
      r->bytes.insert(r->bytes.end(), data, data + std::size_t{frames} * format.nBlockAlign);
      for (UINT32 s = 0; s < frames * format.nChannels; ++s)
        r->samples.push_back(Decode(data + std::size_t{s} * width, format.wBitsPerSample, isFloat));
    });
    machine->m_Recordings.push_back(std::move(recording));
  }
  return machine;
}

SimMachine::~SimMachine() { sim::Reset(); }

void SimMachine::StartTone() { m_ToneRequested = true; }

void SimMachine::FillCapture(std::uint8_t* data, std::uint32_t frames, int blockAlign, bool isFloat,
                             int channels, int bits) {
  const int width = bits / 8;
  if (m_SourceFrame < 0 && m_ToneRequested) {
    m_SourceFrame = 0;
    m_SourceStartTicks = Clock::now().time_since_epoch().count();
  }
  for (std::uint32_t f = 0; f < frames; ++f) {
    for (int c = 0; c < channels; ++c) {
      float v = 0;
      if (m_SourceFrame >= 0) {
        if (const ToneSource* t = tone()) {  // the card runs at 48 kHz for a tone
          v = static_cast<float>(
              std::pow(10.0, t->dbfs / 20) *
              std::sin(2 * std::numbers::pi * t->hz * static_cast<double>(m_SourceFrame) / 48000));
        } else {  // the card runs at the file's rate and channel count
          const auto at =
              static_cast<std::size_t>(m_SourceFrame) * static_cast<std::size_t>(m_FileChannels) +
              static_cast<std::size_t>(c % m_FileChannels);
          v = at < m_File.size() ? m_File[at] : 0.0f;
        }
      }
      Encode(v, data + f * static_cast<std::uint32_t>(blockAlign) + c * width, bits, isFloat);
    }
    if (m_SourceFrame >= 0) ++m_SourceFrame;
  }
}

std::optional<Clock::time_point> SimMachine::sourceStart() const {
  const auto ticks = m_SourceStartTicks.load();
  if (ticks == 0) return std::nullopt;
  return Clock::time_point(Clock::duration(ticks));
}

bool SimMachine::Unplug(const std::string& name) {
  for (const auto& r : m_Recordings)
    if (r->device.name == name)
      return SUCCEEDED(sim::SetEndpointState(r->id, DEVICE_STATE_UNPLUGGED));
  return false;
}

std::uint64_t SimMachine::Underruns(const Recording& recording) const {
  sim::EndpointCounters counters;
  return SUCCEEDED(sim::GetCounters(recording.id, &counters)) ? counters.underruns : 0;
}

bool SimMachine::WriteWavFiles(const std::string& folder, std::string* error) const {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  for (const auto& r : m_Recordings) {
    const std::string path = (std::filesystem::path(folder) / (r->device.name + ".wav")).string();
    SF_INFO info{};
    info.samplerate = r->device.rate;
    info.channels = r->device.channels;
    const int bits = FormatBits(r->device.format);
    info.format = SF_FORMAT_WAV | (FormatIsFloat(r->device.format) ? SF_FORMAT_FLOAT
                                   : bits == 16                    ? SF_FORMAT_PCM_16
                                   : bits == 24                    ? SF_FORMAT_PCM_24
                                                                   : SF_FORMAT_PCM_32);
    SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!sf) {
      *error = "cannot write '" + path + "': " + sf_strerror(nullptr);
      return false;
    }
    std::lock_guard lock(r->mutex);
    // The bytes as the device received them: little-endian PCM and float are the WAV layout.
    const auto written =
        sf_write_raw(sf, r->bytes.data(), static_cast<sf_count_t>(r->bytes.size()));
    sf_close(sf);
    if (written != static_cast<sf_count_t>(r->bytes.size())) {
      *error = "cannot write '" + path + "'";
      return false;
    }
  }
  return true;
}

}  // namespace halvern::route
