#include "console/screen_renderer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrelgate::console {
namespace {

// A screen buffer in memory that behaves as a console's does, and records the calls made.
class MemoryScreen final : public ScreenBuffer {
 public:
  MemoryScreen(int width, int height, int windowTop, int windowBottom)
      : width_(width),
        height_(height),
        chars_(static_cast<std::size_t>(width * height), '.'),
        attrs_(static_cast<std::size_t>(width * height), 0) {
    windowTop_ = windowTop;
    windowBottom_ = windowBottom;
  }

  bool query(ScreenInfo& info) override {
    if (failQuery) return false;
    info.cursorColumn = cursorColumn;
    info.cursorRow = cursorRow;
    info.width = width_;
    info.height = height_;
    info.attribute = attribute;
    info.windowTop = windowTop_;
    info.windowBottom = windowBottom_;
    return true;
  }

  void writeCells(int column, int row, const char* chars, std::size_t count,
                  std::uint16_t attr) override {
    calls.push_back("write " + std::to_string(column) + "," + std::to_string(row) + " " +
                    std::string(chars, count));
    ASSERT_GE(row, 0);
    ASSERT_LT(row, height_);
    ASSERT_GE(column, 0);
    ASSERT_LE(column + static_cast<int>(count), width_) << "a segment must stay within its row";
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t cell = index(column + static_cast<int>(i), row);
      chars_[cell] = chars[i];
      attrs_[cell] = attr;
    }
  }

  void scrollUp(int rows, std::uint16_t attr) override {
    calls.push_back("scroll " + std::to_string(rows));
    ASSERT_GT(rows, 0);
    ASSERT_LT(rows, height_);
    for (int row = 0; row < height_; ++row) {
      for (int column = 0; column < width_; ++column) {
        const std::size_t to = index(column, row);
        if (row + rows < height_) {
          chars_[to] = chars_[index(column, row + rows)];
          attrs_[to] = attrs_[index(column, row + rows)];
        } else {
          chars_[to] = ' ';
          attrs_[to] = attr;
        }
      }
    }
  }

  void fillBlank(int firstRow, int lastRow, std::uint16_t attr) override {
    calls.push_back("fill " + std::to_string(firstRow) + "-" + std::to_string(lastRow));
    for (int row = firstRow; row <= lastRow; ++row) {
      for (int column = 0; column < width_; ++column) {
        chars_[index(column, row)] = ' ';
        attrs_[index(column, row)] = attr;
      }
    }
  }

  void setWindowRows(int top, int bottom) override {
    calls.push_back("window " + std::to_string(top) + "-" + std::to_string(bottom));
    windowTop_ = top;
    windowBottom_ = bottom;
  }

  void setCursor(int column, int row) override {
    calls.push_back("cursor " + std::to_string(column) + "," + std::to_string(row));
    cursorColumn = column;
    cursorRow = row;
  }

  void beep(unsigned frequency, unsigned milliseconds) override {
    calls.push_back("beep " + std::to_string(frequency) + "/" + std::to_string(milliseconds));
  }

  std::string row(int r) const {
    return std::string(chars_.begin() + r * width_, chars_.begin() + (r + 1) * width_);
  }
  std::uint16_t attributeAt(int column, int r) const { return attrs_[index(column, r)]; }
  int windowTop() const { return windowTop_; }
  int windowBottom() const { return windowBottom_; }

  // Calls of one kind only, in order.
  std::vector<std::string> callsOf(const std::string& kind) const {
    std::vector<std::string> found;
    for (const std::string& call : calls) {
      if (call.compare(0, kind.size() + 1, kind + " ") == 0) found.push_back(call);
    }
    return found;
  }

  int cursorColumn = 0;
  int cursorRow = 0;
  std::uint16_t attribute = 0x07;
  bool failQuery = false;
  std::vector<std::string> calls;

 private:
  std::size_t index(int column, int r) const {
    return static_cast<std::size_t>(r * width_ + column);
  }

  int width_;
  int height_;
  int windowTop_;
  int windowBottom_;
  std::vector<char> chars_;
  std::vector<std::uint16_t> attrs_;
};

void send(ScreenRenderer& renderer, const std::string& bytes) {
  renderer.writeRequest(bytes.data(), bytes.size());
}

TEST(ScreenRenderer, DrawsCharactersAtTheCursorInTheCurrentAttribute) {
  MemoryScreen screen(10, 6, 0, 5);
  screen.cursorColumn = 2;
  screen.cursorRow = 1;
  screen.attribute = 0x1e;
  ScreenRenderer renderer(screen);
  send(renderer, "abc");
  EXPECT_EQ(screen.row(1), "..abc.....");
  EXPECT_EQ(screen.attributeAt(2, 1), 0x1e);
  EXPECT_EQ(screen.attributeAt(4, 1), 0x1e);
  EXPECT_EQ(screen.attributeAt(5, 1), 0);
  // One segment, one drawing call; the cursor is placed once, at the end.
  EXPECT_EQ(screen.calls, (std::vector<std::string>{"write 2,1 abc", "cursor 5,1"}));

  // Control bytes other than BEL, BS, TAB, LF and CR are drawn like any character.
  send(renderer, "\x01\x1b\x7f");
  EXPECT_EQ(screen.row(1), "..abc\x01\x1b\x7f..");
}

