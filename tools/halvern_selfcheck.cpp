// Format and conversion self-check. For every sample format it converts the range ends, zero and
// the full-scale doubles through the library and compares the results with the conversion rules
// evaluated here from scratch; for the narrow formats it also counts the values that an identity
// conversion (through a pass-through filter) changes. Prints one line per format and exits
// non-zero on any mismatch.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "samples/sample_format.h"
#include "samples/sample_funnel.h"

namespace {

using halvern::CSampleFunnel;
using halvern::TCountedRef;

struct FormatRule {
  const char* name;
  int width;
  bool bigEndian;
  bool isSigned;
  int valueBits;  // bits of the value range (25 for the 25-bit formats)
  char kind;      // 'F' full range, '3' signed 24-bit, '5' 25-bit, 'R' floating
};

const FormatRule kRules[27] = {
    {"", 0, false, false, 0, 0},
    {"int8", 1, false, true, 8, 'F'},
    {"int16", 2, false, true, 16, 'F'},
    {"packed24", 3, false, true, 24, '3'},
    {"wide24", 4, false, true, 24, '3'},
    {"int32", 4, false, true, 32, 'F'},
    {"float", 4, false, true, 0, 'R'},
    {"double", 8, false, true, 0, 'R'},
    {"uint8", 1, false, false, 8, 'F'},
    {"uint16", 2, false, false, 16, 'F'},
    {"upacked24", 3, false, false, 24, 'F'},
    {"uwide24", 4, false, false, 24, 'F'},
    {"uint32", 4, false, false, 32, 'F'},
    {"sw-int8", 1, true, true, 8, 'F'},
    {"sw-int16", 2, true, true, 16, 'F'},
    {"sw-packed24", 3, true, true, 24, '3'},
    {"sw-wide24", 4, true, true, 24, '3'},
    {"sw-int32", 4, true, true, 32, 'F'},
    {"sw-float", 4, true, true, 0, 'R'},
    {"sw-double", 8, true, true, 0, 'R'},
    {"sw-uint8", 1, true, false, 8, 'F'},
    {"sw-uint16", 2, true, false, 16, 'F'},
    {"sw-upacked24", 3, true, false, 24, 'F'},
    {"sw-uwide24", 4, true, false, 24, 'F'},
    {"sw-uint32", 4, true, false, 32, 'F'},
    {"wide25", 4, false, true, 25, '5'},
    {"sw-wide25", 4, true, true, 25, '5'},
};

std::int64_t MinOf(const FormatRule& r) {
  return r.isSigned ? -(std::int64_t{1} << (r.valueBits - 1)) : 0;
}
std::int64_t MaxOf(const FormatRule& r) {
  return r.isSigned ? (std::int64_t{1} << (r.valueBits - 1)) - 1
                    : (std::int64_t{1} << r.valueBits) - 1;
}

// Integer value -> stored bytes, and back; in-range values only, which is all this tool stores.
void Store(int code, std::int64_t v, unsigned char* p) {
  const FormatRule& r = kRules[code];
  for (int i = 0; i < r.width; ++i) {
    const auto byte = static_cast<unsigned char>(static_cast<std::uint64_t>(v) >> (8 * i));
    p[r.bigEndian ? r.width - 1 - i : i] = byte;
  }
}
std::int64_t Fetch(int code, const unsigned char* p) {
  const FormatRule& r = kRules[code];
  std::uint64_t u = 0;
  for (int i = 0; i < r.width; ++i)
    u |= std::uint64_t{p[r.bigEndian ? r.width - 1 - i : i]} << (8 * i);
  const int bits = r.valueBits == 25 ? 32 : r.valueBits;
  u &= (bits == 64 ? ~0ull : (std::uint64_t{1} << bits) - 1);
  if (r.isSigned && (u >> (bits - 1)) & 1)
    return static_cast<std::int64_t>(u) - (std::int64_t{1} << bits);
  return static_cast<std::int64_t>(u);
}

// The rules, written out.
double Decode(int code, std::int64_t x) {
  const FormatRule& r = kRules[code];
  if (r.kind == '3') return static_cast<double>(x) / 8388608.0;
  if (r.kind == '5') return static_cast<double>(x) / 16777216.0;
  const double range = static_cast<double>(MaxOf(r) - MinOf(r));
  const double scale = 2.0 / range;
  const double offset = 1.0 - static_cast<double>(MaxOf(r)) * scale;
  const double scaled = static_cast<double>(x) * scale;
  return scaled + offset;
}
std::int64_t Encode(int code, double d) {
  const FormatRule& r = kRules[code];
  if (r.kind == '3') return static_cast<std::int64_t>(std::trunc(d * 8388607.0));
  if (r.kind == '5') {
    return static_cast<std::int64_t>(std::trunc(d * (code == 25 ? 16777215.0 : 16777216.0)));
  }
  const double range = static_cast<double>(MaxOf(r) - MinOf(r));
  const double offset = 1.0 - static_cast<double>(MaxOf(r)) * (2.0 / range);
  const double shifted = d - offset;
  return static_cast<std::int64_t>(std::trunc(shifted * (range / 2.0)));
}

class CPassThrough final : public CSampleFunnel::Filter {
 public:
  double FilterSample(double sample) override { return sample; }
};

int g_failures = 0;

bool Check(bool ok, int code, const char* what) {
  if (!ok) {
    ++g_failures;
    std::printf("  MISMATCH code %d (%s): %s\n", code, kRules[code].name, what);
  }
  return ok;
}

// Converts `values` (as doubles, code 7) into `code` and reads the stored integers back.
std::vector<std::int64_t> FromDoubles(int code, const std::vector<double>& values) {
  std::vector<unsigned char> out(values.size() * kRules[code].width);
  CSampleFunnel::Create(halvern::kFormatDouble, code, 1, {})
      ->Convert(out.data(), values.data(), static_cast<int>(values.size()));
  std::vector<std::int64_t> result;
  for (std::size_t i = 0; i < values.size(); ++i)
    result.push_back(Fetch(code, &out[i * kRules[code].width]));
  return result;
}

void CheckIntegerFormat(int code) {
  const FormatRule& r = kRules[code];
  const std::int64_t lo = MinOf(r), hi = MaxOf(r);
  // Range ends and zero, decoded to double.
  const std::vector<std::int64_t> inputs = {lo, hi, 0};
  std::vector<unsigned char> src(inputs.size() * r.width);
  for (std::size_t i = 0; i < inputs.size(); ++i) Store(code, inputs[i], &src[i * r.width]);
  double decoded[3];
  CSampleFunnel::Create(code, halvern::kFormatDouble, 1, {})->Convert(decoded, src.data(), 3);
  bool ok = true;
  for (int i = 0; i < 3; ++i) ok &= Check(decoded[i] == Decode(code, inputs[i]), code, "decode");
  // Full-scale doubles encoded.
  const std::vector<double> doubles = {-1.0, 1.0, 0.0};
  const std::vector<std::int64_t> encoded = FromDoubles(code, doubles);
  for (int i = 0; i < 3; ++i) ok &= Check(encoded[i] == Encode(code, doubles[i]), code, "encode");
  // Identity round trip through a filter, for the formats small enough to walk completely.
  char roundTrip[64] = "-";
  if (r.valueBits <= 16) {
    const std::int64_t n = hi - lo + 1;
    std::vector<unsigned char> all(n * r.width), back(n * r.width);
    for (std::int64_t v = lo; v <= hi; ++v) Store(code, v, &all[(v - lo) * r.width]);
    TCountedRef<CSampleFunnel::Filter> pass(new CPassThrough);
    const auto identity = CSampleFunnel::Create(code, code, 1, pass);
    identity->Convert(back.data(), all.data(), static_cast<int>(n));
    int changed = 0, expected = 0;
    for (std::int64_t v = lo; v <= hi; ++v) {
      changed += Fetch(code, &back[(v - lo) * r.width]) != v;
      expected += Encode(code, Decode(code, v)) != v;
    }
    ok &= Check(changed == expected, code, "round trip count");
    // The counts documented for the common formats.
    const int documented = code == 1 ? 32 : code == 2 ? 160 : code == 8 ? 40 : -1;
    if (documented >= 0) ok &= Check(changed == documented, code, "documented round trip count");
    std::snprintf(roundTrip, sizeof roundTrip, "%d of %lld", changed, static_cast<long long>(n));
  }
  std::printf(
      "%3d %-13s %d  [%lld, %lld] -> [%.17g, %.17g]  -1/0/+1 -> %lld/%lld/%lld  rt %s  %s\n", code,
      r.name, r.width, static_cast<long long>(lo), static_cast<long long>(hi), decoded[0],
      decoded[1], static_cast<long long>(encoded[0]), static_cast<long long>(encoded[2]),
      static_cast<long long>(encoded[1]), roundTrip, ok ? "ok" : "FAIL");
}

void CheckFloatingFormat(int code) {
  // Floating formats carry the value itself: every double that the target can hold comes back.
  const std::vector<double> values = {-1.0, 1.0, 0.0, 0.5, -0.999969482421875, 1e-30};
  const int width = kRules[code].width;
  std::vector<unsigned char> stored(values.size() * width);
  std::vector<double> back(values.size());
  CSampleFunnel::Create(halvern::kFormatDouble, code, 1, {})
      ->Convert(stored.data(), values.data(), static_cast<int>(values.size()));
  CSampleFunnel::Create(code, halvern::kFormatDouble, 1, {})
      ->Convert(back.data(), stored.data(), static_cast<int>(values.size()));
  bool ok = true;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double expected =
        width == 4 ? static_cast<double>(static_cast<float>(values[i])) : values[i];
    ok &= Check(back[i] == expected, code, "floating round trip");
  }
  std::printf("%3d %-13s %d  floating, round trip of full scale and 0 exact  %s\n", code,
              kRules[code].name, width, ok ? "ok" : "FAIL");
}

