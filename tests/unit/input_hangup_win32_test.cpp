#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>

#include "console/console_platform.h"

namespace kestrelgate::console {
namespace {

// Standard input on an anonymous pipe, as a GUI starts us; the old handle comes back after.
class PipedStandardInput : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = GetStdHandle(STD_INPUT_HANDLE);
    ASSERT_TRUE(CreatePipe(&reader_, &writer_, nullptr, 0));
    ASSERT_TRUE(SetStdHandle(STD_INPUT_HANDLE, reader_));
    systemConsolePlatform().fetchHandles();
  }
  void TearDown() override {
    SetStdHandle(STD_INPUT_HANDLE, saved_);
    systemConsolePlatform().fetchHandles();
    if (writer_ != nullptr) CloseHandle(writer_);
    if (reader_ != nullptr) CloseHandle(reader_);
  }

  void closeWriter() {
    CloseHandle(writer_);
    writer_ = nullptr;
  }

  HANDLE saved_ = nullptr;
  HANDLE reader_ = nullptr;
  HANDLE writer_ = nullptr;
};

TEST_F(PipedStandardInput, AnOpenPipeRunsTheWaitOut) {
  const DWORD start = GetTickCount();
  EXPECT_FALSE(systemConsolePlatform().waitForInputHangUp(60));
  EXPECT_GE(GetTickCount() - start, 40u);
}

TEST_F(PipedStandardInput, AClosedWriterEndsTheWaitOnceTheInputIsRead) {
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(writer_, "quit\n", 5, &written, nullptr));
  closeWriter();
  // What the GUI wrote before it went is still to be read: not yet the end.
  EXPECT_FALSE(systemConsolePlatform().waitForInputHangUp(10));
  char buffer[8] = {};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(reader_, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(got, 5u);
  const DWORD start = GetTickCount();
  EXPECT_TRUE(systemConsolePlatform().waitForInputHangUp(5000));
  EXPECT_LT(GetTickCount() - start, 1000u);
}

}  // namespace
}  // namespace kestrelgate::console
