// The log view drawn with GDI into a real window (runs under Wine with a display).
#include "logview/log_view.h"

#include "logview/log_surface_gdi_testing.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

const int CLIENT_W = 494;
const int CLIENT_H = 514;
const int INFO_SLOT = 0;
const int LOG_SLOT = 1;
const LogColour INFO_BACK = LOG_RGB(192, 192, 192);
const LogColour LOG_BACK = LOG_RGB(0, 64, 96);

LRESULT CALLBACK TestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        LogViewPaint();
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Columns of a band that hold anything but the background: the text's extent.
struct Extent {
    int left;
    int right; // exclusive; left == right when the band is blank
};

Extent InkExtent(int slot, int top, int bottom, int fromX, int toX, LogColour background) {
    Extent e = {0, 0};
    bool found = false;
    for (int x = fromX; x < toX; x++) {
        for (int y = top; y < bottom; y++) {
            LogColour c;
            if (LogSurfaceGdiPixel(slot, x, y, &c) && c != background) {
                if (!found) {
                    e.left = x;
                    found = true;
                }
                e.right = x + 1;
                break;
            }
        }
    }
    return e;
}

class LogViewGdiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = TestWindowProc;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.lpszClassName = "LogViewGdiTest";
        RegisterClassA(&wc);
        // A popup has no frame, so its client area is the window.
        window_ = CreateWindowExA(0, "LogViewGdiTest", "log view", WS_POPUP, 0, 0, CLIENT_W,
                                  CLIENT_H, NULL, NULL, wc.hInstance, NULL);
        ASSERT_NE(window_, (HWND)NULL);
        logBrush_ = CreateSolidBrush(RGB(0, 64, 96));
        infoBrush_ = CreateSolidBrush(RGB(192, 192, 192));
        LogViewCreate(window_, (LogBrush)logBrush_, (LogBrush)infoBrush_, 1);
    }
    void TearDown() override {
        LogViewDestroy();
        LogColour c;
        EXPECT_FALSE(LogSurfaceGdiPixel(INFO_SLOT, 0, 0, &c));
        EXPECT_FALSE(LogSurfaceGdiPixel(LOG_SLOT, 0, 0, &c));
        if (window_ != NULL) {
            DestroyWindow(window_);
        }
        // Both brushes must still be deletable: the view never keeps them selected.
        EXPECT_TRUE(DeleteObject(logBrush_));
        EXPECT_TRUE(DeleteObject(infoBrush_));
    }
    HWND window_ = NULL;
    HBRUSH logBrush_ = NULL;
    HBRUSH infoBrush_ = NULL;
};

TEST_F(LogViewGdiTest, AreasAreFilledWithTheirBrushesAndSizedFromTheClientArea) {
    LogColour c = 0;
    ASSERT_TRUE(LogSurfaceGdiPixel(INFO_SLOT, 494, 249, &c));
    EXPECT_EQ(c, INFO_BACK);
    EXPECT_FALSE(LogSurfaceGdiPixel(INFO_SLOT, 495, 0, &c));
    EXPECT_FALSE(LogSurfaceGdiPixel(INFO_SLOT, 0, 250, &c));
    ASSERT_TRUE(LogSurfaceGdiPixel(LOG_SLOT, 0, 264, &c));
    EXPECT_EQ(c, LOG_BACK);
    EXPECT_FALSE(LogSurfaceGdiPixel(LOG_SLOT, 0, 265, &c));
    // This program carries no icon resource: the icon is skipped, nothing else drawn.
    ASSERT_TRUE(LogSurfaceGdiPixel(INFO_SLOT, 50, 50, &c));
    EXPECT_EQ(c, INFO_BACK);
}

TEST_F(LogViewGdiTest, LogLinesAreDrawnInTheirRowAndScrollUp) {
    LogWrite(0, "Tx Set Mode...");
    Extent row0 = InkExtent(LOG_SLOT, 0, 16, 0, 495, LOG_BACK);
    EXPECT_GE(row0.left, 12);
    EXPECT_GT(row0.right, row0.left + 40);
    Extent row1 = InkExtent(LOG_SLOT, 16, 32, 0, 495, LOG_BACK);
    EXPECT_EQ(row1.left, row1.right);

    // Fifteen more lines reach row 15; the next one scrolls "Tx Set Mode..." off the top.
    for (int i = 0; i < 15; i++) {
        LogWrite(LOG_NEWLINE_BEFORE, "Rx Ack");
    }
    Extent ack = InkExtent(LOG_SLOT, 16 * 15, 16 * 16, 0, 495, LOG_BACK);
    EXPECT_GT(ack.right, ack.left);
    LogWrite(LOG_NEWLINE_BEFORE, "Update Completed!");
    Extent top = InkExtent(LOG_SLOT, 0, 16, 0, 495, LOG_BACK);
    Extent last = InkExtent(LOG_SLOT, 16 * 15, 16 * 16, 0, 495, LOG_BACK);
    EXPECT_EQ(top.right, ack.right); // "Rx Ack" moved up into row 0
    EXPECT_GT(last.right, ack.right);
    Extent below = InkExtent(LOG_SLOT, 256, 265, 0, 495, LOG_BACK);
    EXPECT_EQ(below.left, below.right);

    LogClear();
    Extent cleared = InkExtent(LOG_SLOT, 0, 256, 0, 495, LOG_BACK);
    EXPECT_EQ(cleared.left, cleared.right);
}

TEST_F(LogViewGdiTest, RightAlignedDetailsLabelEndsAtItsX) {
    InfoPutDetails(200, 0, "Name :", 1, 1, 1);
    InfoPutDetails(210, 0, "ORVENT", 0, 0, 0);
    Extent label = InkExtent(INFO_SLOT, 20, 36, 110, 315, INFO_BACK);
    EXPECT_LE(label.right, 311);
    EXPECT_GE(label.right, 300);
    EXPECT_GE(label.left, 250);
    Extent value = InkExtent(INFO_SLOT, 20, 36, 315, 495, INFO_BACK);
    EXPECT_GE(value.left, 320);

    InfoPutStatus(0, 1, "Now updating...", 1);
    Extent status = InkExtent(INFO_SLOT, 121, 137, 0, 495, INFO_BACK);
    EXPECT_GE(status.left, 130);
    EXPECT_GT(status.right, status.left + 40);

    InfoClearDetails();
    InfoClearStatus();
    EXPECT_EQ(InkExtent(INFO_SLOT, 20, 84, 110, 480, INFO_BACK).right, 0);
    EXPECT_EQ(InkExtent(INFO_SLOT, 105, 141, 130, 495, INFO_BACK).right, 0);
}

TEST_F(LogViewGdiTest, PaintCopiesBothAreasToTheWindow) {
    LogWrite(0, "Update Completed!");
    ShowWindow(window_, SW_SHOWNOACTIVATE);
    InvalidateRect(window_, NULL, FALSE);
    UpdateWindow(window_);
    HDC dc = GetDC(window_);
    ASSERT_NE(dc, (HDC)NULL);
    EXPECT_EQ((LogColour)GetPixel(dc, 5, 5), INFO_BACK);
    EXPECT_EQ((LogColour)GetPixel(dc, 5, 400), LOG_BACK);
    bool ink = false;
    for (int x = 12; x < 150 && !ink; x++) {
        for (int y = 250; y < 266 && !ink; y++) {
            COLORREF c = GetPixel(dc, x, y);
            ink = c != CLR_INVALID && c != LOG_BACK;
        }
    }
    EXPECT_TRUE(ink);
    ReleaseDC(window_, dc);
}

} // namespace
