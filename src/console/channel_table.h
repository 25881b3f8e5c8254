#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "console/io_result.h"

namespace kestrelgate::console {

// One open channel: a device bound to a slot of the channel table. Each device supplies the
// operations it has; the others refuse with IllegalRequest, as a seek on a serial port does.
class Channel {
 public:
  virtual ~Channel() = default;

  // Releases whatever the device holds. The slot becomes free whatever this returns.
  virtual IoResult close() = 0;

  virtual IoResult readLine(std::string& text);
  virtual IoResult readBytes(char* buffer, std::uint32_t requested, std::uint32_t& got);
  virtual IoResult writeBytes(const char* data, std::uint32_t length);
  virtual IoResult bytesWaiting(std::uint32_t& count);
  virtual IoResult seek(std::uint32_t position);
};

// Numbered slots 1 to 255, each free or holding one open channel. The console's output side
// is number 0 and lives outside the table.
class ChannelTable {
 public:
  static constexpr int kFirstChannel = 1;
  static constexpr int kLastChannel = 255;

  static bool isValidNumber(int number) {
    return number >= kFirstChannel && number <= kLastChannel;
  }

  // Ok when `number` is a valid, free slot; IllegalRequest otherwise.
  IoResult checkFree(int number) const;

  // Puts an opened channel into a free slot (checkFree must have said Ok).
  IoResult install(int number, std::unique_ptr<Channel> channel);

  // The channel in the slot, or nullptr when the number is invalid or the slot free.
  Channel* find(int number) const;

  // The channel in the slot as the kind of device the caller opened there; nullptr when the
  // slot holds nothing or another kind.
  template <typename Device>
  Device* findAs(int number) const {
    return dynamic_cast<Device*>(find(number));
  }

  // Closes the channel in one slot and frees it; IllegalRequest for a free slot.
  IoResult closeChannel(int number);

  // Closes every channel in use in ascending order, then frees every slot. Always Ok.
  IoResult closeAll();

  // Frees every slot without closing anything: the state of a process that has just started.
  void clear();

 private:
  std::array<std::unique_ptr<Channel>, kLastChannel + 1> slots_{};
};

}  // namespace kestrelgate::console
