// The Windows capture layer on Wine's desktop (the private Xvfb): the GDI
// grab and the screenshot of a window of known colour, the DXGI geometry,
// the probe with its COM balance, and the clock.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kestrova/screenrecorder.h"
#include "platform/grab.h"
#include "platform/platform.h"
#include "screenrecorder/display.h"
#include "screenrecorder/job.h"
#include "screenrecorder/options.h"
#include "screenrecorder/worker.h"
#include "support/files_win32.h"

namespace {

// A topmost borderless window filled with one colour, shown while the object
// lives. Wine maps it on the X server asynchronously, so callers wait until
// the screen shows it (`wait_until_shown`).
class colour_window {
  public:
    colour_window(RECT rect, COLORREF colour) : rect_(rect), brush_(CreateSolidBrush(colour)) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hbrBackground = brush_;
        wc.lpszClassName = L"ksr_colour_window";
        RegisterClassW(&wc);
        hwnd_ = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, wc.lpszClassName, L"",
                                WS_POPUP | WS_VISIBLE, rect.left, rect.top, rect.right - rect.left,
                                rect.bottom - rect.top, nullptr, nullptr, wc.hInstance, nullptr);
        if (hwnd_ != nullptr) {
            ShowWindow(hwnd_, SW_SHOWNOACTIVATE);
            UpdateWindow(hwnd_);
        }
    }
    ~colour_window() {
        if (hwnd_ != nullptr) {
            DestroyWindow(hwnd_);
        }
        UnregisterClassW(L"ksr_colour_window", GetModuleHandleW(nullptr));
        DeleteObject(brush_);
    }
    colour_window(const colour_window &) = delete;
    colour_window &operator=(const colour_window &) = delete;

    bool created() const { return hwnd_ != nullptr; }
    void pump() const {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    // Polls the screen's centre pixel of the window until it has `colour`.
    bool wait_until_shown(COLORREF colour) const {
        HDC screen = GetDC(nullptr);
        bool shown = false;
        for (int i = 0; i < 200 && !shown; ++i) {
            pump();
            RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
            shown =
                GetPixel(screen, (rect_.left + rect_.right) / 2, (rect_.top + rect_.bottom) / 2) == colour;
            if (!shown) {
                Sleep(50);
            }
        }
        ReleaseDC(nullptr, screen);
        return shown;
    }

  private:
    RECT rect_;
    HBRUSH brush_;
    HWND hwnd_ = nullptr;
};

constexpr COLORREF kColour = RGB(0x20, 0x30, 0x40);
constexpr RECT kWindowRect{200, 150, 296, 214}; // 96 x 64
constexpr int32_t kWindowW = kWindowRect.right - kWindowRect.left;
constexpr int32_t kWindowH = kWindowRect.bottom - kWindowRect.top;

class ColourWindow : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        window_ = new colour_window(kWindowRect, kColour);
        shown_ = window_->created() && window_->wait_until_shown(kColour);
    }
    static void TearDownTestSuite() {
        delete window_;
        window_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(shown_) << "the test window never appeared on the screen"; }

    static colour_window *window_;
    static bool shown_;
};
colour_window *ColourWindow::window_ = nullptr;
bool ColourWindow::shown_ = false;

