#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>

#include "link/serial_device.h"

namespace kestrelgate::link {
namespace {

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
  EXPECT_EQ(systemSerialPlatform().open("\\\\.\\COM249"), nullptr);
  EXPECT_EQ(systemSerialPlatform().open("NOSUCHPORT"), nullptr);
}

TEST(SerialWin32, OnlyTheErrorsOfARemovedDeviceMeanItHasGone) {
  for (DWORD error : {ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_DEVICE_NOT_CONNECTED,
                      ERROR_OPERATION_ABORTED, ERROR_INVALID_HANDLE, ERROR_GEN_FAILURE,
                      ERROR_DEVICE_REMOVED}) {
    EXPECT_TRUE(readErrorMeansDeviceGone(error)) << error;
  }
  for (DWORD error : {DWORD{ERROR_SUCCESS}, DWORD{ERROR_IO_PENDING}, DWORD{ERROR_TIMEOUT},
                      DWORD{ERROR_NOT_ENOUGH_MEMORY}, DWORD{ERROR_INVALID_PARAMETER}}) {
    EXPECT_FALSE(readErrorMeansDeviceGone(error)) << error;
  }
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
