// Converting captured sound to the track's 44100 Hz stereo s16: sample
// formats, channel folds, resampling across packet boundaries without drift,
// clipping, and the saturating mix of two sources.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>
#include <vector>

#include "screenrecorder/audio_convert.h"

namespace {

audio_converter make(pcm_format format, int32_t channels, int32_t rate, uint32_t mask = 0) {
    audio_converter conv;
    EXPECT_TRUE(audio_converter_init(&conv, {format, channels, rate, mask}));
    return conv;
}

std::vector<int16_t> convert_all(audio_converter *conv, const void *src, std::size_t frames) {
    std::vector<int16_t> out(audio_convert_max_output(*conv, frames) * 2);
    out.resize(audio_convert(conv, src, frames, out.data()) * 2);
    return out;
}

template <typename T> std::vector<uint8_t> bytes_of(const std::vector<T> &v) {
    std::vector<uint8_t> b(v.size() * sizeof(T));
    std::memcpy(b.data(), v.data(), b.size());
    return b;
}

struct format_case {
    const char *name;
    pcm_format format;
    std::vector<uint8_t> input; // stereo frames
    std::vector<int16_t> expected;
};

std::vector<format_case> format_cases() {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    return {
        {"f32",
         pcm_f32,
         bytes_of(std::vector<float>{0.0f, 0.5f, -0.5f, 1.0f, -1.0f, 2.0f, -3.0f, 1.0f / 32768.0f, nan, inf}),
         {0, 16384, -16384, 32767, -32768, 32767, -32768, 1, 0, 0}},
        {"s16",
         pcm_s16,
         bytes_of(std::vector<int16_t>{0, 1, -1, 32767, -32768, 12345}),
         {0, 1, -1, 32767, -32768, 12345}},
        // 0x123456 keeps its top 16 bits (0x56 is less than half a step);
        // -1 in 24 bits is just below zero and rounds to it.
        {"s24 packed",
         pcm_s24,
         {0x56, 0x34, 0x12, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f, 0x00, 0x00, 0x80},
         {0x1234, 0, 32767, -32768}},
        {"s32",
         pcm_s32,
         bytes_of(std::vector<int32_t>{0, 0x7fffffff, std::numeric_limits<int32_t>::min(), 0x40000000,
                                       0x12340000, -0x00010000}),
         {0, 32767, -32768, 16384, 0x1234, -1}},
        // 24 valid bits at the top of a 32-bit container, as WASAPI gives
        // them: the low byte is zero.
        {"s24 in 32", pcm_s32, bytes_of(std::vector<int32_t>{0x7fffff00, -0x00020000}), {32767, -2}},
    };
}

TEST(AudioConvert, SampleFormatsAtTheTrackRate) {
    for (const format_case &c : format_cases()) {
        SCOPED_TRACE(c.name);
        audio_converter conv = make(c.format, 2, 44100);
        const std::size_t frames = c.expected.size() / 2;
        EXPECT_EQ(audio_convert_max_output(conv, frames), frames);
        EXPECT_EQ(convert_all(&conv, c.input.data(), frames), c.expected);
    }
}

struct channel_case {
    const char *name;
    int32_t channels;
    uint32_t mask;
    std::vector<float> frame; // one input frame
    int16_t left, right;      // what it becomes
};

TEST(AudioConvert, ChannelsFoldToStereo) {
    const float h = 0.70710678f;
    const channel_case cases[] = {
        {"mono is played on both sides", 1, 0, {0.25f}, 8192, 8192},
        {"mono ignores a mask", 1, 0x1, {0.25f}, 8192, 8192},
        {"stereo stays", 2, 0, {0.25f, -0.5f}, 8192, -16384},
        {"front left, right, centre",
         3,
         0,
         {0.25f, 0.0f, 0.5f},
         static_cast<int16_t>(std::lround((0.25f + 0.5f * h) * 32768)),
         static_cast<int16_t>(std::lround(0.5f * h * 32768))},
        {"quad: back channels at -3 dB",
         4,
         0,
         {0.0f, 0.0f, 0.5f, -0.5f},
         static_cast<int16_t>(std::lround(0.5f * h * 32768)),
         static_cast<int16_t>(std::lround(-0.5f * h * 32768))},
        {"5.1 leaves out the low frequencies", 6, 0, {0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f}, 0, 0},
        {"5.1 centre on both sides",
         6,
         0,
         {0.0f, 0.0f, 0.5f, 0.0f, 0.0f, 0.0f},
         static_cast<int16_t>(std::lround(0.5f * h * 32768)),
         static_cast<int16_t>(std::lround(0.5f * h * 32768))},
        {"7.1 side right",
         8,
         0,
         {0, 0, 0, 0, 0, 0, 0.0f, 0.5f},
         0,
         static_cast<int16_t>(std::lround(0.5f * h * 32768))},
        // The device names its positions (front left, right, low frequency,
        // back centre), where four channels would otherwise be quadraphonic.
        {"mask names the positions", 4, 0x10b, {0.0f, 0.0f, 1.0f, 0.5f}, 8192, 8192},
        // Channels beyond the named positions alternate between the sides.
        {"unnamed channels alternate",
         10,
         0,
         {0, 0, 0, 0, 0, 0, 0, 0, 0.5f, 0.25f},
         static_cast<int16_t>(std::lround(0.5f * h * 32768)),
         static_cast<int16_t>(std::lround(0.25f * h * 32768))},
        // Every channel at full scale adds up beyond the range: held at it.
        {"5.1 at full scale clips", 6, 0, {1, 1, 1, 1, 1, 1}, 32767, 32767},
    };
    for (const channel_case &c : cases) {
        SCOPED_TRACE(c.name);
        audio_converter conv = make(pcm_f32, c.channels, 44100, c.mask);
        ASSERT_EQ(c.frame.size(), static_cast<std::size_t>(c.channels));
        const auto bytes = bytes_of(c.frame);
        const auto out = convert_all(&conv, bytes.data(), 1);
        ASSERT_EQ(out.size(), 2u);
        EXPECT_NEAR(out[0], c.left, 1);
        EXPECT_NEAR(out[1], c.right, 1);
    }
}

TEST(AudioConvert, RefusesWhatItCannotConvert) {
    audio_converter conv;
    EXPECT_FALSE(audio_converter_init(&conv, {pcm_f32, 0, 48000, 0}));
    EXPECT_FALSE(audio_converter_init(&conv, {pcm_f32, audio_max_channels + 1, 48000, 0}));
    EXPECT_FALSE(audio_converter_init(&conv, {pcm_f32, 2, 0, 0}));
    EXPECT_FALSE(audio_converter_init(&conv, {pcm_f32, 2, -48000, 0}));
    EXPECT_FALSE(audio_converter_init(&conv, {static_cast<pcm_format>(9), 2, 48000, 0}));
    EXPECT_TRUE(audio_converter_init(&conv, {pcm_s24, audio_max_channels, 8000, 0}));
}

std::vector<float> sine(double frequency, double amplitude, int32_t rate, std::size_t frames,
                        int32_t channels) {
    std::vector<float> v(frames * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < frames; ++i) {
        const double s =
            amplitude * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / rate);
        for (int32_t ch = 0; ch < channels; ++ch) {
            v[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(ch)] = static_cast<float>(s);
        }
    }
    return v;
}