TEST_F(ColourWindow, GdiGrabDeliversTheWindowTopDownInBgrOrder) {
    // The rectangle starts 8 pixels above the window, so its first 8 rows are
    // the black root window and the rest the window: a bottom-up copy would
    // show the black rows last.
    constexpr int32_t w = kWindowW, h = kWindowH;
    grab_context ctx{};
    ASSERT_TRUE(grab_open(&ctx, w, h));
    EXPECT_NE(ctx.screen_dc, nullptr);
    EXPECT_NE(ctx.memory_dc, nullptr);
    EXPECT_NE(ctx.bitmap, nullptr);
    EXPECT_NE(ctx.previous_object, nullptr);
    EXPECT_EQ(ctx.bitmap_info.bmiHeader.biHeight, -h);
    EXPECT_EQ(ctx.bitmap_info.bmiHeader.biBitCount, 32);

    std::vector<uint8_t> pixels(static_cast<std::size_t>(w) * h * 4, 0xAB);
    // Twice with the same objects: each frame is one BitBlt and one GetDIBits.
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(grab_frame(&ctx, kWindowRect.left, kWindowRect.top - 8, pixels.data())) << round;
        int wrong = 0;
        for (int32_t y = 0; y < h; ++y) {
            for (int32_t x = 0; x < w; ++x) {
                const uint8_t *p = &pixels[(static_cast<std::size_t>(y) * w + x) * 4];
                const bool window_row = y >= 8;
                const uint8_t want[3] = {static_cast<uint8_t>(window_row ? 0x40 : 0),
                                         static_cast<uint8_t>(window_row ? 0x30 : 0),
                                         static_cast<uint8_t>(window_row ? 0x20 : 0)};
                wrong += std::memcmp(p, want, 3) != 0;
            }
        }
        EXPECT_EQ(wrong, 0) << "round " << round;
    }

    grab_close(&ctx);
    EXPECT_EQ(ctx.screen_dc, nullptr);
    EXPECT_EQ(ctx.memory_dc, nullptr);
    EXPECT_EQ(ctx.bitmap, nullptr);
    EXPECT_EQ(ctx.previous_object, nullptr);
    EXPECT_FALSE(ctx.ready);
}

// A media sink that keeps what a recording hands it; Wine's Media Foundation
// cannot make the real writer, and this is the seam the worker writes to.
struct kept_recording {
    std::atomic<int> video_frames{0};
    int audio_chunks = 0;
    std::size_t audio_bytes = 0;
    int frames_not_the_window = 0;
    bool times_follow_the_index = true;
    bool finalized = false;
    bool shut_down = false;
};
kept_recording g_kept;

void *kept_create() {
    return &g_kept;
}
int kept_ok(void *, char *, std::size_t) {
    return 0;
}
int kept_open(void *, const char *, char *, std::size_t) {
    return 0;
}
int kept_add_video(void *, const video_stream_desc *, char *, std::size_t) {
    return 0;
}
sink_write kept_video(void *, const bgra_picture *picture, int64_t index, int64_t time_hns,
                      int64_t duration_hns) {
    // The GDI grab hands over whole rows one after the other.
    const uint8_t *bgra = picture->pixels;
    const std::size_t bytes = static_cast<std::size_t>(kWindowW) * 4 * kWindowH;
    bool window = picture->stride == static_cast<std::size_t>(kWindowW) * 4 && !picture->unchanged;
    for (std::size_t i = 0; i < bytes && window; i += 4) {
        window = bgra[i] == 0x40 && bgra[i + 1] == 0x30 && bgra[i + 2] == 0x20;
    }
    g_kept.frames_not_the_window += !window;
    g_kept.times_follow_the_index =
        g_kept.times_follow_the_index && time_hns == index * 333333 && duration_hns == 333333;
    g_kept.video_frames.fetch_add(1);
    return sink_write::ok;
}
sink_write kept_audio(void *, const uint8_t *, std::size_t bytes, int64_t, int64_t, int64_t) {
    ++g_kept.audio_chunks;
    g_kept.audio_bytes = bytes;
    return sink_write::ok;
}
int kept_finalize(void *, char *, std::size_t) {
    g_kept.finalized = true;
    return 0;
}
void kept_nothing(void *) {}
void kept_shutdown(void *) {
    g_kept.shut_down = true;
}

const media_sink_ops kKeptSink{kept_create,   kept_ok,      kept_open,     kept_add_video,
                               kept_ok,       kept_ok,      kept_video,    kept_audio,
                               kept_finalize, kept_nothing, kept_shutdown, kept_nothing};

