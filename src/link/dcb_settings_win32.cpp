#include "link/dcb_settings_win32.h"

namespace kestrelgate::link {
namespace {

// The DCB numbers parity otherwise than ParityKind: Even is 1 there but EVENPARITY (2) here.
BYTE dcbParity(ParityKind parity) {
  switch (parity) {
    case ParityKind::None:
      return NOPARITY;
    case ParityKind::Even:
      return EVENPARITY;
    case ParityKind::Odd:
      return ODDPARITY;
    case ParityKind::Space:
      return SPACEPARITY;
    case ParityKind::Mark:
      return MARKPARITY;
  }
  return NOPARITY;
}

BYTE dcbStopBits(StopBitsKind stopBits) {
  switch (stopBits) {
    case StopBitsKind::One:
      return ONESTOPBIT;
    case StopBitsKind::OneAndHalf:
      return ONE5STOPBITS;
    case StopBitsKind::Two:
      return TWOSTOPBITS;
  }
  return ONESTOPBIT;
}

}  // namespace

DCB renderDcb(const LineSettings& settings, DCB dcb) {
  dcb.BaudRate = settings.speed;
  dcb.fBinary = settings.binary ? 1 : 0;
  dcb.fParity = settings.checkParity ? 1 : 0;
  dcb.fOutxCtsFlow = settings.ctsOutputFlow ? 1 : 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = settings.dtr == DtrMode::On ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = settings.dsrSensitivity ? 1 : 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fNull = 0;
  dcb.fRtsControl = settings.rts == RtsMode::Off ? RTS_CONTROL_DISABLE : RTS_CONTROL_HANDSHAKE;
  dcb.fAbortOnError = 0;
  dcb.ByteSize = settings.dataBits;
  dcb.Parity = dcbParity(settings.parity);
  dcb.StopBits = dcbStopBits(settings.stopBits);
  return dcb;
}

}  // namespace kestrelgate::link
