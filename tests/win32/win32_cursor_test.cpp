// The pointer in the GDI grab and the screenshot, on Wine's desktop: a window
// of one colour with the arrow pointer over it. With the pointer asked for,
// the picture is the window with the pointer's icon drawn where the pointer
// points (its hot spot there), and the window's colour everywhere else;
// without it, the window alone.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kestrova/screenrecorder.h"
#include "platform/grab.h"
#include "support/files_win32.h"
#include "support/png_read.h"

namespace {

constexpr COLORREF kColour = RGB(0x30, 0xc0, 0x50);
constexpr RECT kRect{100, 80, 260, 200}; // 160 x 120
constexpr int32_t kW = kRect.right - kRect.left;
constexpr int32_t kH = kRect.bottom - kRect.top;

// IDC_ARROW, whichever character set the headers default to.
HCURSOR arrow_cursor() {
    return LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
}

LRESULT CALLBACK arrow_window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_SETCURSOR) {
        SetCursor(arrow_cursor());
        return TRUE;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

// A topmost window of kColour over kRect, in the foreground, showing the
// arrow pointer.
class arrow_window {
  public:
    arrow_window() : brush_(CreateSolidBrush(kColour)) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = arrow_window_proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hbrBackground = brush_;
        wc.hCursor = arrow_cursor();
        wc.lpszClassName = L"ksr_arrow_window";
        RegisterClassW(&wc);
        hwnd_ = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"", WS_POPUP | WS_VISIBLE, kRect.left,
                                kRect.top, kW, kH, nullptr, nullptr, wc.hInstance, nullptr);
    }
    ~arrow_window() {
        if (hwnd_ != nullptr) {
            DestroyWindow(hwnd_);
        }
        UnregisterClassW(L"ksr_arrow_window", GetModuleHandleW(nullptr));
        DeleteObject(brush_);
    }
    arrow_window(const arrow_window &) = delete;
    arrow_window &operator=(const arrow_window &) = delete;

    // Brings the window up with the pointer at (x, y) of the screen and waits
    // until the screen shows the window and the pointer is the arrow.
    bool show_with_pointer_at(int32_t x, int32_t y) {
        if (hwnd_ == nullptr) {
            return false;
        }
        SetForegroundWindow(hwnd_);
        SetCursorPos(x, y);
        HDC screen = GetDC(nullptr);
        bool ready = false;
        for (int i = 0; i < 200 && !ready; ++i) {
            pump();
            RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
            SetCursor(arrow_cursor());
            CURSORINFO info{};
            info.cbSize = sizeof info;
            POINT at{};
            ready = GetPixel(screen, kRect.left + 2, kRect.top + 2) == kColour && GetCursorInfo(&info) != 0 &&
                    (info.flags & CURSOR_SHOWING) != 0 && info.hCursor == arrow_cursor() &&
                    GetCursorPos(&at) != 0 && at.x == x && at.y == y;
            if (!ready) {
                Sleep(50);
            }
        }
        ReleaseDC(nullptr, screen);
        return ready;
    }

  private:
    void pump() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    HBRUSH brush_;
    HWND hwnd_ = nullptr;
};

// The window's rectangle as it should look with the arrow drawn with its hot
// spot at (x, y) of the screen: the arrow's icon drawn onto a bitmap of the
// window's colour, read back as top-down BGRA.
std::vector<uint8_t> expected_picture(int32_t x, int32_t y) {
    HCURSOR arrow = arrow_cursor();
    ICONINFO icon{};
    GetIconInfo(arrow, &icon);
    if (icon.hbmMask != nullptr) {
        DeleteObject(icon.hbmMask);
    }
    if (icon.hbmColor != nullptr) {
        DeleteObject(icon.hbmColor);
    }
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, kW, kH);
    HGDIOBJ old = SelectObject(dc, bitmap);
    HBRUSH brush = CreateSolidBrush(kColour);
    const RECT all{0, 0, kW, kH};
    FillRect(dc, &all, brush);
    DeleteObject(brush);
    DrawIconEx(dc, x - static_cast<int>(icon.xHotspot) - kRect.left,
               y - static_cast<int>(icon.yHotspot) - kRect.top, arrow, 0, 0, 0, nullptr, DI_NORMAL);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = kW;
    bi.bmiHeader.biHeight = -kH;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    std::vector<uint8_t> px(static_cast<size_t>(kW) * kH * 4);
    GetDIBits(dc, bitmap, 0, kH, px.data(), &bi, DIB_RGB_COLORS);
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return px;
}

bool is_window_colour(const uint8_t *bgr) {
    return bgr[0] == GetBValue(kColour) && bgr[1] == GetGValue(kColour) && bgr[2] == GetRValue(kColour);
}