// The worker over the Windows clock, sleep and GDI grab, recording the
// window's rectangle: every frame is the window, stamped by its index.
TEST_F(ColourWindow, RecordingOnTheRealClockGrabsTheRegionIntoEveryFrame) {
    static recording_job job{};
    job = recording_job{};
    parse_options("{\"fps\":30}", &job.opts);
    job.grab_x = kWindowRect.left;
    job.grab_y = kWindowRect.top;
    job.width = kWindowW;
    job.height = kWindowH;
    worker_env env = platform_worker_env();
    env.sink = &kKeptSink;

    uint32_t code = 99;
    std::thread worker([&] { code = record_job(&job, env); });
    for (int i = 0; i < 400 && g_kept.video_frames.load() < 6; ++i) {
        Sleep(25);
    }
    shared_store(job.stop_requested, int32_t{1});
    worker.join();

    EXPECT_EQ(code, 0u) << job.error;
    EXPECT_GE(g_kept.video_frames.load(), 6);
    EXPECT_EQ(shared_load(job.frames), g_kept.video_frames.load());
    EXPECT_EQ(g_kept.frames_not_the_window, 0);
    EXPECT_TRUE(g_kept.times_follow_the_index);
    EXPECT_EQ(g_kept.audio_chunks, g_kept.video_frames.load());
    EXPECT_EQ(g_kept.audio_bytes, 1470u * 4);
    EXPECT_TRUE(g_kept.finalized);
    EXPECT_TRUE(g_kept.shut_down);
}

// The library's PNG: signature, IHDR, IDAT chunks holding a zlib stream of
// stored blocks, IEND. Returns RGBA rows, or nothing when the file is not
// of that form.
struct rgba_image {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> pixels;
};

uint32_t be32(const std::string &s, std::size_t at) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(s[at])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 8) | static_cast<uint8_t>(s[at + 3]);
}

bool decode_stored_png(const std::string &file, rgba_image *image) {
    static const char kSignature[] = "\x89PNG\r\n\x1a\n";
    if (file.size() < 8 || file.compare(0, 8, kSignature, 8) != 0) {
        return false;
    }
    std::string zlib;
    for (std::size_t at = 8; at + 12 <= file.size();) {
        const uint32_t length = be32(file, at);
        const std::string type = file.substr(at + 4, 4);
        if (at + 12 + length > file.size()) {
            return false;
        }
        if (type == "IHDR") {
            image->width = be32(file, at + 8);
            image->height = be32(file, at + 12);
            if (file[at + 16] != 8 || file[at + 17] != 6) { // 8-bit RGBA
                return false;
            }
        } else if (type == "IDAT") {
            zlib.append(file, at + 8, length);
        } else if (type == "IEND") {
            break;
        }
        at += 12 + length;
    }
    std::string raw;
    std::size_t at = 2; // zlib header
    for (bool last = false; !last;) {
        if (at + 5 > zlib.size() || (zlib[at] & 0x06) != 0) { // stored blocks only
            return false;
        }
        last = (zlib[at] & 1) != 0;
        const std::size_t len =
            static_cast<uint8_t>(zlib[at + 1]) | (static_cast<uint8_t>(zlib[at + 2]) << 8);
        raw.append(zlib, at + 5, len);
        at += 5 + len;
    }
    const std::size_t row = static_cast<std::size_t>(image->width) * 4;
    if (raw.size() != (row + 1) * image->height) {
        return false;
    }
    image->pixels.clear();
    for (uint32_t y = 0; y < image->height; ++y) {
        const std::size_t start = y * (row + 1);
        if (raw[start] != 0) { // filter None
            return false;
        }
        image->pixels.insert(image->pixels.end(), raw.begin() + static_cast<std::ptrdiff_t>(start + 1),
                             raw.begin() + static_cast<std::ptrdiff_t>(start + 1 + row));
    }
    return true;
}

