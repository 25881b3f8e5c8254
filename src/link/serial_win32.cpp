// The serial port on Win32: a COM device opened for synchronous I/O and driven through the
// communications calls. Each SerialDevice operation is exactly one of those calls.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "console/background_read_win32.h"
#include "link/dcb_settings_win32.h"
#include "link/serial_device.h"

namespace kestrelgate::link {
namespace {

class Win32SerialDevice final : public SerialDevice {
 public:
  explicit Win32SerialDevice(HANDLE handle) : handle_(handle) {}
  ~Win32SerialDevice() override {
    close();
    console::BackgroundRead::release(background_);
  }

  Win32SerialDevice(const Win32SerialDevice&) = delete;
  Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

  // A port opened for synchronous I/O is no wait object: where a read has to be waited for
  // beside other things, the one-byte read is made on a thread of its own.
  console::Waitable readable() override {
    if (background_ == nullptr) background_ = new console::BackgroundRead;
    console::BackgroundRead& read = *background_;
    // Bytes already in the driver's queue are read at once, without the thread; the count is
    // asked for again only once that many have been read.
    DWORD errors = 0;
    COMSTAT status{};
    if (queued_ == 0 && !read.started() && ClearCommError(handle_, &errors, &status)) {
      queued_ = status.cbInQue;
    }
    if (queued_ > 0 && !read.started()) return {-1, console::Waitable::Kind::Always};
    if (!read.started()) {
      read.start([&read, handle = handle_] {
        read.ok = ReadFile(handle, read.buffer, 1, &read.count, nullptr) != FALSE;
        read.error = read.ok ? 0 : GetLastError();
      });
    }
    return {reinterpret_cast<std::intptr_t>(read.done()), console::Waitable::Kind::Object};
  }

  bool getProperties(CommProperties& properties) override {
    COMMPROP prop{};
    if (!GetCommProperties(handle_, &prop)) return false;
    properties.currentTxQueue = prop.dwCurrentTxQueue;
    properties.maxTxQueue = prop.dwMaxTxQueue;
    properties.currentRxQueue = prop.dwCurrentRxQueue;
    properties.maxRxQueue = prop.dwMaxRxQueue;
    return true;
  }

  bool setupQueues(std::uint32_t receiveSize, std::uint32_t transmitSize) override {
    return SetupComm(handle_, receiveSize, transmitSize) != FALSE;
  }

  bool getTimeouts(CommTimeouts& timeouts) override {
    COMMTIMEOUTS t{};
    if (!GetCommTimeouts(handle_, &t)) return false;
    timeouts.readIntervalTimeout = t.ReadIntervalTimeout;
    timeouts.readTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
    timeouts.readTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
    timeouts.writeTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
    timeouts.writeTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
    return true;
  }

  bool setTimeouts(const CommTimeouts& timeouts) override {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = timeouts.readIntervalTimeout;
    t.ReadTotalTimeoutMultiplier = timeouts.readTotalTimeoutMultiplier;
    t.ReadTotalTimeoutConstant = timeouts.readTotalTimeoutConstant;
    t.WriteTotalTimeoutMultiplier = timeouts.writeTotalTimeoutMultiplier;
    t.WriteTotalTimeoutConstant = timeouts.writeTotalTimeoutConstant;
    return SetCommTimeouts(handle_, &t) != FALSE;
  }

  bool getState() override {
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(handle_, &dcb)) return false;
    state_ = dcb;
    haveState_ = true;
    return true;
  }

  bool setState(const LineSettings& settings) override {
    DCB current = state_;
    if (!haveState_) {
      // Nothing read yet: start from what the driver has now, so that untouched fields
      // still keep the driver's values.
      current = DCB{};
      current.DCBlength = sizeof(current);
      if (!GetCommState(handle_, &current)) return false;
    }
    DCB dcb = renderDcb(settings, current);
    return SetCommState(handle_, &dcb) != FALSE;
  }

  bool raiseDtr() override { return EscapeCommFunction(handle_, SETDTR) != FALSE; }

  bool modemStatus(std::uint32_t& status) override {
    DWORD bits = 0;
    if (!GetCommModemStatus(handle_, &bits)) return false;
    status = bits;
    return true;
  }

