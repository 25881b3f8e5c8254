#include "link/serial_channel.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "console/channel_table.h"
#include "fake_serial.h"

namespace kestrelgate::link {
namespace {

using console::IoResult;

using fakes::FakePlatform;

const std::string kFixed = "COM1:" + std::string(kPortSettings);
constexpr int kChannel = 2;

class SerialChannelTest : public ::testing::Test {
 protected:
  SerialChannel* opened() { return table.findAs<SerialChannel>(kChannel); }

  console::ChannelTable table;
  FakePlatform platform;
};

TEST_F(SerialChannelTest, FixedSettingsMakeExactlyTheseCalls) {
  platform.port.properties = {0, 0, 0, 0};
  ASSERT_EQ(openSerial(table, kChannel, kFixed, platform), IoResult::Ok);
  const std::vector<std::string> expected = {
      "devicePath 1", "open /fake/port1", "getProperties", "setupQueues 16384 16384",
      "getTimeouts",  "setTimeouts",      "getState",      "setState",
      "raiseDtr",
  };
  EXPECT_EQ(platform.port.calls, expected);  // in particular: no modem status, no close
  ASSERT_NE(opened(), nullptr);
  EXPECT_EQ(opened()->portNumber(), 1u);
  EXPECT_EQ(opened()->spec().speed, 600u);
}

TEST_F(SerialChannelTest, TimeoutsGoBackAsTheyCameWhenCtsTimeoutIsZero) {
  platform.port.timeouts = {11, 22, 33, 44, 55};
  ASSERT_EQ(openSerial(table, kChannel, kFixed, platform), IoResult::Ok);
  ASSERT_EQ(platform.port.timeoutsSet.size(), 1u);
  EXPECT_EQ(platform.port.timeoutsSet[0], (CommTimeouts{11, 22, 33, 44, 55}));
}

TEST_F(SerialChannelTest, CtsTimeoutSetsTheIntervalAndClearsReadTotals) {
  platform.port.timeouts = {11, 22, 33, 44, 55};
  ASSERT_EQ(openSerial(table, kChannel, "COM1:600,N,8,1,CS250,DS0", platform), IoResult::Ok);
  ASSERT_EQ(platform.port.timeoutsSet.size(), 1u);
  EXPECT_EQ(platform.port.timeoutsSet[0], (CommTimeouts{250, 0, 0, 44, 55}));
  EXPECT_TRUE(platform.port.statesSet.at(0).ctsOutputFlow);
}

TEST_F(SerialChannelTest, QueueSizesPreferSpecThenCurrentThenMaximum) {
  struct Case {
    std::string spec;
    CommProperties properties;
    std::string call;
  };
  const std::vector<Case> cases = {
      {kFixed, {100, 200, 300, 400}, "setupQueues 300 100"},
      {kFixed, {0, 200, 0, 400}, "setupQueues 400 200"},
      {"COM1:600,N,8,1,CS0,DS0,TB7,RB9", {100, 200, 300, 400}, "setupQueues 9 7"},
      {"COM1:600,N,8,1,CS0,DS0,RB9", {0, 0, 0, 0}, "setupQueues 9 16384"},
  };
  for (const Case& c : cases) {
    table.clear();
    FakePlatform fresh;
    fresh.port.properties = c.properties;
    ASSERT_EQ(openSerial(table, kChannel, c.spec, fresh), IoResult::Ok) << c.spec;
    EXPECT_EQ(fresh.port.calls.at(3), c.call) << c.spec;
  }
}

TEST_F(SerialChannelTest, FixedSettingsGiveTheLineTable) {
  ASSERT_EQ(openSerial(table, kChannel, kFixed, platform), IoResult::Ok);
  LineSettings expected;
  expected.speed = 600;
  expected.dataBits = 8;
  expected.parity = ParityKind::None;
  expected.stopBits = StopBitsKind::One;
  expected.checkParity = false;
  expected.binary = true;
  expected.ctsOutputFlow = false;
  expected.dsrSensitivity = false;
  expected.dtr = DtrMode::Off;
  expected.rts = RtsMode::Handshake;
  ASSERT_EQ(platform.port.statesSet.size(), 1u);
  EXPECT_EQ(platform.port.statesSet[0], expected);
}

TEST_F(SerialChannelTest, OtherSettingsMapToTheirLineFields) {
  struct Case {
    std::string spec;
    ParityKind parity;
    StopBitsKind stopBits;
  };
  const std::vector<Case> cases = {
      {"COM1:300,E,7,2,CS0,DS0", ParityKind::Even, StopBitsKind::Two},
      {"COM1:300,O,7,1.5,CS0,DS0", ParityKind::Odd, StopBitsKind::OneAndHalf},
      {"COM1:300,S,7,1,CS0,DS0", ParityKind::Space, StopBitsKind::One},
      {"COM1:300,M,7,1,CS0,DS0", ParityKind::Mark, StopBitsKind::One},
  };
  for (const Case& c : cases) {
    table.clear();
    FakePlatform fresh;
    ASSERT_EQ(openSerial(table, kChannel, c.spec, fresh), IoResult::Ok) << c.spec;
    EXPECT_EQ(fresh.port.statesSet.at(0).parity, c.parity) << c.spec;
    EXPECT_EQ(fresh.port.statesSet.at(0).stopBits, c.stopBits) << c.spec;
  }

  table.clear();
  FakePlatform flags;
  flags.port.modemLines = kDsrOn;  // the open waits for DSR now
  ASSERT_EQ(openSerial(table, kChannel, "COM1:600,PE,264,1,CS0,DS250,RS,DT,LF", flags),
            IoResult::Ok);
  const LineSettings& set = flags.port.statesSet.at(0);
  EXPECT_TRUE(set.checkParity);
  EXPECT_EQ(set.rts, RtsMode::Off);
  EXPECT_EQ(set.dtr, DtrMode::On);
  EXPECT_FALSE(set.binary);
  EXPECT_TRUE(set.dsrSensitivity);
  EXPECT_EQ(set.dataBits, 8);  // the low 8 bits of 264
}

TEST_F(SerialChannelTest, EachFailingStepGivesItsResultAndClosesTheDevice) {
  struct Case {
    std::string failing;
    IoResult result;
  };
  const std::vector<Case> cases = {
      {"getProperties", IoResult::QueryFailed}, {"setupQueues", IoResult::IllegalRequest},
      {"getTimeouts", IoResult::QueryFailed},   {"setTimeouts", IoResult::IllegalRequest},
      {"getState", IoResult::QueryFailed},      {"setState", IoResult::IllegalRequest},
  };
  for (const Case& c : cases) {
    table.clear();
    FakePlatform fresh;
    fresh.port.failing.insert(c.failing);
    EXPECT_EQ(openSerial(table, kChannel, kFixed, fresh), c.result) << c.failing;
    // The first failure ends the configuration: its call is the last before the close.
    ASSERT_GE(fresh.port.calls.size(), 2u);
    EXPECT_EQ(fresh.port.calls.back(), "close") << c.failing;
    EXPECT_EQ(fresh.port.calls[fresh.port.calls.size() - 2].rfind(c.failing, 0), 0u) << c.failing;
    EXPECT_EQ(fresh.port.count("raiseDtr"), 0u) << c.failing;
    EXPECT_EQ(table.checkFree(kChannel), IoResult::Ok) << c.failing;
  }
}

TEST_F(SerialChannelTest, DtrIsRaisedOnceAfterSetStateAndItsFailureIsIgnored) {
  platform.port.failing.insert("raiseDtr");
  ASSERT_EQ(openSerial(table, kChannel, kFixed, platform), IoResult::Ok);
  EXPECT_EQ(platform.port.count("raiseDtr"), 1u);
  EXPECT_EQ(platform.port.indexOf("raiseDtr"), platform.port.indexOf("setState") + 1);
  EXPECT_EQ(platform.port.count("close"), 0u);
}

TEST_F(SerialChannelTest, UnopenableDeviceGivesOpenFailedAfterThatOneCall) {
  platform.port.failing.insert("open");
  EXPECT_EQ(openSerial(table, kChannel, kFixed, platform), IoResult::OpenFailed);
  EXPECT_EQ(platform.port.calls, (std::vector<std::string>{"devicePath 1", "open /fake/port1"}));
  EXPECT_EQ(table.checkFree(kChannel), IoResult::Ok);
}

TEST_F(SerialChannelTest, RejectedRequestsNeverReachThePlatform) {
  const std::string rejected[] = {
      "COM1:600,N,8,1,CS0,DS0,IR5",  // an interrupt number
      "COM1:600,X",                  // a bad field
      "COM1",                        // a bad name
  };
  for (const std::string& spec : rejected) {
    EXPECT_EQ(openSerial(table, kChannel, spec, platform), IoResult::IllegalRequest) << spec;
  }
  EXPECT_EQ(openSerial(table, 0, kFixed, platform), IoResult::IllegalRequest);
  EXPECT_EQ(openSerial(table, 256, kFixed, platform), IoResult::IllegalRequest);
  EXPECT_TRUE(platform.port.calls.empty());
}

TEST_F(SerialChannelTest, DevicePathsComeFromThePlatformOrTheOverride) {
  struct Case {
    std::string name;
    std::string devicePathCall;
    std::uint32_t portNumber;
  };
  const std::vector<Case> cases = {
      {"COM12:", "devicePath 12", 12},
      {"COM2:", "devicePath 2", 2},
      {"COM:", "devicePath 0", 1},
      {"SER:", "devicePath 1", 1},
  };
  for (const Case& c : cases) {
    table.clear();
    FakePlatform fresh;
    ASSERT_EQ(openSerial(table, kChannel, c.name + std::string(kPortSettings), fresh),
              IoResult::Ok);
    EXPECT_EQ(fresh.port.calls.at(0), c.devicePathCall) << c.name;
    EXPECT_EQ(opened()->portNumber(), c.portNumber) << c.name;
  }

  table.clear();
  FakePlatform overridden;
  const std::string path = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0";
  ASSERT_EQ(openSerial(table, kChannel, kFixed, overridden, &path), IoResult::Ok);
  EXPECT_EQ(overridden.port.count("devicePath"), 0u);
  EXPECT_EQ(overridden.port.calls.at(0), "open " + path);
}

TEST_F(SerialChannelTest, DsrOffWithTheDefaultLimitWaitsJustOverASecondAndFails) {
  platform.port.modemLines = kCarrierOn;  // carrier alone is not enough
  EXPECT_EQ(openSerial(table, kChannel, "COM1:600,N,8,1,CS0", platform), IoResult::IllegalRequest);
  // The clock advances 1 ms a reading; the first one is the start.
  EXPECT_GE(platform.port.now, 1002u);
  EXPECT_LE(platform.port.now, 1010u);
  EXPECT_GT(platform.port.count("modemStatus"), 1000u);
  EXPECT_EQ(platform.port.calls.back(), "close");
  EXPECT_EQ(table.checkFree(kChannel), IoResult::Ok);
}

TEST_F(SerialChannelTest, LineWaitFailureReplacesAnEarlierResult) {
  platform.port.failing.insert("getState");
  platform.port.failing.insert("modemStatus");
  EXPECT_EQ(openSerial(table, kChannel, "COM1:600,N,8,1,CS0,DS5", platform),
            IoResult::IllegalRequest);
  EXPECT_EQ(platform.port.count("modemStatus"), 1u);
  EXPECT_EQ(platform.port.calls.back(), "close");
}

TEST_F(SerialChannelTest, LineWaitStopsAtTheBitAndChecksCarrierFirst) {
  platform.port.modemLines = kCarrierOn | kDsrOn;
  ASSERT_EQ(openSerial(table, kChannel, "COM1:600,N,8,1,CS0,CD50,DS50", platform), IoResult::Ok);
  EXPECT_EQ(platform.port.count("modemStatus"), 2u);  // one per line, each already up

  // Without carrier the wait fails and the read never reaches the device.
  fakes::FakePort& port = platform.port;
  port.calls.clear();
  port.modemLines = kDsrOn;
  std::uint32_t got = 7;
  char byte = 0;
  EXPECT_EQ(opened()->readBytes(&byte, 1, got), IoResult::IoFailed);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(port.count("read"), 0u);
  EXPECT_GE(port.count("modemStatus"), 50u);
}

TEST(SerialLineWait, ElapsedTimeIsUnsignedAndStrict) {
  // Clock near the top of its range: the difference must survive the wrap.
  FakePlatform platform;
  platform.port.now = 0xFFFFFFF0u;
  fakes::FakeDevice device(platform.port);
  EXPECT_FALSE(waitForLines(device, platform, 0, 20));
  // Readings: start, then one per turn; the turn that sees 21 elapsed ends it. An elapsed time
  // of exactly 20 keeps waiting.
  EXPECT_EQ(platform.port.now, 0xFFFFFFF0u + 22u);

  // Both limits zero: the port is not asked at all.
  platform.port.calls.clear();
  EXPECT_TRUE(waitForLines(device, platform, 0, 0));
  EXPECT_TRUE(platform.port.calls.empty());
}

TEST(SerialLineWait, ALineThatComesUpInTimeEndsTheWait) {
  // A status read that fails ends the wait at once; one that shows the bit succeeds.
  FakePlatform platform;
  fakes::FakeDevice device(platform.port);
  platform.port.modemLines = kDsrOn;
  EXPECT_TRUE(waitForLines(device, platform, 0, 1000));
  EXPECT_EQ(platform.port.count("modemStatus"), 1u);
  platform.port.failing.insert("modemStatus");
  EXPECT_FALSE(waitForLines(device, platform, 1000, 0));
}

TEST_F(SerialChannelTest, ReadFailureKeepsTheChannelOpenAndTheNextReadTriesAgain) {
  ASSERT_EQ(openSerial(table, kChannel, kFixed, platform), IoResult::Ok);
  platform.port.calls.clear();
  platform.port.failing.insert("read");
  EXPECT_EQ(readChars(table, kChannel, 1), "");
  ASSERT_NE(opened(), nullptr);
  platform.port.failing.erase("read");
  platform.port.incoming = {"A", "", "xyz"};
  EXPECT_EQ(readChars(table, kChannel, 1), "A");
  EXPECT_EQ(readChars(table, kChannel, 1), "");  // a read that got nothing
  EXPECT_EQ(readChars(table, kChannel, 3), "xyz");
  EXPECT_EQ(platform.port.calls,
            (std::vector<std::string>{"read 1", "read 1", "read 1", "read 3"}));

  char buffer[4] = {};
  std::uint32_t got = 9;
  platform.port.failing.insert("read");
  EXPECT_EQ(opened()->readBytes(buffer, 4, got), IoResult::IoFailed);
  EXPECT_EQ(got, 0u);
}

TEST_F(SerialChannelTest, AGoneDeviceIsLetGoAndOpenedAgainByNameWithTheSameSteps) {
  ASSERT_EQ(openSerial(table, kChannel, kFixed, platform), IoResult::Ok);
  const std::vector<std::string> firstOpen = platform.port.calls;
  SerialChannel* channel = opened();
  platform.port.calls.clear();

  // The read that shows the device gone closes the handle and nothing else.
  platform.port.tick = 0;  // the clock moves only as the test says
  platform.port.failing.insert("read");
  platform.port.readShowsGone = true;
  EXPECT_EQ(readChars(table, kChannel, 1), "");
  EXPECT_EQ(platform.port.calls, (std::vector<std::string>{"read 1", "close"}));
  EXPECT_FALSE(channel->connected());
  EXPECT_EQ(opened(), channel);  // still in its slot

  // While the device stays away, nothing is to be waited for on it, and the wait's time-out
  // paces the tries: 500 ms from its going, or from the last try. Each read is one try at
  // opening it, at once, and no read.
  EXPECT_EQ(channel->readable().kind, console::Waitable::Kind::Never);
  EXPECT_EQ(channel->untilReopen(), 500u);
  platform.port.now += 200;
  EXPECT_EQ(channel->untilReopen(), 300u);
  platform.port.now += 300;
  EXPECT_EQ(channel->untilReopen(), 0u);
  platform.port.failing.erase("read");
  platform.port.readShowsGone = false;
  platform.port.opensToRefuse = 2;
  platform.port.calls.clear();
  EXPECT_EQ(readChars(table, kChannel, 1), "");
  EXPECT_EQ(channel->untilReopen(), 500u);
  EXPECT_EQ(readChars(table, kChannel, 1), "");
  EXPECT_EQ(platform.port.calls,
            (std::vector<std::string>{"open /fake/port1", "open /fake/port1"}));

  // Back again: opened and configured exactly as at the start, then read.
  platform.port.calls.clear();
  platform.port.incoming = {"e"};
  EXPECT_EQ(readChars(table, kChannel, 1), "e");
  std::vector<std::string> expected(firstOpen.begin() + 1, firstOpen.end());  // no devicePath
  expected.push_back("read 1");
  EXPECT_EQ(platform.port.calls, expected);
  ASSERT_EQ(platform.port.statesSet.size(), 2u);
  EXPECT_EQ(platform.port.statesSet[1], platform.port.statesSet[0]);
  ASSERT_EQ(platform.port.timeoutsSet.size(), 2u);
  EXPECT_EQ(platform.port.timeoutsSet[1], platform.port.timeoutsSet[0]);
  EXPECT_TRUE(channel->connected());
  EXPECT_EQ(channel->untilReopen(), console::kNoTimeout);
}

TEST_F(SerialChannelTest, OnlyTheDeviceFirstOpenedIsOpenedAgain) {
  struct Case {
    const char* what;
    std::optional<DeviceIdentity> atFirstOpen;
    std::optional<DeviceIdentity> later;
    bool reopened;
  };
  const DeviceIdentity adapterA{true, "usb 0403:6001 serial A", ""};
  const DeviceIdentity adapterB{true, "usb 0403:6001 serial B", ""};
  const DeviceIdentity noHardware{false, "no hardware", ""};
  // The same through a link: the one first seen, or one removed and made again.
  const auto through = [](DeviceIdentity device, const char* link) {
    device.link = link;
    return device;
  };
  const Case cases[] = {
      {"the same adapter again", adapterA, adapterA, true},
      {"another adapter under the name", adapterA, adapterB, false},
      {"nothing under the name yet", adapterA, std::nullopt, false},
      {"a pseudo-terminal's number handed on", noHardware, noHardware, false},
      {"a name that told nothing at the first open", std::nullopt, adapterA, false},
      {"a link left in place, its pty's number handed on", through(noHardware, "link 1"),
       through(noHardware, "link 1"), false},
      {"a link left in place, another adapter behind it", through(adapterA, "link 1"),
       through(adapterB, "link 1"), false},
      {"a link left in place, the same adapter behind it", through(adapterA, "link 1"),
       through(adapterA, "link 1"), true},
      {"a link made again towards a new pty", through(noHardware, "link 1"),
       through(noHardware, "link 2"), true},
      {"a device file where a link was", through(noHardware, "link 1"), noHardware, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    table.clear();
    FakePlatform fresh;
    fresh.port.identity = c.atFirstOpen;
    ASSERT_EQ(openSerial(table, kChannel, kFixed, fresh), IoResult::Ok);
    fresh.port.readShowsGone = true;
    EXPECT_EQ(readChars(table, kChannel, 1), "");
    fresh.port.readShowsGone = false;
    fresh.port.identity = c.later;
    fresh.port.calls.clear();
    fresh.port.incoming = {"e"};
    // Not the same device: the wait goes on as while the device is away, and nothing under
    // the name is opened.
    EXPECT_EQ(readChars(table, kChannel, 1), c.reopened ? "e" : "");
    EXPECT_EQ(fresh.port.count("open"), c.reopened ? 1u : 0u);
    table.clear();
  }
}

TEST_F(SerialChannelTest, AHangUpThatReadsAsNothingCountsAsGoneButAQuietLineDoesNot) {
  ASSERT_EQ(openSerial(table, kChannel, kFixed, platform), IoResult::Ok);
  SerialChannel* channel = opened();
  platform.port.calls.clear();
  platform.port.incoming = {""};  // a read that returned at once with nothing
  EXPECT_EQ(readChars(table, kChannel, 1), "");
  EXPECT_TRUE(channel->connected());
  platform.port.readShowsGone = true;  // the same, on a line that has hung up
  EXPECT_EQ(readChars(table, kChannel, 1), "");
  EXPECT_FALSE(channel->connected());
  EXPECT_EQ(platform.port.calls, (std::vector<std::string>{"read 1", "read 1", "close"}));
}

TEST_F(SerialChannelTest, AChannelWithoutItsDeviceRefusesRequestsAndClosesQuietly) {
  ASSERT_EQ(openSerial(table, kChannel, kFixed, platform), IoResult::Ok);
  SerialChannel& channel = *opened();
  platform.port.failing.insert("read");
  platform.port.readShowsGone = true;
  EXPECT_EQ(readChars(table, kChannel, 1), "");
  platform.port.calls.clear();
  std::uint32_t count = 7;
  EXPECT_EQ(channel.bytesWaiting(count), IoResult::IllegalRequest);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(channel.endTest(), -1);
  EXPECT_EQ(channel.writeBytes("x", 1), IoResult::IoFailed);
  // A reconfiguration that fails leaves it without a device, the new handle closed.
  platform.port.failing = {"read", "setState"};
  EXPECT_EQ(readChars(table, kChannel, 1), "");
  EXPECT_FALSE(channel.connected());
  EXPECT_EQ(platform.port.calls.back(), "close");
  // Quit closes every channel: nothing is left to let go.
  platform.port.calls.clear();
  EXPECT_EQ(table.closeChannel(kChannel), IoResult::Ok);
  EXPECT_TRUE(platform.port.calls.empty());
}

TEST_F(SerialChannelTest, ReadCharsOnAFreeOrForeignSlotIsEmpty) {
  EXPECT_EQ(readChars(table, kChannel, 1), "");
  EXPECT_EQ(readChars(table, 0, 1), "");
  EXPECT_EQ(readChars(table, 300, 1), "");
  EXPECT_TRUE(platform.port.calls.empty());

  // A slot holding some other kind of channel is not read either.
  struct OtherChannel final : console::Channel {
    IoResult close() override { return IoResult::Ok; }
    IoResult readBytes(char* buffer, std::uint32_t, std::uint32_t& got) override {
      buffer[0] = 'Z';
      got = 1;
      return IoResult::Ok;
    }
  };
  ASSERT_EQ(table.install(kChannel, std::make_unique<OtherChannel>()), IoResult::Ok);
  EXPECT_EQ(readChars(table, kChannel, 1), "");
}

TEST_F(SerialChannelTest, OpenSlotIsRefusedAndLeftAlone) {
  ASSERT_EQ(openSerial(table, kChannel, kFixed, platform), IoResult::Ok);
  SerialChannel* first = opened();
  FakePlatform second;
  EXPECT_EQ(openSerial(table, kChannel, "COM2:" + std::string(kPortSettings), second),
            IoResult::IllegalRequest);
  EXPECT_TRUE(second.port.calls.empty());
  EXPECT_EQ(opened(), first);
  EXPECT_EQ(platform.port.count("close"), 0u);
}

TEST_F(SerialChannelTest, CloseFreesTheSlotForANewOpen) {
  ASSERT_EQ(openSerial(table, kChannel, kFixed, platform), IoResult::Ok);
  EXPECT_EQ(table.closeChannel(kChannel), IoResult::Ok);
  EXPECT_EQ(platform.port.count("close"), 1u);
  EXPECT_EQ(table.checkFree(kChannel), IoResult::Ok);
  EXPECT_EQ(openSerial(table, kChannel, kFixed, platform), IoResult::Ok);
}

TEST_F(SerialChannelTest, WriteWaitingCountEndTestAndWideVariants) {
  ASSERT_EQ(openSerial(table, kChannel, kFixed, platform), IoResult::Ok);
  SerialChannel& channel = *opened();

  EXPECT_EQ(channel.writeBytes("abc", 3), IoResult::Ok);
  EXPECT_EQ(channel.writeWide("wxyz", 2), IoResult::Ok);  // two units are four bytes
  EXPECT_EQ(platform.port.written, "abcwxyz");
  platform.port.failing.insert("shortWrite");
  EXPECT_EQ(channel.writeBytes("abc", 3), IoResult::IoFailed);
  platform.port.failing = {"write"};
  EXPECT_EQ(channel.writeBytes("abc", 3), IoResult::IoFailed);
  platform.port.failing.clear();

  platform.port.incoming = {"0123456789"};
  char buffer[8] = {};
  std::uint32_t got = 0;
  EXPECT_EQ(channel.readWide(buffer, 3, got), IoResult::Ok);
  EXPECT_EQ(got, 6u);
  EXPECT_EQ(std::string(buffer, got), "012345");
  EXPECT_EQ(channel.readWide(buffer, 0x80000000u, got), IoResult::IllegalRequest);

  std::uint32_t count = 99;
  platform.port.waiting = 0;
  EXPECT_EQ(channel.bytesWaiting(count), IoResult::Ok);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(channel.endTest(), 1);
  platform.port.waiting = 5;
  EXPECT_EQ(channel.bytesWaiting(count), IoResult::Ok);
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(channel.endTest(), 0);
  platform.port.failing.insert("waitingCount");
  EXPECT_EQ(channel.bytesWaiting(count), IoResult::IllegalRequest);
  EXPECT_EQ(channel.endTest(), -1);

  // The channel has no seek.
  EXPECT_EQ(channel.seek(0), IoResult::IllegalRequest);
}

TEST_F(SerialChannelTest, WritesWaitForTheLinesLikeReads) {
  ASSERT_EQ(openSerial(table, kChannel, "COM1:600,N,8,1,CS0,DS0,CD3", platform),
            IoResult::IllegalRequest);  // carrier off: the open's own wait fails
  platform.port.modemLines = kCarrierOn;
  ASSERT_EQ(openSerial(table, kChannel, "COM1:600,N,8,1,CS0,DS0,CD3", platform), IoResult::Ok);
  platform.port.modemLines = 0;
  platform.port.calls.clear();
  EXPECT_EQ(opened()->writeBytes("a", 1), IoResult::IoFailed);
  EXPECT_EQ(platform.port.count("write"), 0u);
}

}  // namespace
}  // namespace kestrelgate::link
