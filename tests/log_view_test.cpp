#include "logview/log_view.h"

#include "platform/text.h"
#include "tests/doubles/log_surface_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const LogBrush LOG_BRUSH = LOG_RGB(0, 64, 96);
const LogBrush INFO_BRUSH = LOG_RGB(192, 192, 192);
PlatformWindow const WINDOW = (PlatformWindow)0x1234;

// 494 x 514 client: info area 495 x 250, log area 495 x 265 starting at y = 250.
const int CLIENT_W = 494;
const int CLIENT_H = 514;
const int INFO_H = 250;

void CreateView(int clientWidth, int clientHeight, int showLog) {
    RecordReset();
    RecordSetClientSize(clientWidth, clientHeight);
    LogViewCreate(WINDOW, LOG_BRUSH, INFO_BRUSH, showLog);
}

bool SameRect(const LogRect& r, int left, int top, int right, int bottom) {
    return r.left == left && r.top == top && r.right == right && r.bottom == bottom;
}

::testing::AssertionResult LastInvalidationIs(int left, int top, int right, int bottom) {
    int n = RecordedInvalidationCount();
    if (n == 0) {
        return ::testing::AssertionFailure() << "nothing invalidated";
    }
    LogRect r = RecordedInvalidationAt(n - 1).rect;
    if (SameRect(r, left, top, right, bottom)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "invalidated (" << r.left << "," << r.top << ")-("
                                         << r.right << "," << r.bottom << ")";
}

class LogViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CreateView(CLIENT_W, CLIENT_H, 1);
    }
    void TearDown() override {
        LogViewDestroy();
        EXPECT_EQ(RecordedSurfaceCount(), 0);
        EXPECT_EQ(RecordedFontCount(), 0);
        EXPECT_EQ(RecordedMisuseCount(), 0);
    }
};

TEST_F(LogViewTest, CreationSizesBothAreasAndDrawsTheIconOverTheInfoBrush) {
    int w = 0, h = 0;
    ASSERT_TRUE(RecordedSurfaceSize(RECORD_SURFACE_INFO, &w, &h));
    EXPECT_EQ(w, 495);
    EXPECT_EQ(h, 250);
    ASSERT_TRUE(RecordedSurfaceSize(RECORD_SURFACE_LOG, &w, &h));
    EXPECT_EQ(w, 495);
    EXPECT_EQ(h, 265);
    ASSERT_EQ(RecordedFillCount(), 2);
    RecordedFill info = RecordedFillAt(0);
    EXPECT_EQ(info.surface, RECORD_SURFACE_INFO);
    EXPECT_TRUE(SameRect(info.rect, 0, 0, 495, 250));
    EXPECT_EQ(info.colour, INFO_BRUSH);
    EXPECT_EQ(RecordedFillAt(1).colour, LOG_BRUSH);
    ASSERT_EQ(RecordedIconCount(), 1);
    RecordedIcon icon = RecordedIconAt(0);
    EXPECT_EQ(icon.surface, RECORD_SURFACE_INFO);
    EXPECT_EQ(icon.x, 20);
    EXPECT_EQ(icon.y, 20);
    EXPECT_EQ(icon.size, 64);
    EXPECT_EQ(icon.background, INFO_BRUSH);
}

struct Write {
    int flags;
    const char* text;
};

struct RowCase {
    const char* name;
    std::vector<Write> writes;
    std::vector<const char*> rows; // expected rows 0, 1, ...
};

TEST_F(LogViewTest, FlagsMoveTheRowBeforeAndAfterWriting) {
    const RowCase cases[] = {
        {"0 then 1 then 0 replaces the second line",
         {{0, "a"}, {1, "b"}, {0, "c"}},
         {"a", "c", ""}},
        {"2 leaves the row one further on", {{2, "a"}, {0, "b"}}, {"a", "b", ""}},
        {"3 advances before and after", {{3, "a"}, {0, "b"}}, {"", "a", "b"}},
        {"a shorter text leaves nothing of the longer one",
         {{0, "Now Updating..."}, {0, "OK"}},
         {"OK", ""}},
        {"a missing text blanks the row", {{0, "a"}, {0, nullptr}}, {"", ""}},
    };
    for (const RowCase& c : cases) {
        SCOPED_TRACE(c.name);
        LogViewDestroy();
        CreateView(CLIENT_W, CLIENT_H, 1);
        for (const Write& w : c.writes) {
            LogWrite(w.flags, w.text);
        }
        for (size_t r = 0; r < c.rows.size(); r++) {
            EXPECT_STREQ(RecordedLogRow((int)r), c.rows[r]) << "row " << r;
        }
    }
}

