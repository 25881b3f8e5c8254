// The meeting point on Linux: a Unix stream socket in the abstract name space, named after the
// device's major and minor number, so that every name of one device (a /dev/serial/by-id link
// and the device file it leads to) meets at the same point. Binding the name is atomic, so of
// two programs started at the same instant exactly one gets it; the name goes with the process
// however it ends, so none is ever left behind. Anyone on the machine can connect to an
// abstract name: each side checks the other's user with SO_PEERCRED.
#include "link/port_share_posix.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "link/port_share.h"

namespace kestrelgate::link {
namespace {

// The address of a name in the abstract name space: a NUL, then the name.
socklen_t abstractAddress(const std::string& name, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  const std::size_t length = std::min(name.size(), sizeof address.sun_path - 1);
  std::memcpy(address.sun_path + 1, name.data(), length);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

// Whether the process at the other end of a connected socket runs as this user.
bool sameUser(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == geteuid();
}

// A send that cannot go on for this long gives up: the other side has stopped reading, and a
// GUI must not wait for it.
constexpr time_t kSendTimeoutSeconds = 5;

class SocketConnection final : public ShareConnection {
 public:
  explicit SocketConnection(int fd) : fd_(fd) {
    const timeval limit{kSendTimeoutSeconds, 0};
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  }
  ~SocketConnection() override { close(fd_); }
  SocketConnection(const SocketConnection&) = delete;
  SocketConnection& operator=(const SocketConnection&) = delete;

  bool send(std::string_view bytes) override {
    while (!bytes.empty()) {
      // MSG_NOSIGNAL: a partner that has gone makes the write fail, not end us.
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  std::size_t receive(char* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t n = recv(fd_, buffer, size, 0);
      if (n > 0) return static_cast<std::size_t>(n);
      if (n < 0 && errno == EINTR) continue;
      return 0;
    }
  }

  console::Waitable readable() override { return {fd_, console::Waitable::Kind::Input}; }

 private:
  int fd_;
};

class SocketMeetingPoint final : public MeetingPoint {
 public:
  explicit SocketMeetingPoint(int fd) : fd_(fd) {}
  ~SocketMeetingPoint() override { close(fd_); }
  SocketMeetingPoint(const SocketMeetingPoint&) = delete;
  SocketMeetingPoint& operator=(const SocketMeetingPoint&) = delete;

  console::Waitable incoming() override { return {fd_, console::Waitable::Kind::Input}; }

  std::unique_ptr<ShareConnection> accept() override {
    const int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return nullptr;
    if (!sameUser(fd)) {
      close(fd);
      return nullptr;
    }
    return std::make_unique<SocketConnection>(fd);
  }

 private:
  int fd_;
};

class SocketSharePlatform final : public SharePlatform {
 public:
  std::string meetingName(const std::string& devicePath) override {
    struct stat device {};
    // stat follows links: a by-id name and its device file give the same numbers.
    if (stat(devicePath.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) return {};
    return "kestrelgate-port-" + std::to_string(major(device.st_rdev)) + ":" +
           std::to_string(minor(device.st_rdev));
  }

  std::unique_ptr<MeetingPoint> claim(const std::string& name, bool& taken) override {
    taken = false;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    sockaddr_un address{};
    const socklen_t length = abstractAddress(name, address);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
      taken = errno == EADDRINUSE;
      close(fd);
      return nullptr;
    }
    if (listen(fd, 4) != 0) {
      close(fd);
      return nullptr;
    }
    return std::make_unique<SocketMeetingPoint>(fd);
  }

  Meeting connect(const std::string& name) override {
    Meeting meeting;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return meeting;
    sockaddr_un address{};
    const socklen_t length = abstractAddress(name, address);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
      close(fd);
      return meeting;
    }
    if (!sameUser(fd)) {
      meeting.foreign = true;
      close(fd);
      return meeting;
    }
    meeting.connection = std::make_unique<SocketConnection>(fd);
    return meeting;
  }
};

}  // namespace

bool meetingPointTaken(const std::string& devicePath) {
  const std::string name = systemSharePlatform().meetingName(devicePath);
  if (name.empty()) return false;
  // The kernel lists every bound Unix socket; an abstract name shows with an "@" in front.
  std::ifstream sockets("/proc/net/unix");
  const std::string wanted = " @" + name;
  for (std::string line; std::getline(sockets, line);) {
    if (line.size() >= wanted.size() &&
        line.compare(line.size() - wanted.size(), wanted.size(), wanted) == 0) {
      return true;
    }
  }
  return false;
}

SharePlatform& systemSharePlatform() {
  static SocketSharePlatform platform;
  return platform;
}

}  // namespace kestrelgate::link