// Feeds `input` in packets whose sizes cycle through `packets`.
std::vector<int16_t> convert_in_packets(audio_converter *conv, const std::vector<float> &input,
                                        int32_t channels, const std::vector<std::size_t> &packets) {
    std::vector<int16_t> out, scratch;
    const std::size_t frames = input.size() / static_cast<std::size_t>(channels);
    std::size_t at = 0;
    for (std::size_t k = 0; at < frames; ++k) {
        const std::size_t n = std::min(packets[k % packets.size()], frames - at);
        scratch.resize(audio_convert_max_output(*conv, n) * 2);
        const std::size_t got =
            audio_convert(conv, input.data() + at * static_cast<std::size_t>(channels), n, scratch.data());
        EXPECT_LE(got, audio_convert_max_output(*conv, n));
        out.insert(out.end(), scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(got * 2));
        at += n;
    }
    return out;
}

struct rate_case {
    int32_t rate;
    int32_t channels;
};

TEST(AudioConvert, ResamplesATonePacketByPacket) {
    // A 1 kHz tone at half scale, one second, cut into uneven packets (as a
    // device hands them over): the result is the same tone at 44100 Hz, one
    // output frame behind at most, whatever the packet sizes.
    const rate_case cases[] = {{48000, 2}, {96000, 2}, {16000, 1}, {22050, 2}, {44100, 2}, {48000, 6}};
    for (const rate_case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.channels << " channels");
        const std::size_t frames = static_cast<std::size_t>(c.rate);
        const auto input = sine(1000, 0.5, c.rate, frames, c.channels);
        audio_converter whole = make(pcm_f32, c.channels, c.rate);
        audio_converter split = make(pcm_f32, c.channels, c.rate);
        const auto one_piece = convert_in_packets(&whole, input, c.channels, {frames});
        const auto pieces = convert_in_packets(&split, input, c.channels, {1, 480, 7, 1024, 441, 2});
        EXPECT_EQ(pieces, one_piece);

        // The output lags one input frame: a second in gives a second out,
        // less what one input frame spans at the track's rate.
        const std::size_t out_frames = one_piece.size() / 2;
        EXPECT_GE(out_frames, 44100u - (44100u + static_cast<std::size_t>(c.rate) - 1) /
                                           static_cast<std::size_t>(c.rate));
        EXPECT_LE(out_frames, 44100u);
        // Compare with the ideal tone at the track's rate. For a 5.1 source
        // the same signal on every channel folds to (1 + 0.707 + 0.707) on
        // each side, and clips: only the other cases are compared by value.
        if (c.channels > 2) {
            continue;
        }
        double worst = 0;
        for (std::size_t i = 0; i < out_frames; ++i) {
            const double ideal =
                0.5 * 32768 * std::sin(2 * std::numbers::pi * 1000.0 * static_cast<double>(i) / 44100);
            worst = std::max(worst, std::abs(one_piece[2 * i] - ideal));
            EXPECT_EQ(one_piece[2 * i], one_piece[2 * i + 1]);
        }
        // Linear interpolation misses a sine between two input frames by at
        // most (2 pi f / rate)^2 / 8 of its amplitude: about 53 dB below the
        // tone from 48000 Hz, 35 dB from 16000 Hz. Beyond that (and the
        // rounding to 16 bits) something is wrong.
        const double step = 2 * std::numbers::pi * 1000.0 / c.rate;
        EXPECT_LE(worst, 0.5 * 32768 * step * step / 8 + 1.0);
    }
}

