#include <gtest/gtest.h>

#include <QVariant>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/audio_endpoints.h"
#include "recorder/audiodevices.h"
#include "platform/fake/fake_audio_endpoints.h"
#include "support/logcapture.h"
#include "support/testsupport.h"

using platform::AudioDirection;
using platform::AudioRole;

TEST(AudioDevices, FakeListsMarkTheDefaultAndReportFailures) {
  platform::Backend::Use(platform::BackendKind::Fake);
  auto& fake = platform::fake::FakeAudioEndpoints::Instance();
  fake.Reset();
  fake.SetEndpoints(AudioDirection::Render, {{"a", "Front"}, {"b", ""}, {"c", "HDMI"}});
  fake.SetDefault(AudioDirection::Render, AudioRole::Console, "c");
  std::vector<AudioDevice> devices{{"stale", "x", true}};
  ASSERT_EQ(GetRenderDevices(devices), 0);
  ASSERT_EQ(devices.size(), 3u);
  EXPECT_EQ(devices[1].id, "b");
  EXPECT_EQ(devices[1].name, "");
  EXPECT_EQ(std::count_if(devices.begin(), devices.end(), [](const AudioDevice& d) { return d.isDefault; }), 1);
  EXPECT_TRUE(devices[2].isDefault);
  std::string id, name;
  EXPECT_EQ(GetDefaultRenderDevice(id, name), 0);
  EXPECT_EQ(id, "c");
  EXPECT_EQ(name, "HDMI");

  // A default without a name does not count as a device.
  fake.SetDefault(AudioDirection::Render, AudioRole::Console, "b");
  EXPECT_EQ(GetDefaultRenderDevice(id, name), -1);

  testsupport::LogCapture log;
  fake.SetEndpoints(AudioDirection::Capture, {});
  EXPECT_EQ(GetCaptureDevices(devices), -1);
  EXPECT_TRUE(devices.empty());
  EXPECT_TRUE(log.Contains("get_devices failed"));
  EXPECT_EQ(GetDefaultCaptureDevice(id, name), -1);
  EXPECT_TRUE(log.Contains("device count is 0"));

  QVariant v = QVariant::fromValue(AudioDevice{"i", "n", true});
  EXPECT_EQ(v.value<AudioDevice>().id, "i");
  fake.Reset();
}

namespace {

class Recorder : public platform::AudioEndpointListener {
 public:
  void OnDefaultDeviceChanged(AudioDirection direction, AudioRole role, const std::string& id) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (direction == AudioDirection::Render && role == AudioRole::Console) m_render = id;
    m_cond.notify_all();
  }
  std::string WaitRender(const std::string& want) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cond.wait_for(lock, std::chrono::seconds(10), [&] { return m_render == want; });
    return m_render;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cond;
  std::string m_render;
};

}  // namespace

TEST(AudioEndpointsPulse, ListsDefaultsAndDefaultChanges) {
  if (!testsupport::HavePulse()) GTEST_SKIP() << "no sound server";
  platform::Backend::Use(platform::BackendKind::X11);
  auto& endpoints = platform::GetAudioEndpoints();

  std::vector<AudioDevice> speakers, mics;
  ASSERT_EQ(GetRenderDevices(speakers), 0);
  ASSERT_EQ(GetCaptureDevices(mics), 0);
  auto has = [](const std::vector<AudioDevice>& list, const std::string& id, bool isDefault) {
    return std::any_of(list.begin(), list.end(),
                       [&](const AudioDevice& d) { return d.id == id && d.isDefault == isDefault; });
  };
  EXPECT_TRUE(has(speakers, "spk", true));
  EXPECT_TRUE(has(speakers, "mic", false));
  // Microphones are the stand-ins; the speakers' monitors are none, not
  // even as the server's default source.
  EXPECT_TRUE(has(mics, "mic_in", true));
  EXPECT_TRUE(has(mics, "mic_in2", false));
  for (const AudioDevice& d : mics) EXPECT_EQ(d.id.find(".monitor"), std::string::npos) << d.id;
  ASSERT_EQ(std::system("pactl set-default-source mic.monitor"), 0);
  std::string id, name;
  EXPECT_EQ(GetDefaultCaptureDevice(id, name), 0);
  EXPECT_EQ(id, "mic_in");
  ASSERT_EQ(std::system("pactl set-default-source mic_in"), 0);

  std::unique_ptr<platform::AudioEndpoint> endpoint;
  ASSERT_EQ(endpoints.Open(AudioDirection::Render, "spk", &endpoint), platform::Result::Ok);
  platform::AudioMixFormat format;
  ASSERT_EQ(endpoint->MixFormat(&format), platform::Result::Ok);
  EXPECT_EQ(format.sampleRate, 48000);
  EXPECT_EQ(format.channels, 2);
  EXPECT_EQ(format.channelMask, 0x3u);
  EXPECT_NE(endpoints.Open(AudioDirection::Render, "nowhere", &endpoint), platform::Result::Ok);

  Recorder listener;
  endpoints.Register(&listener);
  ASSERT_EQ(std::system("pactl set-default-sink mic"), 0);
  EXPECT_EQ(listener.WaitRender("mic"), "mic");
  EXPECT_EQ(GetDefaultRenderDevice(id, name), 0);
  EXPECT_EQ(id, "mic");
  ASSERT_EQ(std::system("pactl set-default-sink spk"), 0);
  EXPECT_EQ(listener.WaitRender("spk"), "spk");
  endpoints.Unregister(&listener);
}
