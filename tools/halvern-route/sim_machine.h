// The simulated machine halvern-route plays on where there is no Windows: the virtual card, fed by
// a tone or a WAV file, and output devices that record what the library plays on them. Linux only.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "options.h"

namespace halvern::route {

using Clock = std::chrono::steady_clock;

// What one output device received, with the moment each engine period took it.
struct Recording {
  OutputSpec device;
  std::u16string id;
  std::mutex mutex;
  std::vector<std::uint8_t> bytes;  // in the device's own format, for the WAV file
  std::vector<float> samples;       // the same, interleaved and normalised
  std::vector<std::pair<std::int64_t, Clock::time_point>> periods;  // (first frame, time)
};

class SimMachine {
 public:
  // Installs the virtual card ("Halvern Sound Capture", stereo 16-bit at the tone's card rate, the
  // file's rate and channels for a WAV file) and the outputs on the simulated system.
  static std::unique_ptr<SimMachine> Create(const SourceSpec& source,
                                            const std::vector<OutputSpec>& outputs,
                                            std::string* error);
  ~SimMachine();

  // The tone starts with the virtual card's next period; silence until then.
  void StartTone();
  bool Unplug(const std::string& name);

  std::vector<std::unique_ptr<Recording>>& recordings() { return m_Recordings; }
  // When the first frame of the tone (or of the file) was captured; unset before.
  std::optional<Clock::time_point> sourceStart() const;
  const ToneSource* tone() const { return std::get_if<ToneSource>(&m_Source); }
  std::uint64_t Underruns(const Recording& recording) const;

  // Writes one WAV file per device into `folder`, in the device's own format.
  bool WriteWavFiles(const std::string& folder, std::string* error) const;

 private:
  SimMachine() = default;
  void FillCapture(std::uint8_t* data, std::uint32_t frames, int blockAlign, bool isFloat,
                   int channels, int bits);

  SourceSpec m_Source;
  std::vector<float> m_File;  // interleaved, for a WAV source
  int m_FileChannels = 0;
  std::atomic<bool> m_ToneRequested{false};
  std::int64_t m_SourceFrame = -1;  // frames of signal produced, -1 before the start
  std::atomic<std::int64_t> m_SourceStartTicks{0};
  std::vector<std::unique_ptr<Recording>> m_Recordings;
};

}  // namespace halvern::route
