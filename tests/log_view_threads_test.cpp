#include "logview/log_view.h"

#include "platform/text.h"
#include "tests/doubles/log_surface_record.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

namespace {

// Each writer's lines must come out whole and in its own order, whatever the other
// threads do meanwhile.
TEST(LogViewThreads, ConcurrentWritersNeverTearARow) {
    const int lines = 400;
    auto writer = [](char tag) {
        char text[TEXT_SIZE];
        for (int i = 0; i < lines; i++) {
            TextFormat(text, sizeof text, "%c%04d", tag, i);
            LogWrite(i % 5 == 0 ? LOG_NEWLINE_BEFORE | LOG_NEWLINE_AFTER : LOG_NEWLINE_BEFORE,
                     text);
        }
    };
    RecordReset();
    LogViewCreate((PlatformWindow)0x1234, LOG_RGB(0, 64, 96), LOG_RGB(192, 192, 192), 1);
    std::thread a(writer, 'A');
    std::thread b(writer, 'B');
    std::thread window([] {
        char text[TEXT_SIZE];
        for (int i = 0; i < lines; i++) {
            TextFormat(text, sizeof text, "Now Updating...(%d%%)", i % 100);
            InfoPutStatus(0, 0, text, 1);
            InfoPutDetails(200, 1, "Block :", 1, 1, 1);
            LogViewPaint();
        }
    });
    a.join();
    b.join();
    window.join();

    int last[2] = {-1, -1};
    for (int r = 0; r < LOG_ROW_COUNT; r++) {
        std::string row = RecordedLogRow(r);
        if (row.empty()) {
            continue;
        }
        ASSERT_EQ(row.size(), 5u) << "row " << r << ": " << row;
        ASSERT_TRUE(row[0] == 'A' || row[0] == 'B') << row;
        int n = atoi(row.c_str() + 1);
        int& prev = last[row[0] - 'A'];
        EXPECT_GT(n, prev) << "row " << r << " out of order: " << row;
        prev = n;
    }
    EXPECT_TRUE(last[0] == lines - 1 || last[1] == lines - 1);
    EXPECT_STREQ(RecordedDetailsRow(1), "Block :");
    LogViewDestroy();
    // Two paints overlapping, or a copy outside a paint, would show here.
    EXPECT_EQ(RecordedMisuseCount(), 0);
}

} // namespace