// The capture and render paths' special pairs, with values worked out by hand.
void CheckSpecialPairs() {
  const std::int16_t shorts[2] = {32767, -32768};
  float floats[2];
  CSampleFunnel::Create(halvern::kFormatInt16, halvern::kFormatFloat, 1, {})
      ->Convert(floats, shorts, 2);
  bool ok = Check(floats[0] == 0.999969482421875f && floats[1] == -1.0f, 2, "short to float");
  const float in[4] = {1.0f, -1.0f, 1.5f, std::nanf("")};
  std::int16_t out[4];
  CSampleFunnel::Create(halvern::kFormatFloat, halvern::kFormatInt16, 1, {})->Convert(out, in, 4);
  ok &= Check(out[0] == 32767 && out[1] == -32768 && out[2] == 32767 && out[3] == 0, 6,
              "float to short clipping");
  std::printf("    short->float x/32768, float->short clipping quantizer  %s\n",
              ok ? "ok" : "FAIL");
}

}  // namespace

int main() {
  std::printf("halvern_selfcheck: sample formats and conversion rules\n");
  std::printf(
      "code name        width  range -> decoded ends  encoded -1/0/+1  identity round trip\n");
  for (int code = halvern::kFirstFormatCode; code <= halvern::kLastFormatCode; ++code) {
    if (kRules[code].kind == 'R') {
      CheckFloatingFormat(code);
    } else {
      CheckIntegerFormat(code);
    }
  }
  CheckSpecialPairs();
  const bool noFormat = !CSampleFunnel::Create(0, 2, 1, {}) && !CSampleFunnel::Create(2, 27, 1, {});
  Check(noFormat, 0, "codes 0 and 27 must give no converter");
  std::printf("%s: %d mismatch(es)\n", g_failures == 0 ? "PASS" : "FAIL", g_failures);
  return g_failures == 0 ? 0 : 1;
}