// Counts the pixels whose colour differs from `want` (fourth bytes aside),
// and how many of `want`'s pixels are not the window's colour (the arrow).
struct comparison {
    int wrong = 0;
    int arrow = 0;
};
comparison compare_bgr(const std::vector<uint8_t> &got, const std::vector<uint8_t> &want) {
    comparison c;
    for (size_t i = 0; i < want.size(); i += 4) {
        c.wrong += std::memcmp(&got[i], &want[i], 3) != 0;
        c.arrow += !is_window_colour(&want[i]);
    }
    return c;
}

class ArrowOverWindow : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { window_ = new arrow_window(); }
    static void TearDownTestSuite() {
        delete window_;
        window_ = nullptr;
    }
    static arrow_window *window_;
};
arrow_window *ArrowOverWindow::window_ = nullptr;

TEST_F(ArrowOverWindow, GrabDrawsThePointerOnlyWhenAsked) {
    // Inside the window, then so near its bottom-right corner that most of
    // the arrow is clipped away.
    const POINT places[] = {{150, 120}, {kRect.right - 3, kRect.bottom - 2}};
    for (const POINT &at : places) {
        SCOPED_TRACE(std::to_string(at.x) + ", " + std::to_string(at.y));
        ASSERT_TRUE(window_->show_with_pointer_at(at.x, at.y)) << "the window or the arrow never appeared";
        const std::vector<uint8_t> want = expected_picture(at.x, at.y);
        grab_context ctx{};
        ASSERT_TRUE(grab_open(&ctx, kW, kH));
        std::vector<uint8_t> px(want.size());
        ASSERT_TRUE(grab_frame(&ctx, kRect.left, kRect.top, px.data()));
        int not_window = 0;
        for (size_t i = 0; i < px.size(); i += 4) {
            not_window += !is_window_colour(&px[i]);
        }
        EXPECT_EQ(not_window, 0) << "without the pointer the grab is the window alone";

        grab_include_cursor(&ctx, true);
        // Twice with the same objects: the second frame draws it the same way.
        for (int round = 0; round < 2; ++round) {
            ASSERT_TRUE(grab_frame(&ctx, kRect.left, kRect.top, px.data()));
            const comparison c = compare_bgr(px, want);
            EXPECT_EQ(c.wrong, 0) << "round " << round;
            EXPECT_GT(c.arrow, 2) << "the arrow drew nothing in the rectangle";
            // Where the pointer points, the arrow's hot spot is drawn.
            const size_t hot = (static_cast<size_t>(at.y - kRect.top) * kW + (at.x - kRect.left)) * 4;
            EXPECT_FALSE(is_window_colour(&px[hot]));
        }
        grab_close(&ctx);
    }
}

TEST_F(ArrowOverWindow, ScreenshotShowsThePointerOnlyWithTheKey) {
    const POINT at{kRect.left + 40, kRect.top + 30};
    ASSERT_TRUE(window_->show_with_pointer_at(at.x, at.y));
    const std::vector<uint8_t> want = expected_picture(at.x, at.y);
    const std::string region = "\"region\":{\"x\":" + std::to_string(kRect.left) +
                               ",\"y\":" + std::to_string(kRect.top) + ",\"w\":" + std::to_string(kW) +
                               ",\"h\":" + std::to_string(kH) + "}";
    win32_temp_dir dir;
    struct shot {
        const char *cursor;
        bool pointer;
    } shots[] = {
        {"\"cursor\":true,", true}, {"", false}, {"\"cursor\":false,", false}, {"\"cursor\":1,", false}};
    for (const shot &s : shots) {
        SCOPED_TRACE(s.cursor);
        const std::string png = dir.file("shot.png");
        std::string options = "{";
        options += s.cursor;
        options += region;
        options += "}";
        ASSERT_EQ(screenrecorder_screenshot(png.c_str(), options.c_str(), nullptr), 0)
            << screenrecorder_last_error();
        const png_image img = read_library_png(png);
        ASSERT_EQ(img.error, "");
        ASSERT_EQ(img.width, kW);
        ASSERT_EQ(img.height, kH);
        int wrong = 0;
        int arrow = 0;
        for (size_t i = 0; i < want.size(); i += 4) {
            const uint8_t bgr[3] = {img.rgba[i + 2], img.rgba[i + 1], img.rgba[i]};
            const bool window = is_window_colour(bgr);
            arrow += !window;
            wrong += s.pointer ? std::memcmp(bgr, &want[i], 3) != 0 : !window;
            wrong += img.rgba[i + 3] != 255;
        }
        EXPECT_EQ(wrong, 0);
        if (s.pointer) {
            EXPECT_GT(arrow, 2);
        } else {
            EXPECT_EQ(arrow, 0);
        }
    }
}

} // namespace
