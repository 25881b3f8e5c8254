#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>

#include "link/dcb_settings_win32.h"
#include "link/serial_device.h"

namespace kestrelgate::link {
namespace {

using console::IoResult;

TEST(SerialWin32, PortNumbersNameDosDevicesBelowTenAndTheDeviceNamespaceFromTenOn) {
  SerialPlatform& platform = systemSerialPlatform();
  EXPECT_EQ(platform.devicePath(0), "COM1:");
  EXPECT_EQ(platform.devicePath(1), "COM1");
  EXPECT_EQ(platform.devicePath(2), "COM2");
  EXPECT_EQ(platform.devicePath(9), "COM9");
  EXPECT_EQ(platform.devicePath(10), "\\\\.\\COM10");
  EXPECT_EQ(platform.devicePath(12), "\\\\.\\COM12");
  EXPECT_EQ(platform.devicePath(255), "\\\\.\\COM255");
  EXPECT_FALSE(acceptsDevicePaths());
}

TEST(SerialWin32, APortThatDoesNotExistCannotBeOpened) {
  EXPECT_EQ(systemSerialPlatform().open("\\\\.\\COM249").device, nullptr);
  EXPECT_EQ(systemSerialPlatform().open("NOSUCHPORT").device, nullptr);
}

TEST(SerialWin32, OnlyTheErrorsOfARemovedDeviceMeanItHasGone) {
  for (DWORD error :
       {ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_DEVICE_NOT_CONNECTED, ERROR_OPERATION_ABORTED,
        ERROR_INVALID_HANDLE, ERROR_GEN_FAILURE, ERROR_DEVICE_REMOVED}) {
    EXPECT_TRUE(readErrorMeansDeviceGone(error)) << error;
  }
  for (DWORD error : {DWORD{ERROR_SUCCESS}, DWORD{ERROR_IO_PENDING}, DWORD{ERROR_TIMEOUT},
                      DWORD{ERROR_NOT_ENOUGH_MEMORY}, DWORD{ERROR_INVALID_PARAMETER}}) {
    EXPECT_FALSE(readErrorMeansDeviceGone(error)) << error;
  }
}

TEST(SerialWin32, TheFixedSettingsGiveTheDcbTable) {
  // Start from a DCB with every field the other way, so each one must be set.
  DCB start{};
  start.DCBlength = sizeof(start);
  start.BaudRate = 9600;
  start.fBinary = 0;
  start.fParity = 1;
  start.fOutxCtsFlow = 1;
  start.fOutxDsrFlow = 1;
  start.fDtrControl = DTR_CONTROL_HANDSHAKE;
  start.fDsrSensitivity = 1;
  start.fOutX = 1;
  start.fInX = 1;
  start.fNull = 1;
  start.fRtsControl = RTS_CONTROL_TOGGLE;
  start.fAbortOnError = 1;
  start.ByteSize = 7;
  start.Parity = EVENPARITY;
  start.StopBits = TWOSTOPBITS;
  // What the settings do not name goes back as the driver gave it.
  start.fTXContinueOnXoff = 1;
  start.fErrorChar = 1;
  start.XonLim = 11;
  start.XoffLim = 22;
  start.XonChar = 0x11;
  start.XoffChar = 0x13;
  start.ErrorChar = '?';
  start.EofChar = 0x1A;
  start.EvtChar = '!';

  LineSettings fixed;
  fixed.speed = 600;
  const DCB dcb = renderDcb(fixed, start);
  EXPECT_EQ(dcb.BaudRate, 600u);
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.fParity, 0u);
  EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
  EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
  EXPECT_EQ(dcb.fDsrSensitivity, 0u);
  EXPECT_EQ(dcb.fOutX, 0u);
  EXPECT_EQ(dcb.fInX, 0u);
  EXPECT_EQ(dcb.fNull, 0u);
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
  EXPECT_EQ(dcb.fAbortOnError, 0u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
  EXPECT_EQ(dcb.fErrorChar, 1u);
  EXPECT_EQ(dcb.XonLim, 11);
  EXPECT_EQ(dcb.XoffLim, 22);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
  EXPECT_EQ(dcb.ErrorChar, '?');
  EXPECT_EQ(dcb.EofChar, 0x1A);
  EXPECT_EQ(dcb.EvtChar, '!');
}

TEST(SerialWin32, ParityAndStopBitsTakeTheDcbNumbering) {
  struct Case {
    ParityKind parity;
    StopBitsKind stopBits;
    BYTE dcbParity;
    BYTE dcbStopBits;
  };
  // Even is 1 as a ParityKind but EVENPARITY (2) in the DCB.
  const Case cases[] = {
      {ParityKind::Even, StopBitsKind::Two, EVENPARITY, TWOSTOPBITS},
      {ParityKind::Odd, StopBitsKind::OneAndHalf, ODDPARITY, ONE5STOPBITS},
      {ParityKind::Space, StopBitsKind::One, SPACEPARITY, ONESTOPBIT},
      {ParityKind::Mark, StopBitsKind::One, MARKPARITY, ONESTOPBIT},
  };
  for (const Case& c : cases) {
    LineSettings settings;
    settings.parity = c.parity;
    settings.stopBits = c.stopBits;
    const DCB dcb = renderDcb(settings, DCB{});
    EXPECT_EQ(dcb.Parity, c.dcbParity) << static_cast<int>(c.parity);
    EXPECT_EQ(dcb.StopBits, c.dcbStopBits) << static_cast<int>(c.stopBits);
  }

  LineSettings flags;
  flags.checkParity = true;
  flags.rts = RtsMode::Off;
  flags.dtr = DtrMode::On;
  flags.binary = false;
  flags.ctsOutputFlow = true;
  flags.dsrSensitivity = true;
  const DCB dcb = renderDcb(flags, DCB{});
  EXPECT_EQ(dcb.fParity, 1u);
  EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
  EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
  EXPECT_EQ(dcb.fBinary, 0u);
  EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
  EXPECT_EQ(dcb.fDsrSensitivity, 1u);
}

TEST(SerialWin32, TheClockCountsMilliseconds) {
  SerialPlatform& platform = systemSerialPlatform();
  const std::uint32_t start = platform.milliseconds();
  Sleep(120);
  const std::uint32_t elapsed = platform.milliseconds() - start;
  EXPECT_GE(elapsed, 100u);
  EXPECT_LT(elapsed, 2000u);
}

}  // namespace
}  // namespace kestrelgate::link
