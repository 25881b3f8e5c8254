#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "console/wait.h"

namespace kestrelgate::link {

// Two Kestrelgates on one port (a GUI starts one engine process per side) meet at a point named
// after the device: the first to claim it holds the port, the second connects to it and gets
// its moves from there. The point is local and open to this user only.

// A connection between the two: a stream of bytes each way.
class ShareConnection {
 public:
  virtual ~ShareConnection() = default;
  // Writes all of `bytes`; false once the other side has gone.
  virtual bool send(std::string_view bytes) = 0;
  // What has arrived, waiting for at least one byte: the count, or 0 once the other side has
  // gone (or the connection failed).
  virtual std::size_t receive(char* buffer, std::size_t size) = 0;
  // Ready when receive() will not block.
  virtual console::Waitable readable() = 0;
};

// The meeting point, held by the Kestrelgate that holds the port.
class MeetingPoint {
 public:
  virtual ~MeetingPoint() = default;
  // Ready when another process is connecting.
  virtual console::Waitable incoming() = 0;
  // That connection. nullptr when it came from another user (refused and closed at once) or
  // went away before it could be taken.
  virtual std::unique_ptr<ShareConnection> accept() = 0;
};

// How a try at connecting to the meeting point went.
struct Meeting {
  std::unique_ptr<ShareConnection> connection;  // this user's Kestrelgate, or nullptr
  bool foreign = false;  // someone of another user holds the name: never theirs to join
};

class SharePlatform {
 public:
  virtual ~SharePlatform() = default;
  // The name under which the Kestrelgates on the device at `devicePath` meet; the same for every
  // name of one device. Empty when nothing is under the name.
  virtual std::string meetingName(const std::string& devicePath) = 0;
  // Claims the meeting point: the one that gets it opens the port. nullptr when another
  // process has it already (`taken` true) or it cannot be made (`taken` false).
  virtual std::unique_ptr<MeetingPoint> claim(const std::string& name, bool& taken) = 0;
  // Connects to the process that has the meeting point.
  virtual Meeting connect(const std::string& name) = 0;
};

// The platform's own, defined by the backend file.
SharePlatform& systemSharePlatform();

}  // namespace kestrelgate::link
