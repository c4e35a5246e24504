// What a user writes on the command line of halvern-route, parsed into values. Every parser returns
// an error text for bad input instead of throwing, so main can print it and exit with a usage
// error.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace halvern::route {

// --output "NAME,RATE,CHANNELS,FORMAT[,skew=PPM]": one simulated output device.
struct OutputSpec {
  std::string name;
  int rate = 0;
  int channels = 0;
  std::string format;  // s16, s24, s32 or f32
  double skewPpm = 0;
};

// --source tone:HZ[@DBFS] or --source FILE.wav: what the virtual card captures.
struct ToneSource {
  double hz = 997;
  double dbfs = -6;
  int cardRate = 48000;  // --card-rate: the virtual card's own rate
};
struct FileSource {
  std::string path;
};
using SourceSpec = std::variant<ToneSource, FileSource>;

// --unplug NAME@SECONDS: the device is unplugged that many seconds into the run.
struct UnplugSpec {
  std::string name;
  double seconds = 0;
};

// --gain L,R in dB.
struct GainSpec {
  float left = 0;
  float right = 0;
};

template <typename T>
struct Parsed {
  std::optional<T> value;
  std::string error;  // set when value is empty
};

Parsed<OutputSpec> ParseOutput(const std::string& text);
Parsed<SourceSpec> ParseSource(const std::string& text);
Parsed<UnplugSpec> ParseUnplug(const std::string& text);
Parsed<GainSpec> ParseGain(const std::string& text);

// Bits per sample and whether the samples are floating point, for the formats ParseOutput takes.
int FormatBits(const std::string& format);
bool FormatIsFloat(const std::string& format);

// The machine used when no --output is given: three devices in different formats.
std::vector<OutputSpec> DefaultOutputs();

}  // namespace halvern::route
