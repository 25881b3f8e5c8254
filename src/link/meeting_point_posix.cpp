// The meeting point on POSIX: a Unix socket file and a lock file beside it, in a directory in
// which only this user can make entries ($XDG_RUNTIME_DIR, else /tmp/kestrelgate-UID, made
// with mode 0700). Both are named after the device node the port's name leads to (its numbers
// and the time it was made), so that every name of one device (a /dev/serial/by-id link and the
// device file it leads to) meets at the same point, and a pseudo-terminal number handed on to
// another terminal meets at another. The holder keeps the lock file locked (flock): that lock,
// not the socket file, says who holds, so a socket file left by a holder that was killed is
// simply made again. A directory that is not this user's alone is no place to meet: the port is
// then opened alone, as if no other Kestrelgate could be there.
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
#include <optional>
#include <string>

#include "link/meeting_point.h"

namespace kestrelgate::link {
namespace {

using Clock = std::chrono::steady_clock;

// Where this user's Kestrelgates meet, after checking with lstat that it is a directory of this
// user's that nobody else may enter; made first when `make` is set. One that fails the check is
// no place to meet.
std::optional<std::string> meetingDirectory(bool make) {
  const uid_t user = geteuid();
  const auto usable = [user](const std::string& directory) {
    struct stat entry {};
    return lstat(directory.c_str(), &entry) == 0 && S_ISDIR(entry.st_mode) &&
           entry.st_uid == user && (entry.st_mode & 077) == 0;
  };
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] != '\0') {
    if (usable(runtime)) return std::string(runtime);
    return std::nullopt;
  }
  const std::string own = "/tmp/kestrelgate-" + std::to_string(user);
  if (make) (void)mkdir(own.c_str(), 0700);  // there already, or someone else's: the check says
  if (usable(own)) return own;
  return std::nullopt;
}

// The files of the device's meeting point, without their endings: empty when there is no
// place to meet or no device under the name.
std::string meetingFiles(const std::string& devicePath, bool make) {
  struct stat node {};
  // stat follows links: a by-id name and its device file are the same node.
  if (stat(devicePath.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) return {};
  const std::optional<std::string> directory = meetingDirectory(make);
  if (!directory) return {};
  std::string files = *directory + "/port-" + std::to_string(major(node.st_rdev)) + "." +
                      std::to_string(minor(node.st_rdev)) + "-" +
                      std::to_string(node.st_ctim.tv_sec) + "." +
                      std::to_string(node.st_ctim.tv_nsec);
  if (files.size() + 5 >= sizeof(sockaddr_un{}.sun_path)) return {};
  return files;
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
      msghdr message{};
      message.msg_iov = &part;
      message.msg_iovlen = 1;
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
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
    for (;;) {
      iovec part{buffer, size};
      msghdr message{};
      message.msg_iov = &part;
      message.msg_iovlen = 1;
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      const ssize_t n = recvmsg(fd_, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return 0;
      for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
           header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
        if (port >= 0) close(static_cast<int>(port));  // only the last one counts
        port = fd;
      }
      return static_cast<std::size_t>(n);
    }
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
    if (!sameUser(fd)) {
      close(fd);
      return nullptr;
    }
    return std::make_unique<SocketConnection>(fd);
  }

 private:
  std::string files_;
  int lock_;
  int listening_;
};

// The lock file locked by this process, or -1 (with `result` saying why not).
int lockMeetingPoint(const std::string& lockPath, Claim& result) {
  for (int tries = 0; tries < 8; ++tries) {
    const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      result = Claim::NoSharing;
      return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      result = errno == EWOULDBLOCK ? Claim::Held : Claim::NoSharing;
      close(fd);
      return -1;
    }
    struct stat locked {};
    struct stat named {};
    if (fstat(fd, &locked) == 0 && stat(lockPath.c_str(), &named) == 0 &&
        locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
      result = Claim::Claimed;
      return fd;
    }
    close(fd);  // a holder that was ending removed it: lock the new one
  }
  result = Claim::NoSharing;
  return -1;
}

class SocketMeetingPlace final : public MeetingPlace {
 public:
  std::unique_ptr<MeetingPoint> claim(const std::string& devicePath, Claim& result) override {
    result = Claim::NoSharing;
    const std::string files = meetingFiles(devicePath, true);
    if (files.empty()) return nullptr;
    const int lock = lockMeetingPoint(files + ".lock", result);
    if (lock < 0) return nullptr;
    const std::string socketPath = files + ".sock";
    const int listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_un address = addressOf(socketPath);
    // The lock is ours: a socket file still there is a killed holder's.
    unlink(socketPath.c_str());
    if (listening < 0 ||
        bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listening, 4) != 0) {
      if (listening >= 0) close(listening);
      unlink((files + ".lock").c_str());
      close(lock);
      result = Claim::NoSharing;
      return nullptr;
    }
    return std::make_unique<SocketMeetingPoint>(files, lock, listening);
  }

  std::unique_ptr<Connection> connect(const std::string& devicePath) override {
    const std::string files = meetingFiles(devicePath, false);
    if (files.empty()) return nullptr;
    const sockaddr_un address = addressOf(files + ".sock");
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kMeetingTimeout);
    for (;;) {
      const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd < 0) return nullptr;
      int made = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
      if (made != 0 && errno == EINPROGRESS) {
        pollfd done{fd, POLLOUT, 0};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        int error = ETIMEDOUT;
        socklen_t size = sizeof error;
        if (left.count() > 0 && poll(&done, 1, static_cast<int>(left.count())) == 1) {
          getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
        }
        made = error == 0 ? 0 : -1;
      }
      if (made == 0 && sameUser(fd)) {
        // From here on, sends block (with their time limit) and receives are asked for.
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return std::make_unique<SocketConnection>(fd);
      }
      close(fd);
      // Nobody listening yet (the holder has just claimed the point), or a full queue: again,
      // a little later, until the time is up.
      if (Clock::now() >= deadline) return nullptr;
      pollfd none{-1, 0, 0};
      poll(&none, 0, 20);
    }
  }

  bool heldByKestrelgate(const std::string& devicePath) override {
    const std::string files = meetingFiles(devicePath, false);
    if (files.empty()) return false;
    const int fd = open((files + ".lock").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
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
