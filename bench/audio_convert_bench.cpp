// What converting captured sound to the track's format costs, side by side
// for the layouts devices give (time per second of sound), and what the
// linear resampler costs in quality from 48000 Hz: the error of a tone
// against the ideal one (as a ratio to the tone, in dB) and the level of a
// tone above 22050 Hz folded back into the band.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <vector>

#include "screenrecorder/audio_convert.h"

namespace {

// One second of a half-scale sine at `hz` in `format`, `channels` alike.
std::vector<uint8_t> tone(pcm_format format, int32_t channels, int32_t rate, double hz) {
    const std::size_t bytes = format == pcm_s16 ? 2 : (format == pcm_s24 ? 3 : 4);
    std::vector<uint8_t> out(static_cast<std::size_t>(rate) * static_cast<std::size_t>(channels) * bytes);
    uint8_t *p = out.data();
    for (int32_t i = 0; i < rate; ++i) {
        const double v = 0.5 * std::sin(2 * std::numbers::pi * hz * i / rate);
        for (int32_t ch = 0; ch < channels; ++ch, p += bytes) {
            if (format == pcm_f32) {
                const auto f = static_cast<float>(v);
                std::memcpy(p, &f, 4);
            } else {
                const auto s = static_cast<int16_t>(std::lround(v * 32767));
                std::memcpy(p, &s, 2);
            }
        }
    }
    return out;
}

// Converts one second in 10 ms packets, as a capture hands them over.
std::vector<int16_t> convert_second(audio_converter *conv, const std::vector<uint8_t> &in, int32_t rate,
                                    std::vector<int16_t> &out) {
    const auto packet = static_cast<std::size_t>(rate / 100);
    const auto frame_bytes = static_cast<std::size_t>(conv->bytes_per_frame);
    out.resize(audio_convert_max_output(*conv, packet) * 2 * 101);
    std::size_t n = 0;
    for (std::size_t at = 0; at + packet <= static_cast<std::size_t>(rate); at += packet) {
        n += audio_convert(conv, in.data() + at * frame_bytes, packet, out.data() + n * 2);
    }
    return std::vector<int16_t>(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n * 2));
}

void BM_ConvertOneSecond(benchmark::State &state) {
    const auto format = static_cast<pcm_format>(state.range(0));
    const auto channels = static_cast<int32_t>(state.range(1));
    const auto rate = static_cast<int32_t>(state.range(2));
    const auto in = tone(format, channels, rate, 1000);
    audio_converter conv;
    audio_converter_init(&conv, {format, channels, rate, 0});
    std::vector<int16_t> out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(convert_second(&conv, in, rate, out).data());
    }
}
BENCHMARK(BM_ConvertOneSecond)
    ->ArgNames({"format", "channels", "rate"})
    ->Args({pcm_s16, 2, 44100})
    ->Args({pcm_f32, 2, 44100})
    ->Args({pcm_f32, 2, 48000})
    ->Args({pcm_f32, 6, 48000})
    ->Args({pcm_s16, 1, 16000})
    ->Unit(benchmark::kMicrosecond);

// Error of a converted tone against the ideal tone at 44100 Hz, in dB
// relative to the tone.
double error_db(double hz) {
    audio_converter conv;
    audio_converter_init(&conv, {pcm_f32, 1, 48000, 0});
    std::vector<int16_t> scratch;
    const auto out = convert_second(&conv, tone(pcm_f32, 1, 48000, hz), 48000, scratch);
    double signal = 0, error = 0;
    for (std::size_t k = 0; k < out.size() / 2; ++k) {
        const double ideal =
            0.5 * 32768 * std::sin(2 * std::numbers::pi * hz * static_cast<double>(k) / 44100);
        signal += ideal * ideal;
        error += (out[2 * k] - ideal) * (out[2 * k] - ideal);
    }
    return 10 * std::log10(error / signal);
}

// Level of what a tone above the track's limit leaves in it, in dB relative
// to the tone: a converter with a proper low-pass filter leaves nothing.
double fold_db(double hz) {
    audio_converter conv;
    audio_converter_init(&conv, {pcm_f32, 1, 48000, 0});
    std::vector<int16_t> scratch;
    const auto out = convert_second(&conv, tone(pcm_f32, 1, 48000, hz), 48000, scratch);
    double power = 0;
    for (std::size_t k = 0; k < out.size() / 2; ++k) {
        power += static_cast<double>(out[2 * k]) * out[2 * k];
    }
    const double rms = std::sqrt(power / static_cast<double>(out.size() / 2));
    return 20 * std::log10(rms / (0.5 * 32768 / std::numbers::sqrt2));
}

void BM_ResamplerQuality(benchmark::State &state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(error_db(1000));
    }
    state.counters["err_1kHz_dB"] = error_db(1000);
    state.counters["err_5kHz_dB"] = error_db(5000);
    state.counters["err_10kHz_dB"] = error_db(10000);
    state.counters["fold_23kHz_dB"] = fold_db(23000);
}
BENCHMARK(BM_ResamplerQuality)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