TEST_F(ColourWindow, ScreenshotOfTheWindowIsItsColourFullyOpaque) {
    win32_temp_dir dir;
    const std::string png = dir.file("window.png");
    const std::string options = "{\"region\":{\"x\":" + std::to_string(kWindowRect.left) +
                                ",\"y\":" + std::to_string(kWindowRect.top) +
                                ",\"w\":" + std::to_string(kWindowW) + ",\"h\":" + std::to_string(kWindowH) +
                                "}}";
    const char *json = nullptr;
    ASSERT_EQ(screenrecorder_screenshot(png.c_str(), options.c_str(), &json), 0)
        << screenrecorder_last_error();
    ASSERT_NE(json, nullptr);

    const std::string file = read_whole_file(png);
    rgba_image image;
    ASSERT_TRUE(decode_stored_png(file, &image));
    ASSERT_EQ(image.width, static_cast<uint32_t>(kWindowW));
    ASSERT_EQ(image.height, static_cast<uint32_t>(kWindowH));
    int wrong = 0;
    for (std::size_t i = 0; i < image.pixels.size(); i += 4) {
        const uint8_t want[4] = {0x20, 0x30, 0x40, 0xFF};
        wrong += std::memcmp(&image.pixels[i], want, 4) != 0;
    }
    EXPECT_EQ(wrong, 0) << "pixels that are not #203040 with alpha 255";

    std::string escaped;
    for (char c : png) {
        escaped += c;
        if (c == '\\') {
            escaped += '\\';
        }
    }
    EXPECT_EQ(std::string(json), "{\"ok\":true,\"output\":\"" + escaped + "\",\"width\":" +
                                     std::to_string(kWindowW) + ",\"height\":" + std::to_string(kWindowH) +
                                     ",\"size_bytes\":" + std::to_string(file.size()) + "}");
}

// Display 0 without a region is the whole screen from its corner: the window
// shows at its own place in the picture.
TEST_F(ColourWindow, ScreenshotOfDisplayZeroIsTheWholeScreen) {
    win32_temp_dir dir;
    const std::string png = dir.file("screen.png");
    ASSERT_EQ(screenrecorder_screenshot(png.c_str(), "{\"display\":0}", nullptr), 0)
        << screenrecorder_last_error();
    rgba_image image;
    ASSERT_TRUE(decode_stored_png(read_whole_file(png), &image));
    ASSERT_EQ(image.width, static_cast<uint32_t>(GetSystemMetrics(SM_CXSCREEN)));
    ASSERT_EQ(image.height, static_cast<uint32_t>(GetSystemMetrics(SM_CYSCREEN)));
    int wrong = 0;
    for (LONG y = kWindowRect.top; y < kWindowRect.bottom; ++y) {
        for (LONG x = kWindowRect.left; x < kWindowRect.right; ++x) {
            const std::size_t at =
                (static_cast<std::size_t>(y) * image.width + static_cast<std::size_t>(x)) * 4;
            const uint8_t want[4] = {0x20, 0x30, 0x40, 0xFF};
            wrong += std::memcmp(&image.pixels[at], want, 4) != 0;
        }
    }
    EXPECT_EQ(wrong, 0) << "pixels of the window's place that are not #203040";
}

// --- Geometry and probe ------------------------------------------------------

TEST(DxgiGeometry, TheOneOutputIsTheScreenAndDisplayOneDoesNotExist) {
    const int32_t screen_w = GetSystemMetrics(SM_CXSCREEN);
    const int32_t screen_h = GetSystemMetrics(SM_CYSCREEN);
    ASSERT_GT(screen_w, 0);
    ASSERT_GT(screen_h, 0);

    // Wine's DXGI enumerates one adapter with one output: the X screen.
    const display_enumerator &e = platform_display_enumerator();
    void *factory = e.create_factory();
    ASSERT_NE(factory, nullptr);
    void *adapter = nullptr;
    ASSERT_EQ(e.enum_adapter(factory, 0, &adapter), enum_result::delivered);
    void *output = nullptr;
    ASSERT_EQ(e.enum_output(adapter, 0, &output), enum_result::delivered);
    int32_t left = -1, top = -1, w = -1, h = -1;
    EXPECT_TRUE(e.get_desc(output, &left, &top, &w, &h));
    EXPECT_EQ(left, 0);
    EXPECT_EQ(top, 0);
    EXPECT_EQ(w, screen_w);
    EXPECT_EQ(h, screen_h);
    void *none = reinterpret_cast<void *>(uintptr_t{1});
    EXPECT_EQ(e.enum_output(adapter, 1, &none), enum_result::not_found);
    EXPECT_EQ(none, reinterpret_cast<void *>(uintptr_t{1})) << "nothing is handed out past the last output";
    e.release_output(output);
    e.release_adapter(adapter);
    e.release_factory(factory);

    int32_t dw = 0, dh = 0, hz = 0;
    EXPECT_EQ(win32_get_display_info(0, &dw, &dh, &hz), 0);
    EXPECT_EQ(dw, screen_w);
    EXPECT_EQ(dh, screen_h);
    EXPECT_EQ(hz, 60);
    display_geometry g{};
    EXPECT_EQ(get_display_geometry(0, &g), 0);
    EXPECT_EQ(g.x, 0);
    EXPECT_EQ(g.y, 0);
    EXPECT_EQ(g.width, screen_w);
    EXPECT_EQ(g.height, screen_h);
    int32_t untouched[3] = {7, 7, 7};
    EXPECT_EQ(win32_get_display_info(1, &untouched[0], &untouched[1], &untouched[2]), -1);
    EXPECT_EQ(untouched[0] + untouched[1] + untouched[2], 21);

    win32_temp_dir dir;
    const std::string png = dir.file("none.png");
    const char *json = nullptr;
    EXPECT_EQ(screenrecorder_screenshot(png.c_str(), "{\"display\":1}", &json), -2);
    EXPECT_STREQ(screenrecorder_last_error(), "display index 1 out of range");
    EXPECT_EQ(json, nullptr);
    EXPECT_FALSE(file_exists(png));
}