TEST_F(LogViewTest, WritingRepaintsOnlyTheRowsBandInClientCoordinates) {
    LogWrite(0, "first");
    EXPECT_TRUE(LastInvalidationIs(0, INFO_H, 495, INFO_H + 16));
    LogWrite(LOG_NEWLINE_BEFORE, "second");
    EXPECT_TRUE(LastInvalidationIs(0, INFO_H + 16, 495, INFO_H + 32));
    RecordedRun run;
    ASSERT_EQ(RecordedRuns(RECORD_SURFACE_LOG, 16, &run, 1), 1);
    EXPECT_EQ(run.x, 12);
    EXPECT_EQ(run.text, LOG_RGB(255, 255, 240));
    EXPECT_EQ(run.background, LOG_RGB(0, 64, 96));
    EXPECT_FALSE(run.bold);
}

TEST_F(LogViewTest, SeventeenthLineScrollsTheLogUpOneRow) {
    char text[TEXT_SIZE];
    for (int i = 1; i <= 15; i++) {
        TextFormat(text, sizeof text, "L%d", i);
        LogWrite(LOG_NEWLINE_BEFORE, text);
    }
    EXPECT_STREQ(RecordedLogRow(0), "");
    EXPECT_STREQ(RecordedLogRow(1), "L1");
    EXPECT_STREQ(RecordedLogRow(15), "L15");

    LogWrite(LOG_NEWLINE_BEFORE, "L16");
    EXPECT_STREQ(RecordedLogRow(0), "L1");
    EXPECT_STREQ(RecordedLogRow(14), "L15");
    EXPECT_STREQ(RecordedLogRow(15), "L16");
    // A scroll repaints the whole log area.
    EXPECT_TRUE(LastInvalidationIs(0, INFO_H, 495, INFO_H + 265));

    LogWrite(LOG_NEWLINE_BEFORE, "L17");
    for (int r = 0; r < 15; r++) {
        TextFormat(text, sizeof text, "L%d", r + 2);
        EXPECT_STREQ(RecordedLogRow(r), text) << "row " << r;
    }
    EXPECT_STREQ(RecordedLogRow(15), "L17");
    EXPECT_STREQ(RecordedLogRow(16), "");
}

TEST_F(LogViewTest, RowLeftAtSixteenScrollsBeforeTheNextWrite) {
    char text[TEXT_SIZE];
    for (int i = 1; i <= 15; i++) {
        TextFormat(text, sizeof text, "L%d", i);
        LogWrite(LOG_NEWLINE_BEFORE, text);
    }
    LogWrite(LOG_NEWLINE_AFTER, "last of the page");
    EXPECT_STREQ(RecordedLogRow(15), "last of the page");
    LogWrite(0, "next");
    EXPECT_STREQ(RecordedLogRow(14), "last of the page");
    EXPECT_STREQ(RecordedLogRow(15), "next");
    EXPECT_STREQ(RecordedLogRow(13), "L14");
}

TEST_F(LogViewTest, ClearBlanksTheLogRepaintsTheWindowAndRestartsAtRowZero) {
    for (int i = 0; i < 20; i++) {
        LogWrite(LOG_NEWLINE_BEFORE, "line");
    }
    LogClear();
    for (int r = 0; r < LOG_ROW_COUNT; r++) {
        EXPECT_STREQ(RecordedLogRow(r), "") << "row " << r;
    }
    ASSERT_GT(RecordedInvalidationCount(), 0);
    EXPECT_TRUE(RecordedInvalidationAt(RecordedInvalidationCount() - 1).whole);
    LogWrite(0, "again");
    EXPECT_STREQ(RecordedLogRow(0), "again");
}

struct HeightCase {
    int clientHeight;
    int showLog;
    int hasLog;
    int infoHeight;
};

TEST(LogViewArea, LogAreaNeedsMoreThanFiftyPixelsBelowTheInfoArea) {
    const HeightCase cases[] = {
        {300, 1, 1, 250}, // log area 51 high
        {299, 1, 0, 250}, // 50 high: none
        {514, 0, 0, 250}, // not asked for
        {120, 1, 0, 121}, // a low window: the info area is the client area plus one
    };
    for (const HeightCase& c : cases) {
        SCOPED_TRACE(c.clientHeight);
        CreateView(CLIENT_W, c.clientHeight, c.showLog);
        int w = 0, h = 0;
        ASSERT_TRUE(RecordedSurfaceSize(RECORD_SURFACE_INFO, &w, &h));
        EXPECT_EQ(h, c.infoHeight);
        EXPECT_EQ(RecordedSurfaceSize(RECORD_SURFACE_LOG, &w, &h), c.hasLog);
        RecordClearInvalidations();
        LogWrite(LOG_NEWLINE_BEFORE, "lost without a log area");
        LogClear();
        EXPECT_EQ(RecordedInvalidationCount(), c.hasLog ? 2 : 0);
        // The info area works either way.
        InfoPutStatus(0, 0, "status", 1);
        EXPECT_STREQ(RecordedStatusRow(0), "status");
        LogViewDestroy();
        EXPECT_EQ(RecordedSurfaceCount(), 0);
        EXPECT_EQ(RecordedMisuseCount(), 0);
    }
}

