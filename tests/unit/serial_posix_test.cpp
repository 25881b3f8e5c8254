#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "console/channel_table.h"
#include "link/serial_channel.h"
#include "link/serial_device.h"

namespace kestrelgate::link {
namespace {

using namespace std::chrono_literals;

// A pseudo-terminal pair: the test plays the chess computer on the master side, the backend
// opens the slave as its port.
class SerialPosixPty : public ::testing::Test {
 protected:
  void SetUp() override {
    console::channelTable().clear();
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      GTEST_SKIP() << "no pseudo-terminal available";
    }
    const char* name = ptsname(master_);
    if (name == nullptr) GTEST_SKIP() << "no pseudo-terminal name";
    slavePath_ = name;
    // Keep one slave descriptor of our own open, to inspect its settings and so that the master
    // never sees a hang-up between the backend's open and close.
    observer_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
    if (observer_ < 0) GTEST_SKIP() << "cannot open " << slavePath_;
  }

  void TearDown() override {
    console::channelTable().clear();
    if (observer_ >= 0) ::close(observer_);
    if (master_ >= 0) ::close(master_);
  }

  std::unique_ptr<SerialDevice> openConfigured() {
    std::unique_ptr<SerialDevice> device = systemSerialPlatform().open(slavePath_);
    if (!device) return nullptr;
    LineSettings settings;
    if (!device->getState(settings)) return nullptr;
    settings.baudRate = 600;
    settings.byteSize = 8;
    settings.parity = kNoParity;
    settings.stopBits = kOneStopBit;
    settings.rtsControl = RtsControl::Handshake;
    settings.outX = false;  // as the channel asks: XON and XOFF are data
    settings.inX = false;
    if (!device->setState(settings)) return nullptr;
    return device;
  }

  void writeMaster(const std::string& bytes) {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Polls the waiting count until it reaches `want` or two seconds have passed.
  static std::uint32_t waitForCount(SerialDevice& device, std::uint32_t want) {
    std::uint32_t count = 0;
    for (int i = 0; i < 200; ++i) {
      if (!device.waitingCount(count)) return 0;
      if (count >= want) break;
      std::this_thread::sleep_for(10ms);
    }
    return count;
  }

  bool masterHasInput(int timeoutMs) {
    pollfd p{master_, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN) != 0;
  }

  int master_ = -1;
  int observer_ = -1;
  std::string slavePath_;
};

TEST_F(SerialPosixPty, EveryByteArrivesUnchangedAndIsCounted) {
  std::unique_ptr<SerialDevice> device = openConfigured();
  ASSERT_NE(device, nullptr);

  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  writeMaster(all);

  // CR, LF, XON, XOFF, the signal and editing characters, bit 7 and 0xFF all count as data.
  ASSERT_EQ(waitForCount(*device, 256), 256u);
  std::string received;
  while (received.size() < all.size()) {
    char buffer[300];
    std::uint32_t got = 0;
    ASSERT_TRUE(device->read(buffer, sizeof buffer, got));
    ASSERT_GT(got, 0u);
    received.append(buffer, got);
  }
  EXPECT_EQ(received, all);
  std::uint32_t left = 99;
  ASSERT_TRUE(device->waitingCount(left));
  EXPECT_EQ(left, 0u);
  // Nothing is echoed back to the sender.
  EXPECT_FALSE(masterHasInput(50));
}

TEST_F(SerialPosixPty, AReadBlocksUntilAByteArrives) {
  std::unique_ptr<SerialDevice> device = openConfigured();
  ASSERT_NE(device, nullptr);

  std::thread sender([this] {
    std::this_thread::sleep_for(300ms);
    const char byte = 'Q';
    (void)!::write(master_, &byte, 1);
  });
  const auto start = std::chrono::steady_clock::now();
  char byte = 0;
  std::uint32_t got = 0;
  const bool ok = device->read(&byte, 1, got);
  const auto waited = std::chrono::steady_clock::now() - start;
  sender.join();
  ASSERT_TRUE(ok);
  EXPECT_EQ(got, 1u);
  EXPECT_EQ(byte, 'Q');
  EXPECT_GE(waited, 250ms);
  EXPECT_LT(waited, 5s);
}

TEST_F(SerialPosixPty, AQuietLineIsNotGoneButAHungUpOneIs) {
  std::unique_ptr<SerialDevice> device = openConfigured();
  ASSERT_NE(device, nullptr);
  // A total time-out that runs out delivers nothing, and the device is still there.
  CommTimeouts timeouts;
  timeouts.readTotalTimeoutConstant = 100;
  ASSERT_TRUE(device->setTimeouts(timeouts));
  char byte = 0;
  std::uint32_t got = 9;
  ASSERT_TRUE(device->read(&byte, 1, got));
  EXPECT_EQ(got, 0u);
  EXPECT_FALSE(device->deviceGone());

  // Back to reads that block for their first byte: a hang-up must still end them at once.
  ASSERT_TRUE(device->setTimeouts(CommTimeouts{}));
  // The other side closing is what pulling the cable of a USB adapter looks like.
  ::close(master_);
  master_ = -1;
  got = 9;
  const bool ok = device->read(&byte, 1, got);
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(device->deviceGone()) << "read " << (ok ? "succeeded" : "failed");
}

TEST(SerialPosix, OnlyErrorsOfARemovedDeviceMeanItHasGone) {
  for (int error : {EIO, ENXIO, ENODEV}) EXPECT_TRUE(readErrorMeansDeviceGone(error)) << error;
  for (int error : {0, EAGAIN, EINTR, EINVAL, EBADF, ENOMEM}) {
    EXPECT_FALSE(readErrorMeansDeviceGone(static_cast<std::uint32_t>(error))) << error;
  }
}

TEST_F(SerialPosixPty, FixedSettingsRenderAsRawEightBitTermios) {
  ASSERT_EQ(
      openSerial(2, "COM1:" + std::string(kPortSettings), systemSerialPlatform(), &slavePath_),
      IoResult::Ok);
  termios t{};
  ASSERT_EQ(tcgetattr(observer_, &t), 0);
  EXPECT_EQ(cfgetispeed(&t), B600);
  EXPECT_EQ(cfgetospeed(&t), B600);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS | HUPCL), 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(t.c_iflag & (ISTRIP | ICRNL | INLCR | IGNCR | IXON | IXOFF | INPCK | PARMRK), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 0);