TEST(ScreenRenderer, BellBeepsWithoutDrawingOrMoving) {
  MemoryScreen screen(10, 6, 0, 5);
  ScreenRenderer renderer(screen);
  send(renderer, "a\ab");
  EXPECT_EQ(screen.callsOf("beep"), std::vector<std::string>{"beep 1000/250"});
  EXPECT_EQ(screen.row(0), "ab........");
  EXPECT_EQ(screen.cursorColumn, 2);
}

TEST(ScreenRenderer, BackspaceMovesLeftWithoutErasingAndStopsAtTheEdge) {
  MemoryScreen screen(10, 6, 0, 5);
  ScreenRenderer renderer(screen);
  send(renderer, "abc\b\bX");
  EXPECT_EQ(screen.row(0), "aXc.......");
  EXPECT_EQ(screen.cursorColumn, 2);
  send(renderer, "\b\b\b\bY");
  EXPECT_EQ(screen.row(0), "YXc.......");
  EXPECT_EQ(screen.cursorColumn, 1);
}

TEST(ScreenRenderer, TabDrawsSpacesToTheNextMultipleOfEight) {
  MemoryScreen screen(20, 6, 0, 5);
  ScreenRenderer renderer(screen);
  send(renderer, "\tA");
  EXPECT_EQ(screen.row(0), "        A...........");
  send(renderer, "\r\nabc\tB");
  EXPECT_EQ(screen.row(1), "abc     B...........");
  send(renderer, "\r\n1234567\tC");
  EXPECT_EQ(screen.row(2), "1234567 C...........");
  // The spaces overwrite what was there.
  send(renderer, "\r\n" + std::string(12, 'z'));
  send(renderer, "\r\tD");
  EXPECT_EQ(screen.row(3), "        Dzzz........");
  // A tab near the end of a row draws all its spaces, wrapping like any character.
  send(renderer, "\r\n123456789012345678\tE");
  EXPECT_EQ(screen.row(4), "123456789012345678  ");
  EXPECT_EQ(screen.row(5), "    E...............");
}

TEST(ScreenRenderer, LineFeedStartsTheNextRowAndCarriageReturnTheSameRow) {
  MemoryScreen screen(10, 6, 0, 5);
  screen.cursorColumn = 4;
  ScreenRenderer renderer(screen);
  send(renderer, "ab\ncd");
  EXPECT_EQ(screen.row(0), "....ab....");
  EXPECT_EQ(screen.row(1), "cd........");
  send(renderer, "\rX");
  EXPECT_EQ(screen.row(1), "Xd........");
  EXPECT_EQ(screen.cursorColumn, 1);
  EXPECT_EQ(screen.cursorRow, 1);
}

TEST(ScreenRenderer, WrapsAfterTheLastColumnInRowSegments) {
  MemoryScreen screen(5, 6, 0, 5);
  screen.cursorColumn = 3;
  ScreenRenderer renderer(screen);
  send(renderer, "abcdefghi");
  EXPECT_EQ(screen.row(0), "...ab");
  EXPECT_EQ(screen.row(1), "cdefg");
  EXPECT_EQ(screen.row(2), "hi...");
  EXPECT_EQ(screen.callsOf("write"),
            (std::vector<std::string>{"write 3,0 ab", "write 0,1 cdefg", "write 0,2 hi"}));
  EXPECT_EQ(screen.cursorColumn, 2);
  EXPECT_EQ(screen.cursorRow, 2);
}

TEST(ScreenRenderer, TextAreaMovesDownTheBufferBeforeTheBufferScrolls) {
  // A 4-row window at the top of a 10-row buffer.
  MemoryScreen screen(6, 10, 0, 3);
  screen.cursorRow = 3;
  ScreenRenderer renderer(screen);
  send(renderer, "r3\nr4\nr5");
  EXPECT_EQ(screen.callsOf("scroll"), std::vector<std::string>{});
  EXPECT_EQ(screen.callsOf("window"), std::vector<std::string>{"window 2-5"});
  EXPECT_EQ(screen.windowTop(), 2);
  EXPECT_EQ(screen.windowBottom(), 5);
  EXPECT_EQ(screen.row(4), "r4....");
  EXPECT_EQ(screen.row(5), "r5....");
  EXPECT_EQ(screen.calls.back(), "cursor 2,5");
}