struct AlignCase {
    int x;
    const char* text;
    int bold;
    int alignRight;
    int startX;
};

TEST_F(LogViewTest, DetailsTextIsPlacedFromTheBlocksLeftEdge) {
    const AlignCase cases[] = {
        {200, "Name :", 1, 1, 310 - 6 * RECORD_BOLD_CHAR_WIDTH}, // ends at x = 310
        {200, "Latest Software Version :", 1, 1, 310 - 25 * 8},  // just fits
        {200, "A label wider than two hundred px", 1, 1, 110},   // clamped at the edge
        {200, "Name :", 0, 1, 310 - 6 * RECORD_CHAR_WIDTH},      // measured in its font
        {210, "value", 0, 0, 320},
        {10, "Turn it off and back on to use it.", 0, 0, 120},
    };
    for (const AlignCase& c : cases) {
        SCOPED_TRACE(c.text);
        InfoPutDetails(c.x, 1, c.text, c.bold, 1, c.alignRight);
        RecordedRun run;
        ASSERT_EQ(RecordedRuns(RECORD_SURFACE_INFO, 36, &run, 1), 1);
        EXPECT_EQ(run.x, c.startX);
        EXPECT_EQ(run.bold, c.bold);
        EXPECT_STREQ(run.chars, c.text);
        EXPECT_EQ(run.text, LOG_RGB(0, 0, 0));
        EXPECT_EQ(run.background, LOG_RGB(192, 192, 192));
    }
}

TEST_F(LogViewTest, LabelAndValueShareADetailsRowAndEachCallPicksItsFont) {
    InfoPutDetails(200, 0, "Name :", 1, 1, 1);
    InfoPutDetails(210, 0, "ORVENT", 0, 0, 0);
    EXPECT_STREQ(RecordedDetailsRow(0), "Name : ORVENT");
    RecordedRun runs[2];
    ASSERT_EQ(RecordedRuns(RECORD_SURFACE_INFO, 20, runs, 2), 2);
    EXPECT_TRUE(runs[0].bold);
    EXPECT_FALSE(runs[1].bold);
    // The status row must not inherit the bold font the details left selected.
    InfoPutDetails(0, 1, "Open system file(*.vsb)", 1, 1, 0);
    InfoPutStatus(0, 0, "Now updating...", 0);
    ASSERT_EQ(RecordedRuns(RECORD_SURFACE_INFO, 105, runs, 1), 1);
    EXPECT_FALSE(runs[0].bold);
    EXPECT_EQ(runs[0].x, 130);
}

TEST_F(LogViewTest, InfoBandsAreAlwaysInvalidatedAndBlankedOnlyWhenAsked) {
    RecordClearInvalidations();
    RecordClearFills();
    InfoPutDetails(0, 2, "details", 0, 0, 0);
    EXPECT_TRUE(LastInvalidationIs(110, 52, 480, 68));
    EXPECT_EQ(RecordedFillCount(), 0);
    InfoPutDetails(0, 2, "x", 0, 1, 0);
    ASSERT_EQ(RecordedFillCount(), 1);
    EXPECT_TRUE(SameRect(RecordedFillAt(0).rect, 110, 52, 480, 68));
    EXPECT_EQ(RecordedFillAt(0).colour, INFO_BRUSH);
    EXPECT_STREQ(RecordedDetailsRow(2), "x");

    // The status band reaches the client's right edge.
    InfoPutStatus(0, 1, "Now Updating...(10%)", 1);
    EXPECT_TRUE(LastInvalidationIs(130, 121, CLIENT_W, 137));
    // Without clearing, a shorter text only covers its own cells.
    InfoPutStatus(0, 1, "Done", 0);
    EXPECT_STREQ(RecordedStatusRow(1), "DoneUpdating...(10%)");
    InfoPutStatus(0, 1, "Done", 1);
    EXPECT_STREQ(RecordedStatusRow(1), "Done");
}

