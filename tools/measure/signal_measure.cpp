#include "signal_measure.h"

#include <cmath>
#include <limits>
#include <numbers>

namespace halvern::measure {

namespace {

double Rms(std::span<const float> samples) {
  if (samples.empty()) return 0;
  double sum = 0;
  for (float s : samples) sum += static_cast<double>(s) * s;
  return std::sqrt(sum / static_cast<double>(samples.size()));
}

// Rising crossings with hysteresis: the signal must dip below -hysteresis before the next rising
// crossing counts, so noise around zero does not add crossings.
std::vector<double> RisingCrossings(std::span<const float> samples, double hysteresis) {
  std::vector<double> times;
  bool armed = false;
  for (std::size_t n = 1; n < samples.size(); ++n) {
    const double prev = samples[n - 1];
    const double cur = samples[n];
    if (cur < -hysteresis) armed = true;
    if (armed && prev < 0 && cur >= 0) {
      times.push_back(static_cast<double>(n - 1) + prev / (prev - cur));
      armed = false;
    }
  }
  return times;
}

}  // namespace

ToneEstimate EstimateTone(std::span<const float> samples, double sampleRate) {
  ToneEstimate tone;
  tone.amplitude = Rms(samples) * std::numbers::sqrt2;
  const std::vector<double> times = RisingCrossings(samples, 0.1 * tone.amplitude);
  tone.crossings = static_cast<int>(times.size());
  if (times.size() < 3) return tone;

  // Least-squares slope of crossing time over crossing number is the period in samples.
  const double count = static_cast<double>(times.size());
  const double meanK = (count - 1) / 2;
  double meanT = 0;
  for (double t : times) meanT += t;
  meanT /= count;
  double sxy = 0;
  double sxx = 0;
  for (std::size_t k = 0; k < times.size(); ++k) {
    const double dk = static_cast<double>(k) - meanK;
    sxy += dk * (times[k] - meanT);
    sxx += dk * dk;
  }
  tone.frequencyHz = sampleRate * sxx / sxy;
  return tone;
}

double AmplitudeToDbfs(double amplitude) {
  if (amplitude <= 0) return -std::numeric_limits<double>::infinity();
  return 20 * std::log10(amplitude);
}

std::optional<std::size_t> FindOnset(std::span<const float> samples, float threshold) {
  for (std::size_t n = 0; n < samples.size(); ++n)
    if (std::fabs(samples[n]) >= threshold) return n;
  return std::nullopt;
}

std::vector<std::size_t> FindGlitches(std::span<const float> samples, double sampleRate,
                                      const ToneEstimate& tone, double relativeThreshold) {
  std::vector<std::size_t> glitches;
  if (samples.size() < 3 || tone.frequencyHz <= 0) return glitches;
  const double c = 2 * std::cos(2 * std::numbers::pi * tone.frequencyHz / sampleRate);
  const double limit = relativeThreshold * tone.amplitude;
  const auto burstGap = static_cast<std::size_t>(sampleRate / 1000) + 1;
  std::size_t lastSpike = 0;
  for (std::size_t n = 1; n + 1 < samples.size(); ++n) {
    const double residual = samples[n + 1] + static_cast<double>(samples[n - 1]) - c * samples[n];
    if (std::fabs(residual) <= limit) continue;
    if (glitches.empty() || n - lastSpike > burstGap) glitches.push_back(n);
    lastSpike = n;
  }
  return glitches;
}

namespace {

// Glitches found on the whole span's estimate only say where not to look; a candidate is judged
// again on its own, so a long silence or a gap cannot skew its verdict.
std::optional<std::size_t> CleanStretchBetween(std::span<const float> samples, double sampleRate,
                                               std::size_t length, double minimumAmplitude,
                                               const std::vector<std::size_t>& glitches) {
  const auto pastBurst = static_cast<std::size_t>(sampleRate / 200);
  const auto step = static_cast<std::size_t>(sampleRate / 10);
  std::size_t next = 0;
  for (std::size_t start = 0; length > 0 && start + length <= samples.size();) {
    while (next < glitches.size() && glitches[next] < start) ++next;
    if (next < glitches.size() && glitches[next] < start + length) {
      start = glitches[next] + pastBurst;
      continue;
    }
    const std::span<const float> window = samples.subspan(start, length);
    const ToneEstimate tone = EstimateTone(window, sampleRate);
    if (tone.amplitude > minimumAmplitude && FindGlitches(window, sampleRate, tone).empty())
      return start;
    start += step;
  }
  return std::nullopt;
}

std::vector<std::size_t> GlitchesOfSpan(std::span<const float> samples, double sampleRate) {
  return FindGlitches(samples, sampleRate, EstimateTone(samples, sampleRate));
}

}  // namespace

std::optional<std::size_t> FindCleanStretch(std::span<const float> samples, double sampleRate,
                                            std::size_t length, double minimumAmplitude) {
  return CleanStretchBetween(samples, sampleRate, length, minimumAmplitude,
                             GlitchesOfSpan(samples, sampleRate));
}

ToneJudgement JudgeTone(std::span<const float> samples, double sampleRate, double hz, double dbfs,
                        std::size_t cleanLength, std::size_t minCleanLength) {
  const double amplitude = std::pow(10.0, dbfs / 20);
  ToneJudgement judgement;
  judgement.glitches = GlitchesOfSpan(samples, sampleRate);
  for (const std::size_t length : {cleanLength, minCleanLength}) {
    judgement.cleanStart =
        CleanStretchBetween(samples, sampleRate, length, amplitude / 2, judgement.glitches);
    judgement.cleanLength = length;
    if (judgement.cleanStart) break;
  }
  if (!judgement.cleanStart) {
    judgement.tone = EstimateTone(samples, sampleRate);
    return judgement;
  }
  judgement.tone =
      EstimateTone(samples.subspan(*judgement.cleanStart, judgement.cleanLength), sampleRate);
  const double ppm = (judgement.tone.frequencyHz / hz - 1) * 1e6;
  const double levelError = AmplitudeToDbfs(judgement.tone.amplitude) - dbfs;
  if (std::fabs(ppm) < 2000 && std::fabs(levelError) < 1.0)
    judgement.verdict =
        judgement.cleanLength < cleanLength ? ToneVerdict::kGlitchy : ToneVerdict::kClean;
  return judgement;
}

std::vector<float> Deinterleave(std::span<const float> interleaved, int channels, int channel) {
  std::vector<float> out;
  if (channels <= 0 || channel < 0 || channel >= channels) return out;
  out.reserve(interleaved.size() / static_cast<std::size_t>(channels));
  for (std::size_t i = static_cast<std::size_t>(channel); i < interleaved.size();
       i += static_cast<std::size_t>(channels))
    out.push_back(interleaved[i]);
  return out;
}

}  // namespace halvern::measure
