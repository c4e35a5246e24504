// Measurements on a recorded test tone: its frequency, level, onset and glitches. They judge what a
// device played without looking at the library's internal state, so a test or the command-line tool
// can compare the signal that came out with the one that went in.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace halvern::measure {

// Frequency from the regression line through the interpolated rising zero crossings (so a few
// disturbed crossings move it little), amplitude from the RMS (A = RMS * sqrt 2).
struct ToneEstimate {
  double frequencyHz = 0;
  double amplitude = 0;
  int crossings = 0;  // rising zero crossings used; fewer than 3 means no estimate
};
ToneEstimate EstimateTone(std::span<const float> samples, double sampleRate);

// Level of a sine in dB relative to full scale (amplitude 1.0 is 0 dBFS); -inf for silence.
double AmplitudeToDbfs(double amplitude);

// First sample whose magnitude reaches `threshold`, if any.
std::optional<std::size_t> FindOnset(std::span<const float> samples, float threshold);

// A sine obeys x[n+1] + x[n-1] = 2 cos(w) x[n]; where a sample is dropped, repeated or replaced by
// silence the prediction residual jumps. Returns the index of every sample whose residual exceeds
// `relativeThreshold` times the amplitude, one index per burst (neighbours within a millisecond
// are one glitch). The signal must be a steady tone over the whole span.
std::vector<std::size_t> FindGlitches(std::span<const float> samples, double sampleRate,
                                      const ToneEstimate& tone, double relativeThreshold = 0.02);

// The start of the first `length` samples that hold the tone (above `minimumAmplitude`, judged on
// their own estimate) without a glitch. A fault of a signal path shows all along; a stall of a
// busy machine disturbs a moment, which this steps over.
std::optional<std::size_t> FindCleanStretch(std::span<const float> samples, double sampleRate,
                                            std::size_t length, double minimumAmplitude);

// What a device played, judged against the tone that went in: right when a clean stretch holds
// the tone within 2000 ppm and 1 dB. Clean when that stretch is `cleanLength` samples long;
// glitched when only `minCleanLength` samples are clean, which still shows the routing and the
// conversion but not a steady stream; bad otherwise.
enum class ToneVerdict { kClean, kGlitchy, kBad };  // best first
struct ToneJudgement {
  ToneVerdict verdict = ToneVerdict::kBad;
  std::optional<std::size_t> cleanStart;  // the stretch judged, if any
  std::size_t cleanLength = 0;
  ToneEstimate tone;                  // on that stretch, or on all the samples when there is none
  std::vector<std::size_t> glitches;  // over all the samples, as FindGlitches tells them
};
ToneJudgement JudgeTone(std::span<const float> samples, double sampleRate, double hz, double dbfs,
                        std::size_t cleanLength, std::size_t minCleanLength);

// Takes channel `channel` of an interleaved stream.
std::vector<float> Deinterleave(std::span<const float> interleaved, int channels, int channel);

}  // namespace halvern::measure
