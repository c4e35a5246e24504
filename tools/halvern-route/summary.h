// The end-of-run table: what each device played, judged on the signal it received.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim_machine.h"

namespace halvern::route {

struct DeviceSummary {
  std::string name;
  double seconds = 0;  // audio the device's engine took, silence included
  std::int64_t frames = 0;
  std::uint64_t underruns = 0;
  // Measured on the tone once it reached the device; unset when it never did.
  std::optional<double> latencyMs;
  std::optional<double> frequencyErrorPpm;
  std::optional<double> levelDbfs;
  std::optional<std::size_t> glitches;
  // Engine periods of pure digital silence while the tone played: pulls the library could not
  // serve in time (its capture socket then delivers nothing).
  std::optional<std::size_t> starved;
};

// Judges channel 0 of a recording against the tone that was fed, from `settleSeconds` after the
// tone arrived to `tailSeconds` before the recording ends (start and stop are not judged).
DeviceSummary Summarize(Recording& recording, std::optional<Clock::time_point> sourceStart,
                        const ToneSource* tone, double settleSeconds = 0.5,
                        double tailSeconds = 0.2);

// Prints the table; `overflows` and `cpuPercent` are for the whole run.
void PrintSummary(const std::vector<DeviceSummary>& rows, std::uint64_t overflows,
                  double cpuPercent);

}  // namespace halvern::route