TEST_F(LogViewTest, ClearingOneInfoBlockLeavesTheOtherAlone) {
    InfoPutDetails(0, 0, "Open system file(*.vsb)", 1, 1, 0);
    InfoPutDetails(10, 3, "row three", 0, 1, 0);
    InfoPutStatus(0, 0, "Push 'Update' to open the last file :", 1);
    InfoPutStatus(0, 1, "C:\\files\\last.vsb", 1);

    InfoClearDetails();
    EXPECT_TRUE(LastInvalidationIs(110, 20, 480, 84));
    EXPECT_STREQ(RecordedDetailsRow(0), "");
    EXPECT_STREQ(RecordedDetailsRow(3), "");
    EXPECT_STREQ(RecordedStatusRow(0), "Push 'Update' to open the last file :");

    InfoPutDetails(0, 0, "again", 0, 1, 0);
    InfoClearStatus();
    EXPECT_TRUE(LastInvalidationIs(130, 105, CLIENT_W, 141));
    EXPECT_STREQ(RecordedStatusRow(0), "");
    EXPECT_STREQ(RecordedStatusRow(1), "");
    EXPECT_STREQ(RecordedDetailsRow(0), "again");
}

struct PaintCase {
    const char* name;
    LogRect damaged;
    int showLog;
    std::vector<RecordedCopy> copies;
};

bool SameCopy(const RecordedCopy& a, const RecordedCopy& b) {
    return a.surface == b.surface && a.destX == b.destX && a.destY == b.destY &&
           a.width == b.width && a.height == b.height && a.sourceX == b.sourceX &&
           a.sourceY == b.sourceY;
}

TEST(LogViewPaint, CopiesOnlyTheDamagedRectangleFromEachArea) {
    const int I = RECORD_SURFACE_INFO;
    const int L = RECORD_SURFACE_LOG;
    const PaintCase cases[] = {
        {"whole window",
         {0, 0, 494, 514},
         1,
         {{I, 0, 0, 495, 250, 0, 0}, {L, 0, 250, 495, 265, 0, 0}}},
        {"inside the info area", {10, 20, 100, 40}, 1, {{I, 10, 20, 91, 21, 10, 20}}},
        {"inside the log area", {0, 300, 50, 310}, 1, {{L, 0, 300, 51, 11, 0, 50}}},
        {"across the border",
         {5, 240, 20, 260},
         1,
         {{I, 5, 240, 16, 10, 5, 240}, {L, 5, 250, 16, 11, 5, 0}}},
        {"below the info area without a log", {0, 300, 50, 310}, 0, {}},
    };
    for (const PaintCase& c : cases) {
        SCOPED_TRACE(c.name);
        CreateView(CLIENT_W, CLIENT_H, c.showLog);
        RecordSetPaintRect(c.damaged.left, c.damaged.top, c.damaged.right, c.damaged.bottom);
        LogViewPaint();
        EXPECT_EQ(RecordedPaintCount(), 1);
        ASSERT_EQ(RecordedCopyCount(), (int)c.copies.size());
        for (size_t i = 0; i < c.copies.size(); i++) {
            RecordedCopy got = RecordedCopyAt((int)i);
            EXPECT_TRUE(SameCopy(got, c.copies[i]))
                << "copy " << i << ": surface " << got.surface << " to (" << got.destX << ","
                << got.destY << ") " << got.width << "x" << got.height << " from (" << got.sourceX
                << "," << got.sourceY << ")";
        }
        LogViewDestroy();
        EXPECT_EQ(RecordedMisuseCount(), 0);
    }
}

TEST(LogViewLifecycle, CallsOutsideTheViewsLifetimeDoNothing) {
    RecordReset();
    LogViewDestroy(); // never created
    LogWrite(LOG_NEWLINE_BEFORE, "early");
    InfoPutStatus(0, 0, "early", 1);
    LogViewPaint();
    CreateView(CLIENT_W, CLIENT_H, 1);
    LogViewDestroy();
    // A writer thread that outlives the window must not draw on released surfaces.
    LogWrite(LOG_NEWLINE_BEFORE, "late");
    LogClear();
    InfoPutDetails(0, 0, "late", 1, 1, 1);
    InfoClearDetails();
    InfoClearStatus();
    LogViewPaint();
    LogViewDestroy();
    EXPECT_EQ(RecordedMisuseCount(), 0);
    EXPECT_EQ(RecordedSurfaceCount(), 0);
    EXPECT_EQ(RecordedFontCount(), 0);
    EXPECT_EQ(RecordedPaintCount(), 0);
}

} // namespace
