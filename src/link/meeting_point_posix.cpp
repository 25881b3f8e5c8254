// The meeting point on POSIX: a Unix socket file and a lock file beside it, in a directory in
// which only this user can make entries ($XDG_RUNTIME_DIR, else /tmp/kestrelgate-UID, made
// with mode 0700, either checked with lstat; one that fails the check is no place to meet).
// Both are named after the device node the port's name leads to (its numbers and the time it
// was made), so that every name of one device (a /dev/serial/by-id link and its device file)
// meets at the same point, and a pseudo-terminal number handed on meets at another. The holder
// keeps the lock file locked: the lock, not the socket file, says who holds, so a socket file
// left by a killed holder is simply made again.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "link/meeting_point.h"

namespace kestrelgate::link {
namespace {

// The files of the device's meeting point without their endings; empty when there is no place
// to meet or no device under the name. The directory is made first when `make` is set.
std::string meetingFiles(const std::string& devicePath, bool make) {
  struct stat node {};
  struct stat directory {};
  // stat follows links: a by-id name and its device file are the same node.
  if (stat(devicePath.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) return {};
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string place = runtime != nullptr && runtime[0] != '\0'
                          ? std::string(runtime)
                          : "/tmp/kestrelgate-" + std::to_string(geteuid());
  if (make && (runtime == nullptr || runtime[0] == '\0')) (void)mkdir(place.c_str(), 0700);
  // Only this user's, and nobody else's to enter.
  if (lstat(place.c_str(), &directory) != 0 || !S_ISDIR(directory.st_mode) ||
      directory.st_uid != geteuid() || (directory.st_mode & 077) != 0) {
    return {};
  }
  place += "/port-" + std::to_string(major(node.st_rdev)) + "." +
           std::to_string(minor(node.st_rdev)) + "-" + std::to_string(node.st_ctim.tv_sec) + "." +
           std::to_string(node.st_ctim.tv_nsec);
  return place.size() + 5 < sizeof(sockaddr_un{}.sun_path) ? place : std::string();
}

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

bool sameUser(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == geteuid();
}

class SocketConnection final : public Connection {
 public:
  explicit SocketConnection(int fd) : fd_(fd) {
    // A partner that stops reading must not hold us: a send that cannot go on gives up.
    const timeval limit{kMeetingTimeout / 1000, (kMeetingTimeout % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  }
  ~SocketConnection() override { close(fd_); }
  SocketConnection(const SocketConnection&) = delete;
  SocketConnection& operator=(const SocketConnection&) = delete;

  bool send(std::string_view bytes, std::intptr_t port) override {
    while (!bytes.empty()) {
      iovec part{const_cast<char*>(bytes.data()), bytes.size()};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
      msghdr message{};
      message.msg_iov = &part;
      message.msg_iovlen = 1;
      if (port >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        const int fd = static_cast<int>(port);
        std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
      }
      // MSG_NOSIGNAL: a partner that has gone makes the send fail, not end us.
      const ssize_t n = sendmsg(fd_, &message, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      port = -1;  // it went with the first bytes
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  std::size_t receive(char* buffer, std::size_t size, std::intptr_t& port) override {
    iovec part{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = -1;
    while ((n = recvmsg(fd_, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) {
    }
    if (n <= 0) return 0;
    const cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (header != nullptr && header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS) {
      int fd = -1;
      std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
      port = fd;
    }
    return static_cast<std::size_t>(n);
  }

  console::Waitable readable() override { return {fd_, console::Waitable::Kind::Input}; }

 private:
  int fd_;
};

class SocketMeetingPoint final : public MeetingPoint {
 public:
  SocketMeetingPoint(std::string files, int lock, int listening)
      : files_(std::move(files)), lock_(lock), listening_(listening) {}
  ~SocketMeetingPoint() override {
    // Removed while still locked: a process that opened the lock file meanwhile finds, once it
    // has the lock, that the file it locked is gone, and makes a new one.
    unlink((files_ + ".sock").c_str());
    unlink((files_ + ".lock").c_str());
    close(listening_);
    close(lock_);
  }
  SocketMeetingPoint(const SocketMeetingPoint&) = delete;
  SocketMeetingPoint& operator=(const SocketMeetingPoint&) = delete;

  console::Waitable incoming() override { return {listening_, console::Waitable::Kind::Input}; }

  std::unique_ptr<Connection> accept() override {
    const int fd = accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return nullptr;
    // Nobody else can reach the directory; root could, and is not this user.
    if (sameUser(fd)) return std::make_unique<SocketConnection>(fd);
    close(fd);
    return nullptr;
  }

 private:
  std::string files_;
  int lock_;
  int listening_;
};

class SocketMeetingPlace final : public MeetingPlace {
 public:
  std::unique_ptr<MeetingPoint> claim(const std::string& devicePath, Claim& result) override {
    result = Claim::NoSharing;
    const std::string files = meetingFiles(devicePath, true);
    if (files.empty()) return nullptr;
    const std::string lockPath = files + ".lock";
    int lock = -1;
    for (int tries = 0; tries < 8 && lock < 0; ++tries) {
      lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
      if (lock < 0) return nullptr;
      if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) result = Claim::Held;
        close(lock);
        return nullptr;
      }
      // Ours only if it is still the file under the name: a holder that was ending may have
      // removed the one we locked.
      struct stat locked {};
      struct stat named {};
      if (fstat(lock, &locked) != 0 || stat(lockPath.c_str(), &named) != 0 ||
          locked.st_ino != named.st_ino || locked.st_dev != named.st_dev) {
        close(lock);
        lock = -1;
      }
    }
    if (lock < 0) return nullptr;
    const std::string socketPath = files + ".sock";
    const sockaddr_un address = addressOf(socketPath);
    const int listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    unlink(socketPath.c_str());  // the lock is ours: a socket file still there is a dead one's
    if (listening < 0 ||
        bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listening, 4) != 0) {
      if (listening >= 0) close(listening);
      unlink(lockPath.c_str());
      close(lock);
      return nullptr;
    }
    result = Claim::Claimed;
    return std::make_unique<SocketMeetingPoint>(files, lock, listening);
  }

  std::unique_ptr<Connection> connect(const std::string& devicePath) override {
    const std::string files = meetingFiles(devicePath, false);
    if (files.empty()) return nullptr;
    const sockaddr_un address = addressOf(files + ".sock");
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kMeetingTimeout);
    for (;;) {
      // Non-blocking: a full queue of connections refuses at once instead of waiting.
      const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd < 0) return nullptr;
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
          sameUser(fd)) {
        // From here on, sends block (with their time limit) and receives are asked for.
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return std::make_unique<SocketConnection>(fd);
      }
      close(fd);
      // Nobody listening yet (the holder has just claimed the point), or a full queue: again a
      // little later, until the time is up. Once nobody holds the point (the process that
      // claimed it has let it go again) there is nobody to wait for: the caller may claim it.
      if (std::chrono::steady_clock::now() >= deadline || !heldByKestrelgate(devicePath)) {
        return nullptr;
      }
      poll(nullptr, 0, 20);
    }
  }

  bool heldByKestrelgate(const std::string& devicePath) override {
    const std::string files = meetingFiles(devicePath, false);
    const int fd = files.empty() ? -1 : open((files + ".lock").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
  }
};

}  // namespace

MeetingPlace& systemMeetingPlace() {
  static SocketMeetingPlace place;
  return place;
}

void closePassedHandle(std::intptr_t handle) {
  if (handle >= 0) close(static_cast<int>(handle));
}

}  // namespace kestrelgate::link
