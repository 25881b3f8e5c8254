// The meeting point on Windows: a named mutex and a named pipe, both named after the COM port.
// Creating the mutex succeeds as new for exactly one process, so it decides who holds the port
// without asking the port, which wine lets two programs open at once (the pipe's own
// FILE_FLAG_FIRST_PIPE_INSTANCE would do on Windows, but wine ignores it). The mutex lives in
// the session's own namespace (Local\), and the pipe's name carries the session's number; both
// are this user's alone (their DACL names only the user), the pipe takes no connection from
// another machine (PIPE_REJECT_REMOTE_CLIENTS), and the process that connects checks the
// holder's user as well. Both go with the process however it ends. A COM port's handle cannot
// be passed on: a process that takes the port over opens it again by its name, which Windows
// gives one program at a time.
#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>
#include <string>

#include "link/meeting_point.h"

namespace kestrelgate::link {
namespace {

constexpr DWORD kBufferSize = 4096;

// The user a process runs as, as a SID string; nullopt when it cannot be told.
std::optional<std::string> userOf(DWORD processId) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  if (process == nullptr) return std::nullopt;
  std::optional<std::string> user;
  HANDLE token = nullptr;
  if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::string buffer(size, '\0');
    LPSTR text = nullptr;
    if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
        ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
      user = text;
      LocalFree(text);
    }
    CloseHandle(token);
  }
  CloseHandle(process);
  return user;
}

// Whether the process at the other end runs as another user. Where that cannot be told, the
// pipe's DACL has kept other users out already.
bool otherUser(DWORD processId) {
  const std::optional<std::string> ours = userOf(GetCurrentProcessId());
  const std::optional<std::string> theirs = userOf(processId);
  return ours && theirs && *ours != *theirs;
}

class PipeConnection final : public Connection {
 public:
  explicit PipeConnection(HANDLE pipe) : pipe_(pipe) {
    readDone_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    writeDone_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    startRead();
  }
  ~PipeConnection() override {
    // The pending read writes into our buffer until it is cancelled and done.
    if (reading_) {
      CancelIoEx(pipe_, &readDone_);
      DWORD ignored = 0;
      GetOverlappedResult(pipe_, &readDone_, &ignored, TRUE);
    }
    CloseHandle(pipe_);
    CloseHandle(readDone_.hEvent);
    CloseHandle(writeDone_.hEvent);
  }
  PipeConnection(const PipeConnection&) = delete;
  PipeConnection& operator=(const PipeConnection&) = delete;

  bool send(std::string_view bytes, std::intptr_t) override {
    while (!bytes.empty()) {
      DWORD written = 0;
      ResetEvent(writeDone_.hEvent);
      const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 20));
      if (!WriteFile(pipe_, bytes.data(), ask, nullptr, &writeDone_) &&
          GetLastError() != ERROR_IO_PENDING) {
        return false;
      }
      // A write that cannot go on for this long gives up: the other side has stopped reading,
      // and a GUI must not wait for it.
      if (WaitForSingleObject(writeDone_.hEvent, kMeetingTimeout) != WAIT_OBJECT_0) {
        CancelIoEx(pipe_, &writeDone_);
        GetOverlappedResult(pipe_, &writeDone_, &written, TRUE);
        return false;
      }
      if (!GetOverlappedResult(pipe_, &writeDone_, &written, FALSE) || written == 0) return false;
      bytes.remove_prefix(written);
    }
    return true;
  }

  std::size_t receive(char* buffer, std::size_t size, std::intptr_t&) override {
    if (inbox_.empty()) {
      if (!reading_) return 0;
      DWORD got = 0;
      reading_ = false;
      if (!GetOverlappedResult(pipe_, &readDone_, &got, TRUE) || got == 0) return 0;
      inbox_.append(block_, got);
      startRead();
    }
    const std::size_t count = std::min(size, inbox_.size());
    inbox_.copy(buffer, count);
    inbox_.erase(0, count);
    // What is left is ready at once, as bytes still in a socket would be.
    if (!inbox_.empty()) SetEvent(readDone_.hEvent);
    return count;
  }

  console::Waitable readable() override {
    return {reinterpret_cast<std::intptr_t>(readDone_.hEvent), console::Waitable::Kind::Object};
  }

 private:
  void startRead() {
    ResetEvent(readDone_.hEvent);
    reading_ = true;
    if (!ReadFile(pipe_, block_, kBufferSize, nullptr, &readDone_) &&
        GetLastError() != ERROR_IO_PENDING) {
      // Broken already: the next receive says so.
      reading_ = false;
      SetEvent(readDone_.hEvent);
    }
  }

  HANDLE pipe_;
  OVERLAPPED readDone_{};
  OVERLAPPED writeDone_{};
  char block_[kBufferSize];
  std::string inbox_;
  bool reading_ = false;
};

