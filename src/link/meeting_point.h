#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "console/wait.h"

namespace kestrelgate::link {

// A GUI playing engine against engine starts one engine process per side. Two Kestrelgates on
// one device meet at a point named after the device: the one that claims it holds the port,
// the other connects to it. Only the user who runs them can make or reach the point.

// How long a connect, and the first message each way, may take: a partner that says nothing
// in that time is let go, and nobody's GUI waits for it.
inline constexpr std::uint32_t kMeetingTimeout = 2000;

// A connection between the two: bytes each way, and the port's own handle along with them
// where the platform can pass one to another process.
class Connection {
 public:
  virtual ~Connection() = default;
  // Writes all of `bytes`, with `port` attached where it is not -1; false once the other side
  // has gone or has not read for kMeetingTimeout.
  virtual bool send(std::string_view bytes, std::intptr_t port = -1) = 0;
  // What has arrived, once readable() said so: the count, or 0 once the other side has gone.
  // A port handle that came along is put in `port` (which the caller then owns).
  virtual std::size_t receive(char* buffer, std::size_t size, std::intptr_t& port) = 0;
  // Ready when receive() will not block.
  virtual console::Waitable readable() = 0;
};

// The meeting point, claimed by the Kestrelgate that holds the port; let go when it ends.
class MeetingPoint {
 public:
  virtual ~MeetingPoint() = default;
  // Ready when another process is connecting.
  virtual console::Waitable incoming() = 0;
  // That connection; nullptr when it went away before it could be taken.
  virtual std::unique_ptr<Connection> accept() = 0;
};

// How a claim of a device's meeting point went.
enum class Claim {
  Claimed,    // ours: this process is to hold the port
  Held,       // another Kestrelgate of this user holds it: connect to it
  NoSharing,  // nowhere safe to meet (or no device under the name): the port is opened alone
};

class MeetingPlace {
 public:
  virtual ~MeetingPlace() = default;
  // Claims the meeting point of the device the port's name leads to.
  virtual std::unique_ptr<MeetingPoint> claim(const std::string& devicePath, Claim& result) = 0;
  // Connects to the Kestrelgate that holds it, trying for up to kMeetingTimeout; nullptr when
  // none answers in that time.
  virtual std::unique_ptr<Connection> connect(const std::string& devicePath) = 0;
  // Whether a Kestrelgate holds the device's meeting point now; looked up without claiming or
  // connecting, for telling why a port will not open.
  virtual bool heldByKestrelgate(const std::string& devicePath) = 0;
  // Whether the port's own lock keeps a second process out, so that the one that opens it
  // holds it and may claim the meeting point after; where it does not (wine lets two programs
  // open one COM port), the meeting point decides first.
  virtual bool portLockDecides() const { return true; }
};

// The platform's own, defined by the backend file.
MeetingPlace& systemMeetingPlace();

// Lets go of a port handle that came along a connection and is not taken over.
void closePassedHandle(std::intptr_t handle);

}  // namespace kestrelgate::link
