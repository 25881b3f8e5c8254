// Screen mode: the renderer draws write requests into a console screen buffer held in memory.
// The input chooses the buffer's width (1 to 100) and height (1 to 60), the rows its window
// shows and the starting cursor, then a run of write requests, each with its bytes and the text
// attribute in effect (or a buffer that cannot be queried).
//
// Every call the renderer makes must stay inside the buffer: each drawn segment within one row,
// the cursor on a cell, the window on rows of the buffer and as high as it was. Beside it runs a
// model of the screen as a list of rows of characters and attributes, for every byte, control
// bytes included: BEL beeps, BS steps left within the row, TAB draws spaces to the next multiple
// of 8, LF starts the next row, CR the same row; every other byte is drawn at the cursor, and
// after the last column the next goes on at the start of the row below. A character that must
// go below the window's bottom row first brings that row in: the window moves down while the
// buffer has rows below it, then the whole buffer moves up with blank rows coming in at the
// bottom; moving it up by its whole height or more blanks the window's rows instead. A request
// that ends at the start of the row just below the window keeps that scroll for the start of
// the next request and shows the cursor in the last cell of the bottom row; a request ending
// further below scrolls at its end. After every request the cells, the cursor, the window and
// the beeps must equal the model's; the first difference aborts with a line starting "model:".
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "console/screen_renderer.h"
#include "shown_bytes.h"

namespace {

using kestrelgate::console::ScreenInfo;

[[noreturn]] void differ(const std::string& what) {
  std::fprintf(stderr, "model: %s\n", what.c_str());
  std::abort();
}

std::string at(int column, int row) {
  return "(" + std::to_string(column) + "," + std::to_string(row) + ")";
}

// A console screen buffer in memory. A call the renderer makes outside the buffer is a
// difference at once, before anything is touched.
class MemoryBuffer final : public kestrelgate::console::ScreenBuffer {
 public:
  MemoryBuffer(int columns, int rows, int top, int bottom)
      : width(columns), height(rows), windowTop(top), windowBottom(bottom) {
    // Every row starts out different, so that a scroll by the wrong count shows.
    for (int row = 0; row < height; ++row) {
      std::string text;
      for (int column = 0; column < width; ++column) {
        text.push_back(static_cast<char>('!' + (row * 7 + column) % 94));
      }
      chars.push_back(text);
      attributes.emplace_back(static_cast<std::size_t>(width), static_cast<std::uint16_t>(row));
    }
  }

  bool query(ScreenInfo& info) override {
    if (failQuery) return false;
    info.cursorColumn = cursorColumn;
    info.cursorRow = cursorRow;
    info.width = width;
    info.height = height;
    info.attribute = attribute;
    info.windowTop = windowTop;
    info.windowBottom = windowBottom;
    return true;
  }

  void writeCells(int column, int row, const char* text, std::size_t count,
                  std::uint16_t attr) override {
    if (row < 0 || row >= height || column < 0 || count == 0 ||
        column + static_cast<long>(count) > width) {
      differ("a segment of " + std::to_string(count) + " characters drawn at " + at(column, row) +
             " leaves its row of a " + std::to_string(width) + "x" + std::to_string(height) +
             " buffer");
    }
    for (std::size_t i = 0; i < count; ++i) {
      chars[static_cast<std::size_t>(row)][static_cast<std::size_t>(column) + i] = text[i];
      attributes[static_cast<std::size_t>(row)][static_cast<std::size_t>(column) + i] = attr;
    }
  }

  void scrollUp(int rows, std::uint16_t attr) override {
    if (rows <= 0 || rows >= height) {
      differ("a scroll by " + std::to_string(rows) + " rows of a buffer " + std::to_string(height) +
             " rows high");
    }
    chars.erase(chars.begin(), chars.begin() + rows);
    attributes.erase(attributes.begin(), attributes.begin() + rows);
    for (int n = 0; n < rows; ++n) {
      chars.emplace_back(static_cast<std::size_t>(width), ' ');
      attributes.emplace_back(static_cast<std::size_t>(width), attr);
    }
  }

