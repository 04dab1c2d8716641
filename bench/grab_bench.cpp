// Costs of the X11 screen grab (MIT-SHM and plain GetImage, and with the
// pointer drawn in), of the recording's grab of a still screen, of a whole
// screenshot (grab, encode, write to /dev/shm) beside the way it was taken
// with a fresh segment each time and the copying way, and of the test
// pattern, at 1920 x 1080.
// Needs DISPLAY to name an X server of at least that size; bench/screenshot-
// vs-ffmpeg starts one and runs this beside ffmpeg's x11grab.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include <xcb/xcb.h>

#include "kestrova/screenrecorder.h"
#include "platform/grab.h"
#include "png_writer/png_writer.h"
#include "screenrecorder/cursor_blend.h"
#include "screenrecorder/pattern.h"

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;

void grab_loop(benchmark::State &state, bool shm, bool cursor = false) {
    grab_context ctx{};
    if (!posix_grab_open(&ctx, kWidth, kHeight, shm) || ctx.use_shm != shm) {
        grab_close(&ctx);
        state.SkipWithError("no X display with MIT-SHM of 1920 x 1080 (set DISPLAY)");
        return;
    }
    grab_include_cursor(&ctx, cursor);
    std::vector<uint8_t> pixels(static_cast<size_t>(kWidth) * kHeight * 4);
    for (auto _ : state) {
        if (!grab_frame(&ctx, 0, 0, pixels.data())) {
            state.SkipWithError("grab failed");
            break;
        }
        benchmark::DoNotOptimize(pixels.data());
        benchmark::ClobberMemory();
    }
    grab_close(&ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kWidth * kHeight * 4);
}

void BM_GrabShm1080p(benchmark::State &state) {
    grab_loop(state, true);
}
void BM_GrabPlain1080p(benchmark::State &state) {
    grab_loop(state, false);
}
// The same with the pointer drawn in: its position asked each frame and its
// image blended over the grab.
void BM_GrabShm1080pCursor(benchmark::State &state) {
    grab_loop(state, true, true);
}

// The recording's grab of a still screen, as the worker calls it: without
// the pointer, with it standing still, and with it moving every frame (which
// makes every frame a new picture).
enum class pointer_use { none, still, moving };
void view_loop(benchmark::State &state, pointer_use use) {
    grab_context ctx{};
    xcb_connection_t *mover = xcb_connect(nullptr, nullptr);
    if (!grab_open(&ctx, kWidth, kHeight) || xcb_connection_has_error(mover) != 0) {
        grab_close(&ctx);
        xcb_disconnect(mover);
        state.SkipWithError("no X display of 1920 x 1080 (set DISPLAY)");
        return;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(mover)).data->root;
    grab_include_cursor(&ctx, use != pointer_use::none);
    std::vector<uint8_t> scratch(static_cast<size_t>(kWidth) * kHeight * 4);
    int16_t x = 100;
    int64_t new_pictures = 0;
    for (auto _ : state) {
        if (use == pointer_use::moving) {
            x = static_cast<int16_t>(x == 100 ? 140 : 100);
            xcb_warp_pointer(mover, XCB_NONE, root, 0, 0, 0, 0, x, 300);
            std::free(xcb_get_input_focus_reply(mover, xcb_get_input_focus(mover), nullptr));
        }
        bgra_picture picture{};
        if (!grab_view(&ctx, 0, 0, scratch.data(), &picture)) {
            state.SkipWithError("grab failed");
            break;
        }
        new_pictures += picture.unchanged ? 0 : 1;
        benchmark::DoNotOptimize(picture.pixels);
    }
    grab_close(&ctx);
    xcb_disconnect(mover);
    state.counters["new_pictures"] =
        benchmark::Counter(static_cast<double>(new_pictures), benchmark::Counter::kAvgIterations);
}

void BM_ViewStill1080p(benchmark::State &state) {
    view_loop(state, pointer_use::none);
}
void BM_ViewStill1080pCursorStill(benchmark::State &state) {
    view_loop(state, pointer_use::still);
}
void BM_ViewStill1080pCursorMoving(benchmark::State &state) {
    view_loop(state, pointer_use::moving);
}

// The blend alone: a 32 x 32 pointer of varied alpha over a 1080p frame.
void BM_BlendCursor32(benchmark::State &state) {
    std::vector<uint8_t> pixels(static_cast<size_t>(kWidth) * kHeight * 4, 0x40);
    std::vector<uint32_t> argb(32 * 32);
    for (size_t i = 0; i < argb.size(); ++i) {
        const uint32_t a = static_cast<uint32_t>(i * 7) & 0xff;
        argb[i] = a << 24 | a << 16 | a << 8 | a;
    }
    const cursor_image image{argb.data(), 32, 32, 4, 4};
    int64_t x = 0;
    for (auto _ : state) {
        blend_cursor(pixels.data(), kWidth, kHeight, static_cast<size_t>(kWidth) * 4, 4, image, x, 500);
        x = (x + 37) % kWidth;
        benchmark::ClobberMemory();
    }
}

