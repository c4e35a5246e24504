// The chain builder of every sound pull socket: pumps into sound targets and the conversion
// chains they pull through.
#include <cstdint>
#include <vector>

#include "base/error_codes.h"
#include "graph/frames.h"
#include "graph/sample_rate_converter.h"
#include "graph/sound_buffer.h"
#include "graph/sound_channel_average_socket.h"
#include "graph/sound_channel_interleaver_socket.h"
#include "graph/sound_channel_selector_socket.h"
#include "graph/sound_chunky_input_buffer.h"
#include "graph/sound_converter_input_socket.h"
#include "graph/sound_mixdown_socket.h"
#include "graph/sound_pull_socket.h"
#include "graph/sound_re_randomizer_pull_socket.h"
#include "graph/sound_replicator_socket.h"
#include "samples/sample_format.h"

namespace halvern {

namespace {

// The mixdown's own format step runs over whole-stream settings with a longer filter.
constexpr CChainSettings kMixdownSettings =
    WholeStreamChainSettings(CQuality(0.5), CChunkFrames(16384));
// The general channel mapping keeps the chunk before and after the one being read.
constexpr std::int32_t kMappingWindowChunks = 3;

CSoundTraits TraitsOf(const CSoundTraits& socket) {
  return CSoundTraits(socket.sampleFormat, socket.channels, socket.sampleRate);
}

// 16-bit integers mix as they are; everything else mixes as float.
std::int32_t MixFormat(std::int32_t format) {
  if (format == kFormatInt16 || format == kFormatSwapped16) return kFormatInt16;
  return kFormatFloat;
}

// A mono stream in the target's format and rate from `converted`, which already has that rate.
// Two channels mix pairwise; more channels are averaged all together, each with the same weight.
// The mix happens in a mix format, so a final converter brings it to the target's own format:
// whoever asked for a mono stream gets exactly the format they asked for.
TCountedRef<CSoundPullSocket> MixToMono(const TCountedRef<CSoundPullSocket>& converted,
                                        std::int32_t targetFormat, std::int64_t chunk) {
  const std::int32_t rate = converted->sampleRate;
  const std::int32_t channels = converted->channels;
  TCountedRef<CSoundPullSocket> mono;
  if (channels == 2) {
    const std::int32_t mix = MixFormat(converted->sampleFormat);
    TCountedRef<CSoundPullSocket> source =
        converted->ConvertTo(CSoundTraits(mix, channels, rate), kMixdownSettings);
    TCountedRef<CSoundBuffer> scratch(new CSoundBuffer(TraitsOf(*source), chunk));
    mono = new CSoundMixdownSocket(CSoundTraits(mix, 1, rate), source, scratch);
  } else {
    TCountedRef<CSoundPullSocket> source =
        converted->ConvertTo(CSoundTraits(kFormatFloat, channels, rate), kMixdownSettings);
    mono = new CSoundChannelAverageSocket(source, chunk);
  }
  if (mono->sampleFormat == targetFormat) return mono;
  return TCountedRef<CSoundPullSocket>(
      new CSoundConverterInputSocket(mono, targetFormat, nullptr, chunk));
}

}  // namespace

// Both pumps move the converted stream: its length is the target's, which for a rate change
// differs from this stream's own.
void CSoundPullSocket::PumpAll(const TCountedRef<CSoundPushSocket>& target, CQuality quality,
                               CChunkFrames chunk, CProgressObserver* progress) {
  TCountedRef<CSoundPullSocket> source =
      ConvertTo(TraitsOf(*target), WholeStreamChainSettings(quality, chunk));
  source->CDataPullSocket::PumpAll(TCountedRef<CDataPushSocket>(target.Get()), chunk.value,
                                   progress);
}

std::int64_t CSoundPullSocket::Pump(const TCountedRef<CSoundPushSocket>& target,
                                    std::int64_t& limit, std::int64_t& sourcePosition,
                                    std::int64_t& targetPosition, CQuality quality,
                                    CChunkFrames chunk, CProgressObserver* progress) {
  TCountedRef<CSoundPullSocket> source =
      ConvertTo(TraitsOf(*target), WholeStreamChainSettings(quality, chunk));
  return source->CDataPullSocket::Pump(TCountedRef<CDataPushSocket>(target.Get()), limit,
                                       sourcePosition, targetPosition, chunk.value, progress);
}

TCountedRef<CSoundPullSocket> CSoundPullSocket::ConvertRateAndFormat(
    const CSoundTraits& target, const CChainSettings& settings) {
  if (target.channels != channels) throw kErrBadArgument;
  TCountedRef<CSoundPullSocket> stage(this);
  if (target.sampleRate != sampleRate)
    stage = new CSampleRateConverter(stage, target.sampleRate, settings.quality, settings.budget,
                                     settings.bound);
  return TCountedRef<CSoundPullSocket>(
      new CSoundConverterInputSocket(stage, target.sampleFormat, nullptr, settings.chunk.value));
}

TCountedRef<CSoundPullSocket> CSoundPullSocket::ConvertTo(const CSoundTraits& target,
                                                          const CChainSettings& settings) {
  const std::int32_t wanted = target.channels;
  const std::int32_t own = channels;
  const std::int64_t chunk = settings.chunk.value;
  if (wanted < 1 || own < 1) throw kErrBadArgument;
  TCountedRef<CSoundPullSocket> converted =
      ConvertRateAndFormat(CSoundTraits(target.sampleFormat, own, target.sampleRate), settings);
  if (wanted == own) return converted;
  if (wanted == 1) return MixToMono(converted, target.sampleFormat, chunk);
  if (own == 1) return TCountedRef<CSoundPullSocket>(new CSoundReplicatorSocket(converted, wanted));
  if (wanted == 2) return converted->SelectStereo(chunk);

  // Target channel i plays source channel i modulo the source's count. The buffer fills on its
  // first pull: building a chain must never wait on a live source.
  TCountedRef<CSoundPullSocket> chunky(
      new CSoundChunkyInputBuffer(converted, kMappingWindowChunks, chunk, false));
  std::vector<TCountedRef<CSoundPullSocket>> selectors(static_cast<std::size_t>(wanted));
  for (std::int32_t i = 0; i < wanted; ++i)
    selectors[static_cast<std::size_t>(i)] = chunky->SelectChannel(i, wanted, chunk);
  TCountedRef<CSoundPullSocket> interleaver(
      new CSoundChannelInterleaverSocket(wanted, selectors.data(), chunk));
  return TCountedRef<CSoundPullSocket>(new CSoundReRandomizerPullSocket(interleaver));
}

TCountedRef<CSoundPullSocket> CSoundPullSocket::SelectChannel(std::int32_t index,
                                                              std::int32_t /*unused*/,
                                                              std::int64_t chunk) {
  // A remainder, not a modulus: a negative index stays negative and the selector refuses it.
  const std::int32_t channel = index % channels;
  return TCountedRef<CSoundPullSocket>(
      new CSoundChannelSelectorSocket(TCountedRef<CSoundPullSocket>(this), 1, &channel, chunk));
}

TCountedRef<CSoundPullSocket> CSoundPullSocket::SelectStereo(std::int64_t chunk) {
  if (channels < 2) throw kErrBadArgument;
  const std::int32_t map[2] = {0, 1};
  return TCountedRef<CSoundPullSocket>(
      new CSoundChannelSelectorSocket(TCountedRef<CSoundPullSocket>(this), 2, map, chunk));
}

}  // namespace halvern
