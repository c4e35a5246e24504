// Bad input from a host loses nothing and crashes nothing (the address sanitizer watches reads
// past fixed fields). Nulls through the exports themselves are tried by the C host.
#if !defined(_WIN32)

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "router/router_fixture.h"

namespace halvern::testing {
namespace {

class BadInput : public RouterTest {};

// A record on the heap with nothing after it, so a read past any field is caught.
std::unique_ptr<DeviceEndpointRecord> Record(char16_t idFill, std::size_t idChars,
                                             const char16_t* name, bool nameFills) {
  auto record = std::make_unique<DeviceEndpointRecord>();
  std::memset(record.get(), 0, sizeof(DeviceEndpointRecord));
  for (std::size_t i = 0; i < idChars; ++i) record->id[i] = idFill;
  if (nameFills)
    for (auto& c : record->interfaceName) c = u'H';
  else if (name != nullptr)
    std::memcpy(record->interfaceName, name, std::char_traits<char16_t>::length(name) * 2);
  record->dataFlow = DataFlowCapture;
  record->visible = 1;
  return record;
}

TEST_F(BadInput, EveryCaseGivesItsClearResult) {
  // Before Initialize, before a delegate, and before the capturer: failures, never crashes.
  EXPECT_FALSE(m_App->GetPeakValues());
  EXPECT_FALSE(m_App->GetGain());
  const float zero[2] = {0, 0};
  EXPECT_FALSE(m_App->SetGain(zero));
  EXPECT_EQ(m_App->EnableRouting(true, false), ResultRouter);
  EXPECT_EQ(m_App->EnableRouting(false, false), ResultOk);
  EXPECT_TRUE(m_App->GetAudioDevices(false));
  EXPECT_EQ(m_App->Initialize(nullptr), 0);
  EXPECT_EQ(m_App->Initialize(W(u"/tmp/halvern_bad_input.log")), 0);
  ASSERT_EQ(m_App->StartCapturer(0), ResultOk);
  ASSERT_EQ(m_App->StartCapturer(0), ResultOk);
  ASSERT_EQ(m_App->EnableRouting(false, false), ResultOk);

  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::u16string longId(200, u'x');
  struct Case {
    const char* what;
    std::uint32_t got;
    std::uint32_t want;
  } cases[] = {
      {"empty id", m_App->AddDevice(W(u""), 0), ResultFailed},
      {"unknown id", m_App->AddDevice(W(u"{no such endpoint}"), 0), ResultFailed},
      {"id past 127 characters", m_App->AddDevice(W(longId.c_str()), 0), ResultFailed},
      {"latency overflowing the duration", m_App->AddDevice(W(simaudio::kSpeakersId), 0xFFFFFFFFu),
       ResultFailed},
      {"largest latency", m_App->AddDevice(W(simaudio::kSpeakersId), CAudioRouter::kMaxLatencyMs),
       ResultOk},
      {"capturer with overflowing latency", CHalvernVADApiApp().StartCapturer(0x80000000u),
       ResultFailed},
      {"id and name fill their fields",
       m_App->ConfigureDeviceEndpoint(Record(u'x', 256, nullptr, true).get()), ResultFailed},
      {"empty id and name", m_App->ConfigureDeviceEndpoint(Record(0, 0, nullptr, false).get()),
       ResultFailed},
      {"id past 127 characters falls back to the name",
       m_App->ConfigureDeviceEndpoint(Record(u'x', 200, u"Halvern Sound Capture", false).get()),
       ResultOk},
      {"NaN gain", m_App->SetGain(std::vector<float>{nan, 0}.data()), false},
      {"infinite gain", m_App->SetGain(std::vector<float>{0, -inf}.data()), false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;

  // The refused gains never reached the device.
  simaudio::VolumeState volume;
  ASSERT_EQ(simaudio::GetVolume(simaudio::kHalvernCaptureId, &volume), S_OK);
  for (float level : volume.channelDb) EXPECT_EQ(level, 0.0f);
}

}  // namespace
}  // namespace halvern::testing

#endif