  void fillBlank(int firstRow, int lastRow, std::uint16_t attr) override {
    if (firstRow < 0 || lastRow >= height || firstRow > lastRow) {
      differ("rows " + std::to_string(firstRow) + " to " + std::to_string(lastRow) +
             " blanked in a buffer " + std::to_string(height) + " rows high");
    }
    for (int row = firstRow; row <= lastRow; ++row) {
      chars[static_cast<std::size_t>(row)].assign(static_cast<std::size_t>(width), ' ');
      attributes[static_cast<std::size_t>(row)].assign(static_cast<std::size_t>(width), attr);
    }
  }

  void setWindowRows(int top, int bottom) override {
    if (top < 0 || bottom >= height || bottom - top != windowBottom - windowTop) {
      differ("the window moved from rows " + std::to_string(windowTop) + "-" +
             std::to_string(windowBottom) + " to " + std::to_string(top) + "-" +
             std::to_string(bottom) + " of a buffer " + std::to_string(height) + " rows high");
    }
    windowTop = top;
    windowBottom = bottom;
    ++windowMoves;
  }

  void setCursor(int column, int row) override {
    if (column < 0 || column >= width || row < 0 || row >= height) {
      differ("the cursor placed at " + at(column, row) + " outside a " + std::to_string(width) +
             "x" + std::to_string(height) + " buffer");
    }
    cursorColumn = column;
    cursorRow = row;
    ++cursorPlacements;
  }

  void beep(unsigned frequency, unsigned milliseconds) override {
    if (frequency != 1000 || milliseconds != 250) differ("a beep of another tone or length");
    ++beeps;
  }

  const int width;
  const int height;
  int windowTop;
  int windowBottom;
  int cursorColumn = 0;
  int cursorRow = 0;
  std::uint16_t attribute = 0x07;
  bool failQuery = false;
  std::vector<std::string> chars;
  std::vector<std::vector<std::uint16_t>> attributes;
  int windowMoves = 0;
  int cursorPlacements = 0;
  int beeps = 0;
};

// The screen as the model sees it.
struct Model {
  // The screen as it stands before the first request.
  explicit Model(const MemoryBuffer& start)
      : width(start.width),
        height(start.height),
        top(start.windowTop),
        bottom(start.windowBottom),
        column(start.cursorColumn),
        row(start.cursorRow),
        chars(start.chars),
        attributes(start.attributes) {}

  int width;
  int height;
  int top;  // the window's rows
  int bottom;
  int column;
  int row;
  bool pendingScroll = false;  // a request ended at the start of the row below the window
  int beeps = 0;
  std::vector<std::string> chars;
  std::vector<std::vector<std::uint16_t>> attributes;

  // The cursor's row below the window is brought into it.
  void bringCursorIn(std::uint16_t attribute) {
    int missing = row - bottom;
    while (missing > 0 && bottom < height - 1) {
      ++top;
      ++bottom;
      --missing;
    }
    if (missing <= 0) return;
    if (missing >= height) {
      for (int r = top; r <= bottom; ++r) blankRow(r, attribute);
    } else {
      for (int r = 0; r < height; ++r) {
        if (r + missing < height) {
          chars[static_cast<std::size_t>(r)] = chars[static_cast<std::size_t>(r + missing)];
          attributes[static_cast<std::size_t>(r)] =
              attributes[static_cast<std::size_t>(r + missing)];
        } else {
          blankRow(r, attribute);
        }
      }
    }
    row -= missing;
  }

  void blankRow(int r, std::uint16_t attribute) {
    chars[static_cast<std::size_t>(r)].assign(static_cast<std::size_t>(width), ' ');
    attributes[static_cast<std::size_t>(r)].assign(static_cast<std::size_t>(width), attribute);
  }

