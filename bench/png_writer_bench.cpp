// The PNG encoder on a full HD frame written to tmpfs, beside a plain fwrite
// of the same number of bytes. The last line prints encoder time / plain
// write time (medians over the repetitions); the target is at most 2. On a
// shared machine, run with
//   --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true
// so that both see the same load.
#include <benchmark/benchmark.h>

#include <algorithm>
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

// The console reporter, keeping the time per iteration of every run so that
// the ratio of the medians can be printed at the end.
class ratio_reporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) {
                continue;
            }
            const std::string name = run.benchmark_name();
            if (name.rfind("BM_write_png_bgra", 0) == 0) {
                encoder_.push_back(run.GetAdjustedRealTime());
                encoder_cpu_.push_back(run.GetAdjustedCPUTime());
            } else if (name.rfind("BM_plain_fwrite", 0) == 0) {
                plain_.push_back(run.GetAdjustedRealTime());
                plain_cpu_.push_back(run.GetAdjustedCPUTime());
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double encoder() const { return median(encoder_); }
    double plain() const { return median(plain_); }
    // Processor time, user and system: what a busy machine disturbs least.
    double encoder_cpu() const { return median(encoder_cpu_); }
    double plain_cpu() const { return median(plain_cpu_); }

  private:
    static double median(std::vector<double> times) {
        if (times.empty()) {
            return 0;
        }
        std::sort(times.begin(), times.end());
        const std::size_t mid = times.size() / 2;
        return times.size() % 2 == 1 ? times[mid] : (times[mid - 1] + times[mid]) / 2;
    }
    std::vector<double> encoder_;
    std::vector<double> plain_;
    std::vector<double> encoder_cpu_;
    std::vector<double> plain_cpu_;
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
        std::printf("cpu time: encoder %.3f ms, plain fwrite %.3f ms, ratio %.2f\n", reporter.encoder_cpu(),
                    reporter.plain_cpu(), reporter.encoder_cpu() / reporter.plain_cpu());
        std::printf("real time: encoder %.3f ms, plain fwrite %.3f ms, ratio %.2f (target <= 2.00)\n",
                    reporter.encoder(), reporter.plain(), reporter.encoder() / reporter.plain());
    }
    return 0;
}