  writeMaster("12 e2-e4\r\n");
  std::string line;
  for (int i = 0; i < 10; ++i) line += readChars(2, 1);
  EXPECT_EQ(line, "12 e2-e4\r\n");
  EXPECT_EQ(console::channelTable().closeChannel(2), IoResult::Ok);
}

TEST_F(SerialPosixPty, IntervalTimeoutBecomesTenthsOfASecond) {
  ASSERT_EQ(openSerial(2, "COM1:600,N,8,1,CS250,DS0,CD0", systemSerialPlatform(), &slavePath_),
            IoResult::Ok);
  termios t{};
  ASSERT_EQ(tcgetattr(observer_, &t), 0);
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 3);
  EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
}

TEST_F(SerialPosixPty, SettingsTermiosCannotRenderAreRefused) {
  std::unique_ptr<SerialDevice> device = systemSerialPlatform().open(slavePath_);
  ASSERT_NE(device, nullptr);
  LineSettings base;
  ASSERT_TRUE(device->getState(base));
  base.baudRate = 600;
  base.byteSize = 8;
  base.parity = kNoParity;
  base.stopBits = kOneStopBit;
  ASSERT_TRUE(device->setState(base));

  LineSettings s = base;
  s.baudRate = 12345;
  EXPECT_FALSE(device->setState(s));
  s.baudRate = 0;
  EXPECT_FALSE(device->setState(s));
  for (std::uint8_t bits : {0, 4, 9}) {
    s = base;
    s.byteSize = bits;
    EXPECT_FALSE(device->setState(s)) << int{bits};
  }
  s = base;
  s.stopBits = kOne5StopBits;
  EXPECT_FALSE(device->setState(s));  // 1.5 only exists for 5-bit characters
  s.byteSize = 5;
  EXPECT_TRUE(device->setState(s));
  s = base;
  s.stopBits = 7;
  EXPECT_FALSE(device->setState(s));
  s = base;
  s.parity = 9;
  EXPECT_FALSE(device->setState(s));

  // The speed is read back as set. (A pty keeps its character frame at 8N1 whatever is asked,
  // so the frame cannot be read back here.)
  s = base;
  s.baudRate = 9600;
  ASSERT_TRUE(device->setState(s));
  LineSettings back;
  ASSERT_TRUE(device->getState(back));
  EXPECT_EQ(back.baudRate, 9600u);

  // Through the channel: refused data bits fail the open and leave the slot free.
  device.reset();
  EXPECT_EQ(openSerial(2, "COM1:600,N,9,1,CS0,DS0,CD0,BIN", systemSerialPlatform(), &slavePath_),
            IoResult::IllegalRequest);
  EXPECT_EQ(console::channelTable().checkFree(2), IoResult::Ok);
}

TEST(SerialPosix, PortNumbersMapToTtyS) {
  SerialPlatform& platform = systemSerialPlatform();
  EXPECT_EQ(platform.devicePath(0), "/dev/ttyS0");
  EXPECT_EQ(platform.devicePath(1), "/dev/ttyS0");
  EXPECT_EQ(platform.devicePath(2), "/dev/ttyS1");
  EXPECT_EQ(platform.devicePath(12), "/dev/ttyS11");
  EXPECT_TRUE(acceptsDevicePaths());
  EXPECT_EQ(platform.open("/nonexistent/serial-port"), nullptr);
}

TEST(SerialPosix, AMissingDeviceGivesOpenFailed) {
  console::channelTable().clear();
  const std::string path = "/nonexistent/serial-port";
  EXPECT_EQ(openSerial(2, "COM1:" + std::string(kPortSettings), systemSerialPlatform(), &path),
            IoResult::OpenFailed);
  EXPECT_EQ(console::channelTable().checkFree(2), IoResult::Ok);
  // A file that opens but is no terminal has no line settings to query.
  const std::string notATty = "/dev/null";
  EXPECT_EQ(openSerial(2, "COM1:" + std::string(kPortSettings), systemSerialPlatform(), &notATty),
            IoResult::QueryFailed);
  EXPECT_EQ(console::channelTable().checkFree(2), IoResult::Ok);
}

TEST(SerialPosix, ClockCountsMilliseconds) {
  SerialPlatform& platform = systemSerialPlatform();
  const std::uint32_t start = platform.milliseconds();
  std::this_thread::sleep_for(50ms);
  const std::uint32_t elapsed = platform.milliseconds() - start;
  EXPECT_GE(elapsed, 45u);
  EXPECT_LT(elapsed, 5000u);
}

}  // namespace
}  // namespace kestrelgate::link
