// Costs of the X11 screen grab (MIT-SHM and plain GetImage), of a whole
// screenshot (grab, encode, write), and of the test pattern, at 1920 x 1080.
// Needs DISPLAY to name an X server of at least that size; bench/screenshot-
// vs-ffmpeg starts one and runs this beside ffmpeg's x11grab.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "kestrova/screenrecorder.h"
#include "platform/grab.h"
#include "screenrecorder/pattern.h"

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;

void grab_loop(benchmark::State &state, bool shm) {
    grab_context ctx{};
    if (!posix_grab_open(&ctx, kWidth, kHeight, shm) || ctx.use_shm != shm) {
        grab_close(&ctx);
        state.SkipWithError("no X display with MIT-SHM of 1920 x 1080 (set DISPLAY)");
        return;
    }
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

void BM_Screenshot1080p(benchmark::State &state) {
    const char *path = "/dev/shm/ksr-bench-screenshot.png";
    for (auto _ : state) {
        const char *json = nullptr;
        if (screenrecorder_screenshot(path, nullptr, &json) != 0) {
            state.SkipWithError(screenrecorder_last_error());
            break;
        }
        benchmark::DoNotOptimize(json);
    }
    std::remove(path);
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
BENCHMARK(BM_Screenshot1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pattern1080p)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
