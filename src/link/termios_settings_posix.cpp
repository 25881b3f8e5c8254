#include "link/termios_settings_posix.h"

#include <cstdint>

namespace kestrelgate::link {
namespace {

struct SpeedEntry {
  std::uint32_t bitsPerSecond;
  speed_t code;
};

// The rates termios can name.
constexpr SpeedEntry kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

std::optional<speed_t> speedCode(std::uint32_t bitsPerSecond) {
  for (const SpeedEntry& entry : kSpeeds) {
    if (entry.bitsPerSecond == bitsPerSecond) return entry.code;
  }
  return std::nullopt;
}

std::optional<tcflag_t> characterSize(std::uint8_t dataBits) {
  switch (dataBits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    case 8:
      return CS8;
    default:
      return std::nullopt;
  }
}

void setFlag(tcflag_t& flags, tcflag_t bit, bool on) {
  if (on) {
    flags |= bit;
  } else {
    flags &= ~bit;
  }
}

// The parity bits of c_cflag; nullopt where this system cannot render the parity.
std::optional<tcflag_t> parityFlags(ParityKind parity) {
  switch (parity) {
    case ParityKind::None:
      return tcflag_t{0};
    case ParityKind::Even:
      return tcflag_t{PARENB};
    case ParityKind::Odd:
      return tcflag_t{PARENB | PARODD};
#ifdef CMSPAR
    case ParityKind::Mark:
      return tcflag_t{PARENB | PARODD | CMSPAR};
    case ParityKind::Space:
      return tcflag_t{PARENB | CMSPAR};
#endif
    default:
      return std::nullopt;
  }
}

std::optional<tcflag_t> stopFlags(StopBitsKind stopBits, std::uint8_t dataBits) {
  switch (stopBits) {
    case StopBitsKind::One:
      return tcflag_t{0};
    case StopBitsKind::OneAndHalf:
      if (dataBits != 5) return std::nullopt;
      return tcflag_t{CSTOPB};
    case StopBitsKind::Two:
      return tcflag_t{CSTOPB};
  }
  return std::nullopt;
}

}  // namespace

std::optional<termios> renderTermios(const LineSettings& settings, termios attributes, cc_t vmin,
                                     cc_t vtime) {
  const std::optional<speed_t> speed = speedCode(settings.speed);
  const std::optional<tcflag_t> size = characterSize(settings.dataBits);
  const std::optional<tcflag_t> parity = parityFlags(settings.parity);
  const std::optional<tcflag_t> stop = stopFlags(settings.stopBits, settings.dataBits);
  if (!speed || !size || !parity || !stop) return std::nullopt;

  // Input: bytes arrive as sent. No break or parity marking, no stripping of bit 7, no CR/LF
  // translation, and no software flow control: an XON or XOFF byte is data. The move reader
  // does its own line handling.
  attributes.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                               ICRNL | IXANY | IXON | IXOFF);
#ifdef IUCLC
  attributes.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
#ifdef IMAXBEL
  attributes.c_iflag &= ~static_cast<tcflag_t>(IMAXBEL);
#endif
  setFlag(attributes.c_iflag, INPCK, settings.checkParity);
  // Output: no processing at all.
  attributes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  // Local: no echo, no line editing, no signal characters, no extended input processing.
  attributes.c_lflag &=
      ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);

  // Control: the character frame, the receiver on, modem lines not gating the port, and no
  // hang-up on close (closing the channel changes no line state).
  attributes.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | HUPCL | CRTSCTS);
#ifdef CMSPAR
  attributes.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
  attributes.c_cflag |= *size | *parity | *stop | CLOCAL | CREAD;
  if (settings.ctsOutputFlow) attributes.c_cflag |= CRTSCTS;

  attributes.c_cc[VMIN] = vmin;
  attributes.c_cc[VTIME] = vtime;
  if (cfsetispeed(&attributes, *speed) != 0 || cfsetospeed(&attributes, *speed) != 0) {
    return std::nullopt;
  }
  return attributes;
}

}  // namespace kestrelgate::link
