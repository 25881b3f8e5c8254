#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "link/meeting_point.h"

namespace kestrelgate::link {
namespace {

using namespace std::chrono_literals;

// The meeting point of a pseudo-terminal, for real, in a meeting directory of the test's own.
TEST(MeetingPointPosix, AConnectWaitsOnlyWhileSomebodyHoldsThePoint) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr) {
    GTEST_SKIP() << "no pseudo-terminal available";
  }
  const std::string device = ptsname(master);
  char directory[] = "/tmp/kestrelgate-meeting-XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const char* before = getenv("XDG_RUNTIME_DIR");
  const std::string saved = before != nullptr ? before : "";
  setenv("XDG_RUNTIME_DIR", directory, 1);

  MeetingPlace& place = systemMeetingPlace();
  Claim claim = Claim::NoSharing;
  std::unique_ptr<MeetingPoint> point = place.claim(device, claim);
  EXPECT_EQ(claim, Claim::Claimed);
  EXPECT_TRUE(place.heldByKestrelgate(device));
  EXPECT_EQ(place.claim(device, claim), nullptr);
  EXPECT_EQ(claim, Claim::Held);
  EXPECT_NE(place.connect(device), nullptr);

  // Let go again, as a process that claimed it for a moment does: a connect that had come for
  // it gives up at once, so that its caller can claim the point itself.
  point.reset();
  EXPECT_FALSE(place.heldByKestrelgate(device));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(place.connect(device), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(kMeetingTimeout / 2));

  if (before != nullptr) {
    setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  } else {
    unsetenv("XDG_RUNTIME_DIR");
  }
  std::filesystem::remove_all(directory);
  close(master);
}

}  // namespace
}  // namespace kestrelgate::link