TEST(ScreenRenderer, AtTheBuffersEndTheContentMovesUpAndFreedRowsAreBlank) {
  MemoryScreen screen(6, 5, 2, 4);
  screen.cursorRow = 4;
  screen.attribute = 0x4f;
  ScreenRenderer renderer(screen);
  send(renderer, "one\n\n\nfour");
  // Three rows missing at once: one move of the content by three rows.
  EXPECT_EQ(screen.callsOf("scroll"), std::vector<std::string>{"scroll 3"});
  EXPECT_EQ(screen.callsOf("window"), std::vector<std::string>{});
  EXPECT_EQ(screen.row(1), "one...");
  EXPECT_EQ(screen.row(2), "      ");
  EXPECT_EQ(screen.row(3), "      ");
  EXPECT_EQ(screen.row(4), "four  ");
  EXPECT_EQ(screen.attributeAt(5, 4), 0x4f);
  EXPECT_EQ(screen.attributeAt(0, 2), 0x4f);
  EXPECT_EQ(screen.calls.back(), "cursor 4,4");
}

TEST(ScreenRenderer, AScrollOfTheWholeBufferOrMoreClearsTheTextAreaInstead) {
  MemoryScreen screen(4, 3, 0, 2);
  screen.cursorRow = 2;
  ScreenRenderer renderer(screen);
  send(renderer, "ab\n\n\nZ");
  EXPECT_EQ(screen.callsOf("scroll"), std::vector<std::string>{});
  EXPECT_EQ(screen.callsOf("fill"), std::vector<std::string>{"fill 0-2"});
  EXPECT_EQ(screen.row(0), "    ");
  EXPECT_EQ(screen.row(1), "    ");
  EXPECT_EQ(screen.row(2), "Z   ");
}

TEST(ScreenRenderer, ALineEndOnTheBottomRowDefersItsScroll) {
  MemoryScreen screen(6, 4, 0, 3);
  screen.cursorRow = 3;
  ScreenRenderer renderer(screen);
  send(renderer, "last\r\n");
  // Nothing scrolled yet; the cursor waits in the last cell of the bottom row.
  EXPECT_EQ(screen.callsOf("scroll"), std::vector<std::string>{});
  EXPECT_TRUE(renderer.deferredScroll());
  EXPECT_EQ(screen.calls.back(), "cursor 5,3");
  EXPECT_EQ(screen.row(3), "last..");

  screen.calls.clear();
  send(renderer, "next");
  EXPECT_FALSE(renderer.deferredScroll());
  EXPECT_EQ(screen.calls, (std::vector<std::string>{"scroll 1", "write 0,3 next", "cursor 4,3"}));
  EXPECT_EQ(screen.row(2), "last..");
  EXPECT_EQ(screen.row(3), "next  ");

  // A request that is itself only the line end on a bottom row is deferred again, and the
  // deferred scroll also comes before a line end of the next request.
  send(renderer, "\r\n");
  EXPECT_TRUE(renderer.deferredScroll());
  screen.calls.clear();
  send(renderer, "\r\n");
  EXPECT_EQ(screen.callsOf("scroll"), std::vector<std::string>{"scroll 1"});
  EXPECT_TRUE(renderer.deferredScroll());
}

TEST(ScreenRenderer, OtherRequestsEndingBelowTheBottomRowScrollAtTheirEnd) {
  MemoryScreen screen(6, 4, 0, 3);
  screen.cursorRow = 3;
  ScreenRenderer renderer(screen);
  send(renderer, "x\n\n");
  EXPECT_FALSE(renderer.deferredScroll());
  EXPECT_EQ(screen.callsOf("scroll"), std::vector<std::string>{"scroll 2"});
  EXPECT_EQ(screen.row(1), "x.....");
  EXPECT_EQ(screen.calls.back(), "cursor 0,3");
}

TEST(ScreenRenderer, TheDeferredScrollMovesTheTextAreaWhileTheBufferHasRoom) {
  MemoryScreen screen(6, 8, 0, 3);
  screen.cursorRow = 3;
  ScreenRenderer renderer(screen);
  send(renderer, "a\n");
  EXPECT_TRUE(renderer.deferredScroll());
  EXPECT_EQ(screen.callsOf("window"), std::vector<std::string>{});
  send(renderer, "b");
  EXPECT_EQ(screen.callsOf("window"), std::vector<std::string>{"window 1-4"});
  EXPECT_EQ(screen.row(4), "b.....");
  EXPECT_EQ(screen.calls.back(), "cursor 1,4");
}

TEST(ScreenRenderer, DrawsNothingWhenTheBufferCannotBeQueried) {
  MemoryScreen screen(6, 4, 0, 3);
  screen.failQuery = true;
  ScreenRenderer renderer(screen);
  send(renderer, "abc\a\n");
  EXPECT_EQ(screen.calls, std::vector<std::string>{});
}

}  // namespace
}  // namespace kestrelgate::console
