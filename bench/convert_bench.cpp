// BGRA to I420 for one 1920 x 1080 picture: the recording path's own
// converter against libyuv's ARGBToI420 and libswscale's bilinear
// conversion, on a desktop-like picture (flat areas, text-like strokes and a
// gradient).
#include <benchmark/benchmark.h>

#include <libyuv/convert.h>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <vector>

#include "platform/posix/video_convert_yuv.h"

namespace {

constexpr int kW = 1920;
constexpr int kH = 1080;

std::vector<uint8_t> desktop_picture() {
    std::vector<uint8_t> px(static_cast<size_t>(kW) * kH * 4);
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            uint8_t *p = &px[(static_cast<size_t>(y) * kW + x) * 4];
            const bool window = x > 200 && x < 1400 && y > 100 && y < 900;
            const bool stroke = window && (y % 14) < 9 && ((x * 7 + y * 3) % 11) < 3;
            const bool photo = x >= 1500 && y < 400;
            p[0] = photo ? static_cast<uint8_t>(x) : stroke ? 0x20 : window ? 0xf0 : 0xa5;
            p[1] = photo ? static_cast<uint8_t>(y) : stroke ? 0x20 : window ? 0xf4 : 0x6e;
            p[2] = photo ? static_cast<uint8_t>(x + y) : stroke ? 0x20 : window ? 0xf4 : 0x3a;
            p[3] = 0;
        }
    }
    return px;
}

struct planes {
    std::vector<uint8_t> y = std::vector<uint8_t>(static_cast<size_t>(kW) * kH);
    std::vector<uint8_t> u = std::vector<uint8_t>(static_cast<size_t>(kW / 2) * (kH / 2));
    std::vector<uint8_t> v = std::vector<uint8_t>(static_cast<size_t>(kW / 2) * (kH / 2));
    uint8_t *data[3] = {y.data(), u.data(), v.data()};
    int linesize[3] = {kW, kW / 2, kW / 2};
};

void BM_OwnConverter(benchmark::State &state) {
    const std::vector<uint8_t> src = desktop_picture();
    planes out;
    posix_yuv_converter c{};
    posix_yuv_open(&c, kW, kH);
    for (auto _ : state) {
        posix_bgra_to_i420(&c, src.data(), kW * 4, out.data, out.linesize);
        benchmark::DoNotOptimize(out.y.data());
    }
    posix_yuv_close(&c);
}
BENCHMARK(BM_OwnConverter)->Unit(benchmark::kMillisecond);

void BM_Libyuv(benchmark::State &state) {
    const std::vector<uint8_t> src = desktop_picture();
    planes out;
    for (auto _ : state) {
        libyuv::ARGBToI420(src.data(), kW * 4, out.data[0], kW, out.data[1], kW / 2, out.data[2], kW / 2, kW,
                           kH);
        benchmark::DoNotOptimize(out.y.data());
    }
}
BENCHMARK(BM_Libyuv)->Unit(benchmark::kMillisecond);

void BM_Libswscale(benchmark::State &state) {
    const std::vector<uint8_t> src = desktop_picture();
    planes out;
    SwsContext *sws = sws_getContext(kW, kH, AV_PIX_FMT_BGRA, kW, kH, AV_PIX_FMT_YUV420P, SWS_BILINEAR,
                                     nullptr, nullptr, nullptr);
    const uint8_t *const in[1] = {src.data()};
    const int in_stride[1] = {kW * 4};
    for (auto _ : state) {
        sws_scale(sws, in, in_stride, 0, kH, out.data, out.linesize);
        benchmark::DoNotOptimize(out.y.data());
    }
    sws_freeContext(sws);
}
BENCHMARK(BM_Libswscale)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
