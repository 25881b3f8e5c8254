#pragma once

#include <cstddef>
#include <cstdint>

#include "console/console_platform.h"

namespace kestrelgate::console {

// What one query of a console screen buffer reports. Coordinates are absolute buffer cells,
// counted from 0 at the top left corner.
struct ScreenInfo {
  int cursorColumn = 0;
  int cursorRow = 0;
  int width = 0;   // columns of the screen buffer
  int height = 0;  // rows of the screen buffer
  std::uint16_t attribute = 0;
  int windowTop = 0;  // rows of the buffer the console window shows
  int windowBottom = 0;
};

// The operations of a console screen buffer the renderer draws with. Each is one console call;
// a failed call changes nothing the renderer relies on, so none reports a result except the
// query.
class ScreenBuffer {
 public:
  virtual ~ScreenBuffer() = default;
  virtual bool query(ScreenInfo& info) = 0;
  // Draws `count` characters from (column, row) rightwards, all in `attribute`; the segment
  // lies within one row.
  virtual void writeCells(int column, int row, const char* chars, std::size_t count,
                          std::uint16_t attribute) = 0;
  // Moves the content of the whole buffer up by `rows` (less than the buffer's height); the
  // rows that come free at the bottom become blanks in `attribute`.
  virtual void scrollUp(int rows, std::uint16_t attribute) = 0;
  // Blanks the full-width rows first .. last in `attribute`.
  virtual void fillBlank(int firstRow, int lastRow, std::uint16_t attribute) = 0;
  // Moves the console window so that it shows rows top .. bottom.
  virtual void setWindowRows(int top, int bottom) = 0;
  virtual void setCursor(int column, int row) = 0;
  virtual void beep(unsigned frequency, unsigned milliseconds) = 0;
};

// Screen mode: the console's own output processing is bypassed and every byte is rendered into
// the buffer here, so that output looks the same whatever processing mode the console is in.
class ScreenRenderer final : public ScreenWriter {
 public:
  explicit ScreenRenderer(ScreenBuffer& buffer) : buffer_(buffer) {}

  void writeRequest(const char* data, std::size_t length) override;

  bool deferredScroll() const { return deferredScroll_; }

 private:
  struct Request;

  // A request's steps: the buffer as it stands (and a scroll left over from the last request),
  // each byte drawn or obeyed, then the cursor, the window and any scroll that is due.
  bool beginRequest(Request& request);
  void renderByte(Request& request, char c);
  void finishRequest(Request& request);

  void scroll(Request& request, int rows);
  void drawCharacter(Request& request, char c);
  void flushSegment(Request& request);

  ScreenBuffer& buffer_;
  bool haveArea_ = false;
  int areaTop_ = 0;
  int areaBottom_ = 0;
  bool deferredScroll_ = false;
};

}  // namespace kestrelgate::console
