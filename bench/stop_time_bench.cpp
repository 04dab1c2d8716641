// Stop time of an MP4 recording against its length: the Linux sink writes
// fragments while recording and, on stop, turns the file into a regular MP4
// in place. A 10-second and a 10-minute 1920 x 1080 recording at 30 fps are
// made quickly, by feeding the sink the moving test pattern (and silence) as
// fast as it encodes, and then stopped; only the stop (encoder flush, last
// fragment, finishing the file) is timed. The files go to the current
// directory (a real disk, so the finishing steps' syncs cost what they cost).
//
//   BUILD/bench/stop_time_bench --benchmark_repetitions=1
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "platform/media_sink.h"
#include "platform/picture.h"
#include "screenrecorder/pattern.h"

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
constexpr int32_t kFps = 30;
constexpr int64_t kHnsPerFrame = 10000000 / kFps;

void stop_after(benchmark::State &state) {
    const int64_t frames = state.range(0) * kFps;
    const media_sink_ops &ops = platform_media_sink();
    std::vector<uint8_t> pixels(static_cast<std::size_t>(kWidth) * kHeight * 4);
    std::vector<uint8_t> silence(static_cast<std::size_t>(kAudioRate / kFps) * kAudioBytesPerFrame);
    char path[64];
    std::snprintf(path, sizeof path, "stop-time-%lds.mp4", static_cast<long>(state.range(0)));
    char err[256];
    for (auto _ : state) {
        void *sink = ops.create();
        video_stream_desc video{false, 8000000u, kWidth, kHeight, kFps};
        if (sink == nullptr || ops.startup(sink, err, sizeof err) != 0 ||
            ops.open(sink, path, err, sizeof err) != 0 || ops.add_video(sink, &video, err, sizeof err) != 0 ||
            ops.add_audio(sink, err, sizeof err) != 0 || ops.begin(sink, err, sizeof err) != 0) {
            state.SkipWithError(err);
            break;
        }
        for (int64_t n = 0; n < frames; ++n) {
            generate_pattern_frame(pixels.data(), kWidth, kHeight, n);
            const bgra_picture picture{pixels.data(), static_cast<std::size_t>(kWidth) * 4, false};
            ops.write_video(sink, &picture, n, n * kHnsPerFrame, kHnsPerFrame);
            ops.write_audio(sink, silence.data(), silence.size(), n, n * kHnsPerFrame, kHnsPerFrame);
        }
        const auto begin = std::chrono::steady_clock::now();
        const int rc = ops.finalize(sink, err, sizeof err);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        state.SetIterationTime(seconds);
        state.counters["frames_in_file"] = static_cast<double>(ops.frames_in_file(sink));
        ops.shutdown(sink);
        ops.destroy(sink);
        if (rc != 0) {
            state.SkipWithError(err);
            break;
        }
        struct stat st {};
        stat(path, &st);
        state.counters["file_MiB"] = static_cast<double>(st.st_size) / 1048576.0;
        std::remove(path);
    }
}

BENCHMARK(stop_after)->Arg(10)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(stop_after)->Arg(600)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