// The security attributes that give the pipe to this user alone.
class OwnerOnly {
 public:
  OwnerOnly() {
    const std::optional<std::string> user = userOf(GetCurrentProcessId());
    if (!user) return;
    const std::string sddl = "D:P(A;;GA;;;" + *user + ")";
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                             &descriptor_, nullptr)) {
      attributes_.nLength = sizeof attributes_;
      attributes_.lpSecurityDescriptor = descriptor_;
      attributes_.bInheritHandle = FALSE;
    }
  }
  ~OwnerOnly() {
    if (descriptor_ != nullptr) LocalFree(descriptor_);
  }
  OwnerOnly(const OwnerOnly&) = delete;
  OwnerOnly& operator=(const OwnerOnly&) = delete;
  SECURITY_ATTRIBUTES* get() { return descriptor_ != nullptr ? &attributes_ : nullptr; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

HANDLE createInstance(const std::string& name, bool first, OwnerOnly& security) {
  return CreateNamedPipeA(
      name.c_str(),
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, kBufferSize, kBufferSize, 0, security.get());
}

// The mutex that marks the meeting point as claimed, named after its pipe.
std::string claimName(const std::string& pipeName) {
  return "Local\\" + pipeName.substr(pipeName.rfind('\\') + 1);
}

class PipeMeetingPoint final : public MeetingPoint {
 public:
  PipeMeetingPoint(std::string name, HANDLE claim, HANDLE first)
      : name_(std::move(name)), claim_(claim), listening_(first) {
    connected_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    listen();
  }
  ~PipeMeetingPoint() override {
    if (listening_ != INVALID_HANDLE_VALUE) {
      CancelIoEx(listening_, &connected_);
      DWORD ignored = 0;
      GetOverlappedResult(listening_, &connected_, &ignored, TRUE);
      CloseHandle(listening_);
    }
    CloseHandle(connected_.hEvent);
    CloseHandle(claim_);
  }
  PipeMeetingPoint(const PipeMeetingPoint&) = delete;
  PipeMeetingPoint& operator=(const PipeMeetingPoint&) = delete;

  console::Waitable incoming() override {
    return {reinterpret_cast<std::intptr_t>(connected_.hEvent), console::Waitable::Kind::Object};
  }

  std::unique_ptr<Connection> accept() override {
    if (listening_ == INVALID_HANDLE_VALUE) return nullptr;
    DWORD ignored = 0;
    if (!connectedNow_ && !GetOverlappedResult(listening_, &connected_, &ignored, FALSE)) {
      if (GetLastError() == ERROR_IO_INCOMPLETE) return nullptr;  // nobody yet
    }
    // The connected instance becomes the connection; a new one listens for the next.
    HANDLE taken = listening_;
    listening_ = createInstance(name_, false, security_);
    listen();
    ULONG client = 0;
    if (GetNamedPipeClientProcessId(taken, &client) && otherUser(client)) {
      CloseHandle(taken);
      return nullptr;
    }
    return std::make_unique<PipeConnection>(taken);
  }

 private:
  void listen() {
    ResetEvent(connected_.hEvent);
    connectedNow_ = false;
    if (listening_ == INVALID_HANDLE_VALUE) return;
    if (ConnectNamedPipe(listening_, &connected_)) {
      connectedNow_ = true;
    } else {
      const DWORD error = GetLastError();
      if (error == ERROR_IO_PENDING) return;
      // A client that came between the instance's creation and this call is connected now.
      connectedNow_ = true;
      if (error != ERROR_PIPE_CONNECTED) {
        CloseHandle(listening_);
        listening_ = INVALID_HANDLE_VALUE;
        return;
      }
    }
    SetEvent(connected_.hEvent);
  }

  std::string name_;
  OwnerOnly security_;
  HANDLE claim_;
  HANDLE listening_;
  OVERLAPPED connected_{};
  bool connectedNow_ = false;
};

// The pipe of the device's meeting point, in this session; empty for a name that is no port.
std::string pipeName(const std::string& devicePath) {
  std::string port = devicePath;
  if (port.rfind("\\\\.\\", 0) == 0) port.erase(0, 4);
  while (!port.empty() && port.back() == ':') port.pop_back();
  if (port.empty()) return {};
  for (char& c : port) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  return "\\\\.\\pipe\\kestrelgate-" + std::to_string(session) + "-port-" + port;
}

class PipeMeetingPlace final : public MeetingPlace {
 public:
  std::unique_ptr<MeetingPoint> claim(const std::string& devicePath, Claim& result) override {
    result = Claim::NoSharing;
    const std::string name = pipeName(devicePath);
    if (name.empty()) return nullptr;
    OwnerOnly security;
    HANDLE claim = CreateMutexA(security.get(), FALSE, claimName(name).c_str());
    const DWORD error = GetLastError();
    if (claim == nullptr || error == ERROR_ALREADY_EXISTS) {
      // Another process claimed it first (one of another user's is kept out by its DACL).
      if (claim != nullptr || error == ERROR_ACCESS_DENIED) result = Claim::Held;
      if (claim != nullptr) CloseHandle(claim);
      return nullptr;
    }
    HANDLE first = createInstance(name, true, security);
    if (first == INVALID_HANDLE_VALUE) {
      CloseHandle(claim);
      return nullptr;  // a pipe of that name is someone else's: no meeting point to be had
    }
    result = Claim::Claimed;
    return std::make_unique<PipeMeetingPoint>(name, claim, first);
  }

  std::unique_ptr<Connection> connect(const std::string& devicePath) override {
    const std::string name = pipeName(devicePath);
    if (name.empty()) return nullptr;
    const ULONGLONG deadline = GetTickCount64() + kMeetingTimeout;
    for (;;) {
      HANDLE pipe = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
      if (pipe != INVALID_HANDLE_VALUE) {
        ULONG server = 0;
        if (GetNamedPipeServerProcessId(pipe, &server) && otherUser(server)) {
          CloseHandle(pipe);
          return nullptr;  // someone else's pipe under our name: nothing of ours to join
        }
        return std::make_unique<PipeConnection>(pipe);
      }
      const DWORD error = GetLastError();
      // Its DACL keeps us out: another user's.
      if (error == ERROR_ACCESS_DENIED) return nullptr;
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) return nullptr;
      if (error == ERROR_PIPE_BUSY) {
        WaitNamedPipeA(name.c_str(), static_cast<DWORD>(deadline - now));
      } else {
        Sleep(20);  // not made yet: the holder has just claimed the point
      }
    }
  }

  bool portLockDecides() const override { return false; }

  bool heldByKestrelgate(const std::string& devicePath) override {
    const std::string name = pipeName(devicePath);
    if (name.empty()) return false;
    HANDLE claim = OpenMutexA(SYNCHRONIZE, FALSE, claimName(name).c_str());
    if (claim == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    CloseHandle(claim);
    return true;
  }
};

}  // namespace

MeetingPlace& systemMeetingPlace() {
  static PipeMeetingPlace place;
  return place;
}

void closePassedHandle(std::intptr_t) {}

}  // namespace kestrelgate::link