  void put(char c, std::uint16_t attribute) {
    bringCursorIn(attribute);
    chars[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)] = c;
    attributes[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)] = attribute;
    if (++column == width) {
      column = 0;
      ++row;
    }
  }

  void request(const std::string& bytes, std::uint16_t attribute) {
    if (pendingScroll) {
      pendingScroll = false;
      bringCursorIn(attribute);
    }
    for (const char c : bytes) {
      switch (c) {
        case '\a':
          ++beeps;
          break;
        case '\b':
          if (column > 0) --column;
          break;
        case '\t':
          for (int n = 8 - column % 8; n > 0; --n) put(' ', attribute);
          break;
        case '\n':
          column = 0;
          ++row;
          break;
        case '\r':
          column = 0;
          break;
        default:
          put(c, attribute);
          break;
      }
    }
    if (column == 0 && row == bottom + 1) {
      pendingScroll = true;
    } else {
      bringCursorIn(attribute);
    }
  }

  // Where the console shows the cursor.
  int shownColumn() const { return pendingScroll ? width - 1 : column; }
  int shownRow() const { return pendingScroll ? bottom : row; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t position = 0;
  auto next = [&]() -> std::uint8_t { return position < size ? data[position++] : 0; };

  const int width = 1 + next() % 100;
  const int height = 1 + next() % 60;
  const int top = next() % height;
  const int bottom = top + next() % (height - top);
  MemoryBuffer buffer(width, height, top, bottom);
  buffer.cursorColumn = next() % width;
  buffer.cursorRow = next() % height;
  Model model(buffer);
  kestrelgate::console::ScreenRenderer renderer(buffer);

  for (int number = 0; number < 200 && position < size; ++number) {
    const std::size_t length = next() & 0x7f;
    const std::uint8_t attribute = next();
    std::string bytes;
    for (std::size_t n = 0; n < length && position < size; ++n) {
      bytes.push_back(static_cast<char>(next()));
    }
    // 0xFF stands for a buffer that cannot be queried: the request is dropped whole.
    buffer.failQuery = attribute == 0xFF;
    buffer.attribute = attribute;
    const int placementsBefore = buffer.cursorPlacements;
    const int movesBefore = buffer.windowMoves;
    const int topBefore = model.top;
    renderer.writeRequest(bytes.data(), bytes.size());
    if (!buffer.failQuery) model.request(bytes, attribute);

    const std::string request = "request " + std::to_string(number) + " \"" + shownBytes(bytes) +
                                "\" on a " + std::to_string(width) + "x" + std::to_string(height) +
                                " buffer";
    for (int row = 0; row < height; ++row) {
      const auto r = static_cast<std::size_t>(row);
      if (buffer.chars[r] != model.chars[r]) {
        differ(request + ": row " + std::to_string(row) + " holds \"" +
               shownBytes(buffer.chars[r]) + "\", the model \"" + shownBytes(model.chars[r]) +
               "\"");
      }
      if (buffer.attributes[r] != model.attributes[r]) {
        differ(request + ": row " + std::to_string(row) + " has other attributes");
      }
    }
    if (buffer.windowTop != model.top || buffer.windowBottom != model.bottom) {
      differ(request + ": the window shows rows " + std::to_string(buffer.windowTop) + "-" +
             std::to_string(buffer.windowBottom) + ", the model " + std::to_string(model.top) +
             "-" + std::to_string(model.bottom));
    }
    // The window is moved once at the end of a request that moved it, and not otherwise.
    if (buffer.windowMoves - movesBefore != (model.top != topBefore ? 1 : 0)) {
      differ(request + ": " + std::to_string(buffer.windowMoves - movesBefore) + " window moves");
    }
    if (buffer.cursorPlacements - placementsBefore != (buffer.failQuery ? 0 : 1)) {
      differ(request + ": the cursor was placed " +
             std::to_string(buffer.cursorPlacements - placementsBefore) + " times");
    }
    if (buffer.cursorColumn != model.shownColumn() || buffer.cursorRow != model.shownRow()) {
      differ(request + ": the cursor is at " + at(buffer.cursorColumn, buffer.cursorRow) +
             ", the model " + at(model.shownColumn(), model.shownRow()));
    }
    if (renderer.deferredScroll() != model.pendingScroll) {
      differ(request + ": the scroll after a line end on the bottom row is " +
             (renderer.deferredScroll() ? "" : "not ") + "pending");
    }
    if (buffer.beeps != model.beeps) differ(request + ": another number of beeps");
  }
  return 0;
}
