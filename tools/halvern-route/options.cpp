#include "options.h"

#include <charconv>
#include <cmath>
#include <sstream>

namespace halvern::route {

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.emplace_back();
  return parts;
}

// Whole-string number parsing: "48k" or "1e3x" are errors, not 48 or 1000.
template <typename T>
std::optional<T> Number(const std::string& text) {
  T value{};
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  if constexpr (std::is_floating_point_v<T>) {
    if (!std::isfinite(value)) return std::nullopt;
  }
  return value;
}

// Built by appending: GCC 12 misreports "'" + text as an overlapping copy.
std::string Quoted(const std::string& text) {
  std::string out(1, '\'');
  out += text;
  out += '\'';
  return out;
}

template <typename T>
Parsed<T> Error(std::string text) {
  return {std::nullopt, std::move(text)};
}

}  // namespace

int FormatBits(const std::string& format) {
  if (format == "s16") return 16;
  if (format == "s24") return 24;
  if (format == "s32" || format == "f32") return 32;
  return 0;
}

bool FormatIsFloat(const std::string& format) { return format == "f32"; }

Parsed<OutputSpec> ParseOutput(const std::string& text) {
  const auto parts = Split(text, ',');
  if (parts.size() < 4 || parts.size() > 5)
    return Error<OutputSpec>(Quoted(text) + ": expected NAME,RATE,CHANNELS,FORMAT[,skew=PPM]");
  OutputSpec output;
  output.name = parts[0];
  if (output.name.empty()) return Error<OutputSpec>(Quoted(text) + ": the name is empty");
  const auto rate = Number<int>(parts[1]);
  if (!rate || *rate < 8000 || *rate > 384000)
    return Error<OutputSpec>(Quoted(parts[1]) + ": the rate must be 8000 to 384000 Hz");
  output.rate = *rate;
  const auto channels = Number<int>(parts[2]);
  if (!channels || *channels < 1 || *channels > 8)
    return Error<OutputSpec>(Quoted(parts[2]) + ": the channel count must be 1 to 8");
  output.channels = *channels;
  output.format = parts[3];
  if (FormatBits(output.format) == 0)
    return Error<OutputSpec>(Quoted(parts[3]) + ": the format must be s16, s24, s32 or f32");
  if (parts.size() == 5) {
    const std::string prefix = "skew=";
    const auto skew = parts[4].rfind(prefix, 0) == 0
                          ? Number<double>(parts[4].substr(prefix.size()))
                          : std::nullopt;
    if (!skew || std::fabs(*skew) > 10000)
      return Error<OutputSpec>(Quoted(parts[4]) + ": expected skew=PPM within +-10000");
    output.skewPpm = *skew;
  }
  return {output, {}};
}

Parsed<SourceSpec> ParseSource(const std::string& text) {
  const std::string prefix = "tone:";
  if (text.rfind(prefix, 0) != 0) {
    if (text.empty()) return Error<SourceSpec>("the source is empty");
    return {SourceSpec{FileSource{text}}, {}};
  }
  const auto parts = Split(text.substr(prefix.size()), '@');
  if (parts.empty() || parts.size() > 2)
    return Error<SourceSpec>(Quoted(text) + ": expected tone:HZ[@DBFS]");
  ToneSource tone;
  const auto hz = Number<double>(parts[0]);
  if (!hz || *hz <= 0 || *hz > 20000)
    return Error<SourceSpec>(Quoted(parts[0]) + ": the tone must be above 0 and up to 20000 Hz");
  tone.hz = *hz;
  if (parts.size() == 2) {
    const auto dbfs = Number<double>(parts[1]);
    if (!dbfs || *dbfs > 0 || *dbfs < -120)
      return Error<SourceSpec>(Quoted(parts[1]) + ": the level must be -120 to 0 dBFS");
    tone.dbfs = *dbfs;
  }
  return {SourceSpec{tone}, {}};
}

Parsed<UnplugSpec> ParseUnplug(const std::string& text) {
  const auto at = text.rfind('@');
  if (at == std::string::npos || at == 0)
    return Error<UnplugSpec>(Quoted(text) + ": expected NAME@SECONDS");
  const auto seconds = Number<double>(text.substr(at + 1));
  if (!seconds || *seconds < 0)
    return Error<UnplugSpec>(Quoted(text.substr(at + 1)) + ": expected seconds >= 0");
  return {UnplugSpec{text.substr(0, at), *seconds}, {}};
}

Parsed<GainSpec> ParseGain(const std::string& text) {
  const auto parts = Split(text, ',');
  if (parts.size() != 2) return Error<GainSpec>(Quoted(text) + ": expected L,R in dB");
  const auto left = Number<float>(parts[0]);
  const auto right = Number<float>(parts[1]);
  if (!left || !right) return Error<GainSpec>(Quoted(text) + ": expected two numbers in dB");
  return {GainSpec{*left, *right}, {}};
}

std::vector<OutputSpec> DefaultOutputs() {
  return {{"Speakers", 44100, 2, "f32", 0},
          {"Surround", 48000, 6, "s16", 0},
          {"Headset", 16000, 1, "s16", 0}};
}

}  // namespace halvern::route
