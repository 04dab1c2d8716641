// The PNG encoder on a full HD frame written to tmpfs, beside a plain fwrite
// of the same number of bytes. The last line prints encoder time / plain
// write time; the target is at most 2.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "png_writer/png_writer.h"

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
// n + 5 * k + 63 bytes for this frame: what the encoder writes.
constexpr std::size_t kPngSize = 8296178;

std::string bench_path(const char *name) {
    return std::string("/dev/shm/ksr-bench-") + std::to_string(getpid()) + "-" + name;
}

const std::vector<uint8_t> &frame() {
    static const std::vector<uint8_t> pixels = [] {
        std::vector<uint8_t> p(static_cast<std::size_t>(kWidth) * kHeight * 4);
        uint32_t x = 12345;
        for (auto &b : p) {
            x = x * 1664525u + 1013904223u;
            b = static_cast<uint8_t>(x >> 24);
        }
        return p;
    }();
    return pixels;
}

void BM_write_png_bgra(benchmark::State &state) {
    const std::vector<uint8_t> &pixels = frame();
    const std::string path = bench_path("frame.png");
    for (auto _ : state) {
        const int32_t rc = write_png_bgra(path.c_str(), kWidth, kHeight, pixels.data(), 0);
        if (rc != 0) {
            state.SkipWithError("write_png_bgra failed");
            break;
        }
    }
    std::remove(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPngSize));
}

void BM_plain_fwrite(benchmark::State &state) {
    const std::vector<uint8_t> bytes(kPngSize, 0x5A);
    const std::string path = bench_path("plain.bin");
    for (auto _ : state) {
        std::FILE *f = std::fopen(path.c_str(), "wb");
        if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
            state.SkipWithError("plain write failed");
            if (f != nullptr) {
                std::fclose(f);
            }
            break;
        }
        std::fclose(f);
    }
    std::remove(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPngSize));
}

BENCHMARK(BM_write_png_bgra)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_plain_fwrite)->Unit(benchmark::kMillisecond)->UseRealTime();

// The console reporter, keeping the time per iteration of each run so that
// the ratio can be printed at the end.
class ratio_reporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) {
                continue;
            }
            const std::string name = run.benchmark_name();
            if (name.rfind("BM_write_png_bgra", 0) == 0) {
                encoder_ = run.GetAdjustedRealTime();
            } else if (name.rfind("BM_plain_fwrite", 0) == 0) {
                plain_ = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double encoder() const { return encoder_; }
    double plain() const { return plain_; }

  private:
    double encoder_ = 0;
    double plain_ = 0;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (reporter.encoder() > 0 && reporter.plain() > 0) {
        std::printf("encoder / plain fwrite: %.2f (target <= 2.00)\n", reporter.encoder() / reporter.plain());
    }
    return 0;
}