  ReadOutcome read(char* buffer, std::uint32_t requested) override {
    DWORD n = 0;
    BOOL ok = FALSE;
    DWORD error = 0;
    if (background_ != nullptr && background_->started()) {
      // The read made for the wait: its byte is this request's.
      background_->collect();
      ok = background_->ok;
      error = background_->error;
      n = requested == 0 ? 0 : background_->count;
      if (n > 0) buffer[0] = background_->buffer[0];
    } else {
      ok = ReadFile(handle_, buffer, requested, &n, nullptr);
      if (!ok) error = GetLastError();
      queued_ = ok && n < queued_ ? queued_ - n : 0;
    }
    if (!ok) {
      return {readErrorMeansDeviceGone(error) ? ReadStatus::Gone : ReadStatus::Failed, 0, error};
    }
    if (n == 0) return {ReadStatus::Nothing, 0, 0};
    return {ReadStatus::Bytes, n, 0};
  }

  bool write(const char* data, std::uint32_t length, std::uint32_t& written) override {
    DWORD n = 0;
    const BOOL ok = WriteFile(handle_, data, length, &n, nullptr);
    written = ok ? n : 0;
    return ok != FALSE;
  }

  bool waitingCount(std::uint32_t& count) override {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle_, &errors, &status)) return false;
    count = status.cbInQue;
    return true;
  }

  void close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    if (background_ != nullptr) background_->cancel();
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
  DCB state_{};
  bool haveState_ = false;
  console::BackgroundRead* background_ = nullptr;
  DWORD queued_ = 0;  // bytes the driver said it holds, not read yet
};

class Win32SerialPlatform final : public SerialPlatform {
 public:
  Win32SerialPlatform() {
    LARGE_INTEGER frequency{};
    if (QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0) {
      frequency_ = frequency.QuadPart;
    }
  }

  std::string devicePath(std::uint32_t specPortNumber) override {
    if (specPortNumber == 0) return "COM1:";
    const std::string name = "COM" + std::to_string(specPortNumber);
    // From COM10 on, the name is not one of the DOS device names the file system knows by
    // itself and has to be given in the device namespace.
    return specPortNumber >= 10 ? "\\\\.\\" + name : name;
  }

  // Windows gives a USB adapter its own COM number and keeps it for that adapter, so the
  // name itself stands for the device; and a COM port is one program's at a time anyway.
  std::optional<DeviceIdentity> identify(const std::string& path) override {
    return DeviceIdentity{true, "the name " + path, ""};
  }

  OpenOutcome open(const std::string& path) override {
    HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      OpenOutcome outcome;
      outcome.error = GetLastError();
      switch (outcome.error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_PATHNAME:
        case ERROR_INVALID_NAME:
          outcome.failure = OpenFailure::NoDevice;
          break;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
          // A COM port in use by another program refuses with "access denied".
          outcome.failure = OpenFailure::Held;
          break;
        default:
          outcome.failure = OpenFailure::Refused;
          break;
      }
      return outcome;
    }
    return {std::make_unique<Win32SerialDevice>(handle), OpenFailure::None, 0};
  }

  std::uint32_t milliseconds() override {
    if (frequency_ == 0) return GetTickCount();
    LARGE_INTEGER counter{};
    if (!QueryPerformanceCounter(&counter)) return GetTickCount();
    // Split the division so that counter * 1000 cannot overflow on a long-running machine.
    const long long ticks = counter.QuadPart;
    const long long whole = ticks / frequency_;
    const long long rest = ticks % frequency_;
    return static_cast<std::uint32_t>(whole * 1000 + rest * 1000 / frequency_);
  }

 private:
  long long frequency_ = 0;
};

}  // namespace

bool readErrorMeansDeviceGone(std::uint32_t error) {
  // What ReadFile gives once a USB adapter has been pulled or its driver has let the port go,
  // depending on the driver: the handle is dead from then on, even when the adapter comes back
  // under the same name.
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_OPERATION_ABORTED:
    case ERROR_INVALID_HANDLE:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_REMOVED:
      return true;
    default:
      return false;
  }
}

SerialPlatform& systemSerialPlatform() {
  static Win32SerialPlatform platform;
  return platform;
}

bool acceptsDevicePaths() {
  return false;
}

}  // namespace kestrelgate::link