TEST(AudioConvert, FrameCountFollowsTheInputWithoutDrift) {
    // A minute of 48000 Hz in 10 ms packets gives exactly a minute at
    // 44100 Hz: output frame k lies at input position k x 48000 / 44100 and
    // is given once the input frame after that position has arrived.
    audio_converter conv = make(pcm_s16, 2, 48000);
    std::vector<int16_t> out(audio_convert_max_output(conv, 480) * 2);
    std::size_t total = 0;
    const std::size_t packets = 6000;
    for (std::size_t k = 0; k < packets; ++k) {
        total += audio_convert(&conv, nullptr, 480, out.data());
    }
    total += audio_convert(&conv, nullptr, 1, out.data());
    EXPECT_EQ(total, 44100u * 60);
}

TEST(AudioConvert, SilenceKeepsTheResamplersTime) {
    // A null packet stands for that many frames of silence: zeros, counted
    // like real sound, and the interpolation goes from the last real frame.
    audio_converter conv = make(pcm_f32, 1, 48000);
    const std::vector<float> loud(470, 1.0f);
    std::vector<int16_t> out(audio_convert_max_output(conv, 470) * 2);
    const std::size_t first = audio_convert(&conv, loud.data(), loud.size(), out.data());
    const std::size_t second = audio_convert(&conv, nullptr, 470, out.data());
    // Output frame k lies at input position k x 48000 / 44100; the 940th
    // input frame gives those before position 939: k up to 862.
    EXPECT_EQ(first + second, 863u);
    // Frame 431 lies at 469.1, between the last loud frame and the first
    // silent one.
    EXPECT_GT(out[0], 0);
    EXPECT_GT(out[1], 0);
    for (std::size_t i = 2; i < second * 2; ++i) {
        EXPECT_EQ(out[i], 0) << i;
    }
}

TEST(AudioConvert, MixHoldsTheRange) {
    struct mix_case {
        int16_t a, b, sum;
    };
    const mix_case cases[] = {
        {0, 0, 0},
        {1000, -400, 600},
        {32767, 1, 32767},
        {-32768, -1, -32768},
        {20000, 20000, 32767},
        {-20000, -20000, -32768},
        {32767, -32768, -1},
        {-32768, -32768, -32768},
    };
    std::vector<int16_t> dst, add, expected;
    for (const mix_case &c : cases) {
        dst.push_back(c.a);
        add.push_back(c.b);
        expected.push_back(c.sum);
    }
    audio_mix_saturating(dst.data(), add.data(), dst.size());
    EXPECT_EQ(dst, expected);
}

} // namespace
