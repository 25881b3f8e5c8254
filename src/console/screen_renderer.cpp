#include "console/screen_renderer.h"

#include <string>

namespace kestrelgate::console {

// The state of one write request: the cursor and the buffer as the request found them, and the
// characters of the current row segment not yet drawn.
struct ScreenRenderer::Request {
  ScreenInfo info;
  int column = 0;
  int row = 0;
  std::string segment;
  int segmentColumn = 0;
  int segmentRow = 0;
  bool windowMoved = false;
};

void ScreenRenderer::flushSegment(Request& request) {
  if (request.segment.empty()) return;
  buffer_.writeCells(request.segmentColumn, request.segmentRow, request.segment.data(),
                     request.segment.size(), request.info.attribute);
  request.segment.clear();
}

// Brings the rows below the text area into it: first by moving the text area further down the
// buffer, then, once it sits at the buffer's end, by moving the buffer's content up.
void ScreenRenderer::scroll(Request& request, int rows) {
  if (rows <= 0) return;
  const int height = request.info.height;
  int below = height - 1 - areaBottom_;
  if (below < 0) below = 0;
  const int moved = rows < below ? rows : below;
  if (moved > 0) {
    areaTop_ += moved;
    areaBottom_ += moved;
    request.windowMoved = true;
  }
  const int rest = rows - moved;
  if (rest <= 0) return;
  if (rest >= height) {
    // Everything that was on screen has gone past the top: a blank text area is the same
    // picture at a fraction of the cost.
    buffer_.fillBlank(areaTop_, areaBottom_, request.info.attribute);
  } else {
    buffer_.scrollUp(rest, request.info.attribute);
  }
  request.row -= rest;
}

void ScreenRenderer::drawCharacter(Request& request, char c) {
  if (request.row > areaBottom_) {
    flushSegment(request);
    scroll(request, request.row - areaBottom_);
  }
  if (request.segment.empty()) {
    request.segmentColumn = request.column;
    request.segmentRow = request.row;
  }
  request.segment.push_back(c);
  ++request.column;
  if (request.column >= request.info.width) {
    // The last column is filled: the segment ends with its row, and the next character goes
    // on at the start of the row below.
    flushSegment(request);
    request.column = 0;
    ++request.row;
  }
}

bool ScreenRenderer::beginRequest(Request& request) {
  if (!buffer_.query(request.info) || request.info.width <= 0 || request.info.height <= 0) {
    return false;
  }
  if (!haveArea_) {
    areaTop_ = request.info.windowTop;
    areaBottom_ = request.info.windowBottom;
    haveArea_ = true;
  }
  request.column = request.info.cursorColumn;
  request.row = request.info.cursorRow;
  if (deferredScroll_) {
    // The previous request ended with a line end on the bottom row; its scroll is due now.
    deferredScroll_ = false;
    request.column = 0;
    request.row = areaBottom_ + 1;
    scroll(request, 1);
  }
  return true;
}

void ScreenRenderer::renderByte(Request& request, char c) {
  switch (c) {
    case '\a':
      flushSegment(request);
      buffer_.beep(1000, 250);
      break;
    case '\b':
      flushSegment(request);
      if (request.column > 0) --request.column;
      break;
    case '\t': {
      const int spaces = 8 - request.column % 8;
      for (int n = 0; n < spaces; ++n) drawCharacter(request, ' ');
      break;
    }
    case '\n':
      flushSegment(request);
      request.column = 0;
      ++request.row;
      break;
    case '\r':
      flushSegment(request);
      request.column = 0;
      break;
    default:
      drawCharacter(request, c);
      break;
  }
}

void ScreenRenderer::finishRequest(Request& request) {
  flushSegment(request);
  int cursorColumn = request.column;
  int cursorRow = request.row;
  if (request.column == 0 && request.row == areaBottom_ + 1) {
    // A line end on the bottom row: scrolling now would leave an empty bottom row on screen
    // until the next output arrives, so the scroll waits for that output.
    deferredScroll_ = true;
    cursorColumn = request.info.width - 1;
    cursorRow = areaBottom_;
  } else if (request.row > areaBottom_) {
    scroll(request, request.row - areaBottom_);
    cursorRow = request.row;
  }
  if (request.windowMoved) buffer_.setWindowRows(areaTop_, areaBottom_);
  buffer_.setCursor(cursorColumn, cursorRow);

  // The user may have moved or resized the window between requests: the next one works on the
  // window as it now stands.
  ScreenInfo after;
  if (buffer_.query(after)) {
    areaTop_ = after.windowTop;
    areaBottom_ = after.windowBottom;
  }
}

void ScreenRenderer::writeRequest(const char* data, std::size_t length) {
  Request request;
  if (!beginRequest(request)) return;
  for (std::size_t i = 0; i < length; ++i) renderByte(request, data[i]);
  finishRequest(request);
}

}  // namespace kestrelgate::console