TEST(Probe, ReportsTheScreenSizeDxgiAndTheAudioAnswer) {
    const char *json = nullptr;
    ASSERT_EQ(screenrecorder_probe(&json), 0);
    ASSERT_NE(json, nullptr);
    const std::string size = "\"width\":" + std::to_string(GetSystemMetrics(SM_CXSCREEN)) +
                             ",\"height\":" + std::to_string(GetSystemMetrics(SM_CYSCREEN));
    const std::string head =
        "{\"displays\":[{\"index\":0," + size + ",\"refresh_hz\":60}],\"capture_method\":\"dxgi\"";
    const std::string audio = platform_default_capture_device_exists() ? "true" : "false";
    EXPECT_EQ(std::string(json), head + ",\"can_audio\":" + audio + "}");

    const char *again = nullptr;
    ASSERT_EQ(screenrecorder_probe(&again), 0);
    EXPECT_EQ(again, json) << "the same buffer every time";
}

// The probe initialises COM for its own call only: a thread without COM is
// left without it, and a host's single-threaded apartment is left standing
// (the probe's own CoInitializeEx fails there and must not be balanced).
TEST(Probe, LeavesTheCallingThreadsComAsItFoundIt) {
    struct result {
        HRESULT after;
    };
    auto run = [](bool host_sta) {
        result r{};
        std::thread([&] {
            if (host_sta) {
                ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
            }
            const char *json = nullptr;
            EXPECT_EQ(screenrecorder_probe(&json), 0);
            // S_OK: COM was not initialised here; S_FALSE: the apartment of
            // the same kind is still in place.
            r.after = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            if (SUCCEEDED(r.after)) {
                CoUninitialize();
            }
            if (host_sta) {
                CoUninitialize();
            }
        }).join();
        return r.after;
    };
    EXPECT_EQ(run(false), S_OK) << "the probe left COM initialised on a thread that had none";
    EXPECT_EQ(run(true), S_FALSE) << "the probe undid the host's apartment";
}

// --- Clock ---------------------------------------------------------------------

TEST(Clock, MillisecondsAreMonotonicAndSleepsLastAtLeastTheirTime) {
    const int64_t t0 = platform_now_ms();
    for (int64_t ms : {1, 5, 20}) {
        const int64_t before = platform_now_ms();
        platform_sleep_ms(ms);
        EXPECT_GE(platform_now_ms() - before, ms) << ms;
    }
    platform_sleep_ms(0);
    platform_sleep_ms(-5);
    EXPECT_GE(platform_now_ms(), t0);
}

TEST(Clock, SleepingLeavesNoHandleBehind) {
    platform_sleep_ms(1); // whatever the first call sets up once
    DWORD before = 0, after = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
    for (int i = 0; i < 50; ++i) {
        platform_sleep_ms(1);
    }
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
    EXPECT_LE(after, before);
}

} // namespace
