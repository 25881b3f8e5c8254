#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "console/channel_table.h"
#include "link/device_identity_posix.h"
#include "link/serial_channel.h"
#include "link/serial_device.h"
#include "link/termios_settings_posix.h"

namespace kestrelgate::link {
namespace {

using console::IoResult;

using namespace std::chrono_literals;

// A pseudo-terminal pair: the test plays the chess computer on the master side, the backend
// opens the slave as its port.
class SerialPosixPty : public ::testing::Test {
 protected:
  void SetUp() override {
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
    if (observer_ >= 0) ::close(observer_);
    if (master_ >= 0) ::close(master_);
  }

  std::unique_ptr<SerialDevice> openConfigured() {
    std::unique_ptr<SerialDevice> device = systemSerialPlatform().open(slavePath_).device;
    if (!device || !device->getState()) return nullptr;
    LineSettings settings;
    settings.speed = 600;
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

  console::ChannelTable table;
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
    const ReadOutcome outcome = device->read(buffer, sizeof buffer);
    ASSERT_EQ(outcome.status, ReadStatus::Bytes);
    ASSERT_GT(outcome.count, 0u);
    received.append(buffer, outcome.count);
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
  const ReadOutcome outcome = device->read(&byte, 1);
  const auto waited = std::chrono::steady_clock::now() - start;
  sender.join();
  EXPECT_EQ(outcome, (ReadOutcome{ReadStatus::Bytes, 1, 0}));
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
  EXPECT_EQ(device->read(&byte, 1), (ReadOutcome{ReadStatus::Nothing, 0, 0}));

  // Back to reads that block for their first byte: a hang-up must still end them at once.
  ASSERT_TRUE(device->setTimeouts(CommTimeouts{}));
  // The other side closing is what pulling the cable of a USB adapter looks like.
  ::close(master_);
  master_ = -1;
  const ReadOutcome outcome = device->read(&byte, 1);
  EXPECT_EQ(outcome.status, ReadStatus::Gone);
  EXPECT_EQ(outcome.count, 0u);
  // Linux reports the hang-up of a pty as EIO: the error code comes with the outcome.
  EXPECT_TRUE(outcome.error == 0 || outcome.error == EIO) << outcome.error;
}

TEST_F(SerialPosixPty, APortAnotherProgramHoldsIsRefusedBeforeAnythingAboutItChanges) {
  // Another program holds the port (the lock serial tools agree on) at 9600 bit/s.
  ASSERT_EQ(flock(observer_, LOCK_EX | LOCK_NB), 0);
  termios held{};
  ASSERT_EQ(tcgetattr(observer_, &held), 0);
  cfsetispeed(&held, B9600);
  cfsetospeed(&held, B9600);
  ASSERT_EQ(tcsetattr(observer_, TCSANOW, &held), 0);

  const std::string fixed = "COM1:" + std::string(kPortSettings);
  EXPECT_EQ(openSerial(table, 2, fixed, systemSerialPlatform(), &slavePath_), IoResult::OpenFailed);
  EXPECT_EQ(table.checkFree(2), IoResult::Ok);
  termios after{};
  ASSERT_EQ(tcgetattr(observer_, &after), 0);
  EXPECT_EQ(cfgetospeed(&after), B9600);

  // Once it lets go, the port is ours, and ours alone while the channel is open: a second
  // open is refused, and the terminal is marked exclusive until the channel closes it.
  ASSERT_EQ(flock(observer_, LOCK_UN), 0);
  ASSERT_EQ(openSerial(table, 2, fixed, systemSerialPlatform(), &slavePath_), IoResult::Ok);
  EXPECT_EQ(systemSerialPlatform().open(slavePath_).device, nullptr);
  EXPECT_NE(flock(observer_, LOCK_EX | LOCK_NB), 0);
  int exclusive = 0;
  ASSERT_EQ(ioctl(observer_, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);

  EXPECT_EQ(table.closeChannel(2), IoResult::Ok);
  ASSERT_EQ(ioctl(observer_, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  EXPECT_EQ(flock(observer_, LOCK_EX | LOCK_NB), 0);
}

TEST(SerialPosix, OnlyErrorsOfARemovedDeviceMeanItHasGone) {
  for (int error : {EIO, ENXIO, ENODEV}) EXPECT_TRUE(readErrorMeansDeviceGone(error)) << error;
  for (int error : {0, EAGAIN, EINTR, EINVAL, EBADF, ENOMEM}) {
    EXPECT_FALSE(readErrorMeansDeviceGone(static_cast<std::uint32_t>(error))) << error;
  }
}

TEST_F(SerialPosixPty, FixedSettingsRenderAsRawEightBitTermios) {
  ASSERT_EQ(openSerial(table, 2, "COM1:" + std::string(kPortSettings), systemSerialPlatform(),
                       &slavePath_),
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
  for (int i = 0; i < 10; ++i) line += readChars(table, 2, 1);
  EXPECT_EQ(line, "12 e2-e4\r\n");
  EXPECT_EQ(table.closeChannel(2), IoResult::Ok);
}

TEST_F(SerialPosixPty, IntervalTimeoutBecomesTenthsOfASecond) {
  ASSERT_EQ(
      openSerial(table, 2, "COM1:600,N,8,1,CS250,DS0,CD0", systemSerialPlatform(), &slavePath_),
      IoResult::Ok);
  termios t{};
  ASSERT_EQ(tcgetattr(observer_, &t), 0);
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 3);
  EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
}

// A termios record with every flag the settings touch set the other way, as a port left in
// cooked mode by a terminal program might be.
termios cookedTermios() {
  termios t{};
  t.c_iflag =
      IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY | IXON | IXOFF | INPCK;
  t.c_oflag = OPOST;
  t.c_lflag = ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN;
  t.c_cflag = CS7 | PARENB | PARODD | CSTOPB | HUPCL | CRTSCTS;
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  return t;
}

TEST(SerialPosixTermios, TheFixedSettingsRenderAsRawEightBitAtSixHundred) {
  LineSettings fixed;
  fixed.speed = 600;
  const std::optional<termios> rendered = renderTermios(fixed, cookedTermios(), 1, 0);
  ASSERT_TRUE(rendered);
  const termios& t = *rendered;
  EXPECT_EQ(cfgetispeed(&t), B600);
  EXPECT_EQ(cfgetospeed(&t), B600);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL), 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(t.c_iflag, 0u);  // no flow control, translation, stripping or marking
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST(SerialPosixTermios, EachSettingHasItsFlagsAndWhatTermiosCannotRenderIsRefused) {
  LineSettings base;
  base.speed = 600;
  const termios start = cookedTermios();
  struct Case {
    const char* what;
    LineSettings settings;
    bool rendered;
    tcflag_t cflagMask;
    tcflag_t cflag;
  };
  std::vector<Case> cases;
  auto add = [&](const char* what, auto change, bool rendered, tcflag_t mask, tcflag_t flags) {
    LineSettings settings = base;
    change(settings);
    cases.push_back({what, settings, rendered, mask, flags});
  };
  add(
      "even parity", [](LineSettings& s) { s.parity = ParityKind::Even; }, true, PARENB | PARODD,
      PARENB);
  add(
      "odd parity", [](LineSettings& s) { s.parity = ParityKind::Odd; }, true, PARENB | PARODD,
      PARENB | PARODD);
#ifdef CMSPAR
  add(
      "mark parity", [](LineSettings& s) { s.parity = ParityKind::Mark; }, true,
      PARENB | PARODD | CMSPAR, PARENB | PARODD | CMSPAR);
  add(
      "space parity", [](LineSettings& s) { s.parity = ParityKind::Space; }, true,
      PARENB | PARODD | CMSPAR, PARENB | CMSPAR);
#endif
  add(
      "two stop bits", [](LineSettings& s) { s.stopBits = StopBitsKind::Two; }, true, CSTOPB,
      CSTOPB);
  add(
      "7 data bits", [](LineSettings& s) { s.dataBits = 7; }, true, CSIZE, CS7);
  add(
      "5 data bits, 1.5 stop bits",
      [](LineSettings& s) {
        s.dataBits = 5;
        s.stopBits = StopBitsKind::OneAndHalf;
      },
      true, CSIZE | CSTOPB, CS5 | CSTOPB);
  add(
      "CTS pacing", [](LineSettings& s) { s.ctsOutputFlow = true; }, true, CRTSCTS, CRTSCTS);
  // 1.5 stop bits only exist for 5-bit characters.
  add(
      "8 data bits, 1.5 stop bits", [](LineSettings& s) { s.stopBits = StopBitsKind::OneAndHalf; },
      false, 0, 0);
  add(
      "12345 bit/s", [](LineSettings& s) { s.speed = 12345; }, false, 0, 0);
  add(
      "0 bit/s", [](LineSettings& s) { s.speed = 0; }, false, 0, 0);
  for (std::uint8_t bits : {0, 4, 9}) {
    add(
        "data bits", [bits](LineSettings& s) { s.dataBits = bits; }, false, 0, 0);
  }
  add(
      "no such stop bits", [](LineSettings& s) { s.stopBits = static_cast<StopBitsKind>(7); },
      false, 0, 0);
  add(
      "no such parity", [](LineSettings& s) { s.parity = static_cast<ParityKind>(9); }, false, 0,
      0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::optional<termios> t = renderTermios(c.settings, start, 1, 0);
    ASSERT_EQ(t.has_value(), c.rendered);
    if (t) {
      EXPECT_EQ(t->c_cflag & c.cflagMask, c.cflag);
    }
  }
  LineSettings checked = base;
  checked.checkParity = true;
  EXPECT_EQ(renderTermios(checked, start, 1, 0)->c_iflag & INPCK, static_cast<tcflag_t>(INPCK));
  EXPECT_EQ(renderTermios(base, start, 0, 7)->c_cc[VTIME], 7);
}

TEST_F(SerialPosixPty, SettingsTermiosCannotRenderAreRefused) {
  std::unique_ptr<SerialDevice> device = systemSerialPlatform().open(slavePath_).device;
  ASSERT_NE(device, nullptr);
  ASSERT_TRUE(device->getState());
  LineSettings base;
  base.speed = 600;
  ASSERT_TRUE(device->setState(base));

  LineSettings s = base;
  s.speed = 12345;
  EXPECT_FALSE(device->setState(s));
  s = base;
  s.stopBits = StopBitsKind::OneAndHalf;
  EXPECT_FALSE(device->setState(s));  // 1.5 only exists for 5-bit characters
  s.dataBits = 5;
  EXPECT_TRUE(device->setState(s));

  // The speed reaches the terminal as set. (A pty keeps its character frame at 8N1 whatever
  // is asked, so the frame cannot be read back here.)
  s = base;
  s.speed = 9600;
  ASSERT_TRUE(device->setState(s));
  termios back{};
  ASSERT_EQ(tcgetattr(observer_, &back), 0);
  EXPECT_EQ(cfgetospeed(&back), B9600);

  // Through the channel: refused data bits fail the open and leave the slot free.
  device.reset();
  EXPECT_EQ(
      openSerial(table, 2, "COM1:600,N,9,1,CS0,DS0,CD0,BIN", systemSerialPlatform(), &slavePath_),
      IoResult::IllegalRequest);
  EXPECT_EQ(table.checkFree(2), IoResult::Ok);
}

// A sysfs of our own below a temporary folder: /dev/null (character device 1:3) stands for a
// serial device, and the folders say what hardware is behind it.
class FakeSysfs {
 public:
  FakeSysfs() {
    static int made = 0;
    root_ = std::filesystem::temp_directory_path() /
            ("kestrelgate-sysfs-" + std::to_string(getpid()) + "-" + std::to_string(++made));
    std::filesystem::create_directories(root_ / "dev" / "char" / "1:3");
  }
  ~FakeSysfs() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // Puts /dev/null's device at `device` below devices/; a USB device two levels up gets the
  // attributes given.
  void place(const std::string& device, const std::string& usbSerial = "", bool usb = false) {
    const std::filesystem::path folder = root_ / "devices" / device;
    std::filesystem::create_directories(folder);
    const std::filesystem::path link = root_ / "dev" / "char" / "1:3" / "device";
    std::filesystem::remove(link);
    std::filesystem::create_directory_symlink(folder, link);
    if (!usb) return;
    const std::filesystem::path usbDevice = folder.parent_path().parent_path();
    std::ofstream(usbDevice / "idVendor") << "0403\n";
    std::ofstream(usbDevice / "idProduct") << "6001\n";
    if (!usbSerial.empty()) std::ofstream(usbDevice / "serial") << usbSerial << "\n";
  }

  std::string root() const { return root_.string(); }
  std::filesystem::path path(const std::string& name) const { return root_ / name; }

 private:
  std::filesystem::path root_;
};

TEST(SerialPosixIdentity, WhatANameLeadsToDecidesWhetherAReopenMayTakeIt) {
  FakeSysfs sys;
  // Nothing in sysfs behind the device: no hardware to recognise it by.
  EXPECT_EQ(identifyDevice("/dev/null", sys.root()), (DeviceIdentity{false, "no hardware", ""}));

  // A USB adapter: its place and its USB attributes.
  sys.place("pci0000:00/usb1/1-2/1-2:1.0/ttyUSB0", "A7004Xyz", true);
  const std::optional<DeviceIdentity> adapter = identifyDevice("/dev/null", sys.root());
  ASSERT_TRUE(adapter);
  EXPECT_TRUE(adapter->reopenable);
  EXPECT_NE(adapter->description.find("usb1/1-2/1-2:1.0/ttyUSB0"), std::string::npos);
  EXPECT_NE(adapter->description.find("0403:6001"), std::string::npos);
  EXPECT_NE(adapter->description.find("A7004Xyz"), std::string::npos);
  EXPECT_EQ(identifyDevice("/dev/null", sys.root()), adapter);
  // Another adapter of the same make in the same socket: only the serial number differs.
  sys.place("pci0000:00/usb1/1-2/1-2:1.0/ttyUSB0", "B9911Abc", true);
  EXPECT_NE(identifyDevice("/dev/null", sys.root()), adapter);

  // A port on the main board: its resolved place alone.
  FakeSysfs board;
  board.place("pnp0/00:00/00:00:0/00:00:0.0");
  const std::optional<DeviceIdentity> builtIn = identifyDevice("/dev/null", board.root());
  ASSERT_TRUE(builtIn);
  EXPECT_TRUE(builtIn->reopenable);
  EXPECT_TRUE(builtIn->description.ends_with("pnp0/00:00/00:00:0/00:00:0.0"))
      << builtIn->description;

  // A symbolic link is what it leads to, and the link itself.
  const std::filesystem::path link = sys.path("by-id-link");
  std::filesystem::create_symlink("/dev/null", link);
  const std::optional<DeviceIdentity> named = identifyDevice(link.string(), sys.root());
  ASSERT_TRUE(named);
  EXPECT_TRUE(named->reopenable);
  EXPECT_EQ(named->description, identifyDevice("/dev/null", sys.root())->description);
  EXPECT_FALSE(named->link.empty());
  // Left in place, it stays the same link whatever comes to be behind it; made again (as udev
  // does on a replug), it is another, and is believed wherever it now leads.
  EXPECT_EQ(identifyDevice(link.string(), sys.root())->link, named->link);
  std::filesystem::remove(link);
  std::filesystem::create_symlink("/dev/zero", link);
  const std::optional<DeviceIdentity> remade = identifyDevice(link.string(), sys.root());
  ASSERT_TRUE(remade);
  EXPECT_NE(remade->link, named->link);
  EXPECT_TRUE(sameDevice(*named, *remade));
  // A link that leads nowhere has nothing under it yet.
  std::filesystem::remove(link);
  std::filesystem::create_symlink(sys.path("missing"), link);
  EXPECT_EQ(identifyDevice(link.string(), sys.root()), std::nullopt);

  // Nothing under the name yet; and a plain file, which no reopen may take.
  EXPECT_EQ(identifyDevice(sys.path("missing").string(), sys.root()), std::nullopt);
  std::ofstream(sys.path("plain")) << "x";
  EXPECT_FALSE(identifyDevice(sys.path("plain").string(), sys.root())->reopenable);
}

TEST_F(SerialPosixPty, APseudoTerminalNamedDirectlyIsNeverReopened) {
  // The kernel hands a closed pty's number to the next program that asks for one.
  const std::optional<DeviceIdentity> pty = systemSerialPlatform().identify(slavePath_);
  ASSERT_TRUE(pty);
  EXPECT_FALSE(pty->reopenable);
}

TEST(SerialPosix, PortNumbersMapToTtyS) {
  SerialPlatform& platform = systemSerialPlatform();
  EXPECT_EQ(platform.devicePath(0), "/dev/ttyS0");
  EXPECT_EQ(platform.devicePath(1), "/dev/ttyS0");
  EXPECT_EQ(platform.devicePath(2), "/dev/ttyS1");
  EXPECT_EQ(platform.devicePath(12), "/dev/ttyS11");
  EXPECT_TRUE(acceptsDevicePaths());
  EXPECT_EQ(platform.open("/nonexistent/serial-port").device, nullptr);
}

TEST(SerialPosix, AMissingDeviceGivesOpenFailed) {
  console::ChannelTable table;
  const std::string path = "/nonexistent/serial-port";
  EXPECT_EQ(
      openSerial(table, 2, "COM1:" + std::string(kPortSettings), systemSerialPlatform(), &path),
      IoResult::OpenFailed);
  EXPECT_EQ(table.checkFree(2), IoResult::Ok);
  // A file that opens but is no terminal has no line settings to query.
  const std::string notATty = "/dev/null";
  EXPECT_EQ(
      openSerial(table, 2, "COM1:" + std::string(kPortSettings), systemSerialPlatform(), &notATty),
      IoResult::QueryFailed);
  EXPECT_EQ(table.checkFree(2), IoResult::Ok);
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
