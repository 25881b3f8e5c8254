#include "console/channel_table.h"

#include <utility>

namespace kestrelgate::console {

IoResult Channel::readLine(std::string&) {
  return IoResult::IllegalRequest;
}
IoResult Channel::readBytes(char*, std::uint32_t, std::uint32_t& got) {
  got = 0;
  return IoResult::IllegalRequest;
}
IoResult Channel::writeBytes(const char*, std::uint32_t) {
  return IoResult::IllegalRequest;
}
IoResult Channel::bytesWaiting(std::uint32_t& count) {
  count = 0;
  return IoResult::IllegalRequest;
}
IoResult Channel::seek(std::uint32_t) {
  return IoResult::IllegalRequest;
}

IoResult ChannelTable::checkFree(int number) const {
  if (!isValidNumber(number) || slots_[static_cast<std::size_t>(number)]) {
    return IoResult::IllegalRequest;
  }
  return IoResult::Ok;
}

IoResult ChannelTable::install(int number, std::unique_ptr<Channel> channel) {
  if (!channel || checkFree(number) != IoResult::Ok) return IoResult::IllegalRequest;
  slots_[static_cast<std::size_t>(number)] = std::move(channel);
  return IoResult::Ok;
}

Channel* ChannelTable::find(int number) const {
  if (!isValidNumber(number)) return nullptr;
  return slots_[static_cast<std::size_t>(number)].get();
}

IoResult ChannelTable::closeChannel(int number) {
  Channel* channel = find(number);
  if (channel == nullptr) return IoResult::IllegalRequest;
  channel->close();
  slots_[static_cast<std::size_t>(number)].reset();
  return IoResult::Ok;
}

IoResult ChannelTable::closeAll() {
  for (int number = kFirstChannel; number <= kLastChannel; ++number) {
    if (Channel* channel = find(number)) channel->close();
  }
  for (auto& slot : slots_) slot.reset();
  return IoResult::Ok;
}

void ChannelTable::clear() {
  for (auto& slot : slots_) slot.reset();
}

}  // namespace kestrelgate::console