// A new file each time, removed outside the timed part: rewriting one name
// would time the release of the previous file's pages with every call.
std::string fresh_shot_path(const char *name, int64_t i) {
    return "/dev/shm/ksr-bench-" + std::to_string(getpid()) + "-" + name + "-" + std::to_string(i) + ".png";
}

void screenshot_loop(benchmark::State &state, const char *options) {
    int64_t i = 0;
    for (auto _ : state) {
        const std::string path = fresh_shot_path("shot", i++);
        const char *json = nullptr;
        if (screenrecorder_screenshot(path.c_str(), options, &json) != 0) {
            state.SkipWithError(screenrecorder_last_error());
            break;
        }
        benchmark::DoNotOptimize(json);
        state.PauseTiming();
        std::remove(path.c_str());
        state.ResumeTiming();
    }
}

// The export: the grab's segment kept from one screenshot to the next.
void BM_Screenshot1080p(benchmark::State &state) {
    screenshot_loop(state, nullptr);
}

// The screenshot as the export took it before it kept its segment: a grab of
// its own, a fresh segment that both sides fault in, the PNG written from it.
void BM_ScreenshotFreshSegment1080p(benchmark::State &state) {
    std::vector<uint8_t> scratch(static_cast<size_t>(kWidth) * kHeight * 4);
    int64_t i = 0;
    for (auto _ : state) {
        const std::string path = fresh_shot_path("fresh", i++);
        grab_context ctx{};
        bgra_picture picture{};
        bool grabbed = grab_open(&ctx, kWidth, kHeight);
        if (grabbed) {
            grab_reuse_unchanged(&ctx, false);
            grabbed = grab_view(&ctx, 0, 0, scratch.data(), &picture);
        }
        const int32_t rc = grabbed ? write_png_bgrx(path.c_str(), kWidth, kHeight, picture.pixels,
                                                    static_cast<int32_t>(picture.stride))
                                   : -1;
        grab_close(&ctx);
        if (rc != 0) {
            state.SkipWithError("no X display of 1920 x 1080 (set DISPLAY)");
            break;
        }
        state.PauseTiming();
        std::remove(path.c_str());
        state.ResumeTiming();
    }
}

// The same picture the copying way, beside the export: a frame buffer of its
// own, the grab copied into it, a pass that makes every pixel opaque, then
// the PNG written from the buffer.
void BM_ScreenshotCopying1080p(benchmark::State &state) {
    const size_t count = static_cast<size_t>(kWidth) * kHeight;
    int64_t i = 0;
    for (auto _ : state) {
        const std::string path = fresh_shot_path("copying", i++);
        auto *pixels = static_cast<uint8_t *>(std::malloc(count * 4));
        grab_context ctx{};
        const bool grabbed =
            pixels != nullptr && grab_open(&ctx, kWidth, kHeight) && grab_frame(&ctx, 0, 0, pixels);
        grab_close(&ctx);
        if (!grabbed) {
            std::free(pixels);
            state.SkipWithError("no X display of 1920 x 1080 (set DISPLAY)");
            break;
        }
        for (size_t p = 0; p < count; ++p) {
            pixels[p * 4 + 3] = 255;
        }
        const int32_t rc = write_png_bgra(path.c_str(), kWidth, kHeight, pixels, kWidth * 4);
        std::free(pixels);
        if (rc != 0) {
            state.SkipWithError("write_png_bgra failed");
            break;
        }
        state.PauseTiming();
        std::remove(path.c_str());
        state.ResumeTiming();
    }
}
void BM_Screenshot1080pCursor(benchmark::State &state) {
    screenshot_loop(state, R"({"cursor":true})");
}

void BM_Pattern1080p(benchmark::State &state) {
    std::vector<uint8_t> pixels(static_cast<size_t>(kWidth) * kHeight * 4);
    int64_t frame = 0;
    for (auto _ : state) {
        generate_pattern_frame(pixels.data(), kWidth, kHeight, frame++);
        benchmark::DoNotOptimize(pixels.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kWidth * kHeight * 4);
}

BENCHMARK(BM_GrabShm1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GrabPlain1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GrabShm1080pCursor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ViewStill1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ViewStill1080pCursorStill)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ViewStill1080pCursorMoving)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BlendCursor32)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Screenshot1080p)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScreenshotFreshSegment1080p)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScreenshotCopying1080p)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Screenshot1080pCursor)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Pattern1080p)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
