#include "screenrecorder/audio_convert.h"

#include <cmath>
#include <cstring>

namespace {

constexpr float kHalf = 0.70710678f; // -3 dB: a centre or surround channel folded onto one side

struct side_gains {
    float left, right;
};

// The share of each WAVE speaker position, by bit number, in the stereo fold.
// The low-frequency channel is left out, as in the usual downmix.
constexpr side_gains kSpeakerGains[] = {
    {1.0f, 0.0f},   // front left
    {0.0f, 1.0f},   // front right
    {kHalf, kHalf}, // front centre
    {0.0f, 0.0f},   // low frequency
    {kHalf, 0.0f},  // back left
    {0.0f, kHalf},  // back right
    {1.0f, 0.0f},   // front left of centre
    {0.0f, 1.0f},   // front right of centre
    {0.5f, 0.5f},   // back centre
    {kHalf, 0.0f},  // side left
    {0.0f, kHalf},  // side right
    {0.5f, 0.5f},   // top centre
    {kHalf, 0.0f},  // top front left
    {0.5f, 0.5f},   // top front centre
    {0.0f, kHalf},  // top front right
    {kHalf, 0.0f},  // top back left
    {0.5f, 0.5f},   // top back centre
    {0.0f, kHalf},  // top back right
};
constexpr int kSpeakerBits = static_cast<int>(sizeof kSpeakerGains / sizeof kSpeakerGains[0]);

// The usual positions of 3 or more channels when the device names none;
// past 8 channels, those beyond 7.1 alternate between the two sides.
uint32_t usual_mask(int32_t channels) {
    switch (channels) {
    case 3:
        return 0x7; // front left, right, centre
    case 4:
        return 0x33; // quadraphonic
    case 5:
        return 0x37; // 5.0 with back speakers
    case 6:
        return 0x3f; // 5.1
    case 7:
        return 0x13f; // 6.1
    case 8:
        return 0x63f; // 7.1 with side speakers
    default:
        return channels > 8 ? 0x63f : 0;
    }
}

void fill_gains(audio_converter *conv) {
    const int32_t n = conv->source.channels;
    if (n == 1) {
        conv->left_gain[0] = conv->right_gain[0] = 1.0f;
        return;
    }
    if (n == 2) {
        conv->left_gain[0] = conv->right_gain[1] = 1.0f;
        return;
    }
    uint32_t mask = conv->source.speaker_mask != 0 ? conv->source.speaker_mask : usual_mask(n);
    int bit = 0;
    for (int32_t ch = 0; ch < n; ++ch) {
        while (bit < 32 && (mask & (uint32_t{1} << bit)) == 0) {
            ++bit;
        }
        if (bit < kSpeakerBits) {
            conv->left_gain[ch] = kSpeakerGains[bit].left;
            conv->right_gain[ch] = kSpeakerGains[bit].right;
        } else if (bit >= 32) {
            // More channels than named positions: spread them over the two
            // sides in turn.
            (ch % 2 == 0 ? conv->left_gain : conv->right_gain)[ch] = kHalf;
        }
        // A named position that has no place in the table stays silent.
        ++bit;
    }
}

float decode_sample(pcm_format format, const uint8_t *p) {
    switch (format) {
    case pcm_f32: {
        float v;
        std::memcpy(&v, p, sizeof v);
        return std::isfinite(v) ? v : 0.0f;
    }
    case pcm_s16: {
        int16_t v;
        std::memcpy(&v, p, sizeof v);
        return static_cast<float>(v) * (1.0f / 32768.0f);
    }
    case pcm_s24: {
        const uint32_t u = static_cast<uint32_t>(p[0]) << 8 | static_cast<uint32_t>(p[1]) << 16 |
                           static_cast<uint32_t>(p[2]) << 24;
        return static_cast<float>(static_cast<int32_t>(u)) * (1.0f / 2147483648.0f);
    }
    case pcm_s32: {
        int32_t v;
        std::memcpy(&v, p, sizeof v);
        return static_cast<float>(v) * (1.0f / 2147483648.0f);
    }
    }
    return 0.0f;
}

int16_t to_s16(float v) {
    const float scaled = std::nearbyint(v * 32768.0f);
    if (!(scaled > -32768.0f)) { // also catches NaN
        return -32768;
    }
    if (scaled > 32767.0f) {
        return 32767;
    }
    return static_cast<int16_t>(scaled);
}

} // namespace

bool audio_converter_init(audio_converter *conv, const audio_source_format &source) {
    *conv = audio_converter{};
    int32_t bytes = 0;
    switch (source.format) {
    case pcm_f32:
    case pcm_s32:
        bytes = 4;
        break;
    case pcm_s16:
        bytes = 2;
        break;
    case pcm_s24:
        bytes = 3;
        break;
    default:
        return false;
    }
    if (source.channels < 1 || source.channels > audio_max_channels || source.rate < 1000 ||
        source.rate > 768000) {
        return false;
    }
    conv->source = source;
    conv->bytes_per_frame = bytes * source.channels;
    fill_gains(conv);
    return true;
}

std::size_t audio_convert_max_output(const audio_converter &conv, std::size_t in_frames) {
    const auto rate = static_cast<std::size_t>(conv.source.rate);
    if (conv.source.rate == audio_track_rate) {
        return in_frames;
    }
    return (in_frames * audio_track_rate + rate - 1) / rate + 1;
}

std::size_t audio_convert(audio_converter *conv, const void *src, std::size_t in_frames, int16_t *dst) {
    const auto *bytes = static_cast<const uint8_t *>(src);
    const pcm_format format = conv->source.format;
    const int32_t channels = conv->source.channels;
    const int32_t sample_bytes = conv->bytes_per_frame / channels;
    const int64_t in_rate = conv->source.rate;
    const bool passthrough = in_rate == audio_track_rate;
    std::size_t out = 0;

    for (std::size_t i = 0; i < in_frames; ++i) {
        float left = 0.0f, right = 0.0f;
        if (bytes != nullptr) {
            const uint8_t *frame = bytes + i * static_cast<std::size_t>(conv->bytes_per_frame);
            for (int32_t ch = 0; ch < channels; ++ch) {
                const float v = decode_sample(format, frame + ch * sample_bytes);
                left += v * conv->left_gain[ch];
                right += v * conv->right_gain[ch];
            }
        }
        if (passthrough) {
            dst[2 * out] = to_s16(left);
            dst[2 * out + 1] = to_s16(right);
            ++out;
            continue;
        }
        if (!conv->has_previous) {
            conv->previous_left = left;
            conv->previous_right = right;
            conv->has_previous = true;
            continue;
        }
        // Every output frame that lies between the previous input frame and
        // this one, interpolated between the two.
        while (conv->phase < audio_track_rate) {
            const float t = static_cast<float>(conv->phase) * (1.0f / static_cast<float>(audio_track_rate));
            dst[2 * out] = to_s16(conv->previous_left + (left - conv->previous_left) * t);
            dst[2 * out + 1] = to_s16(conv->previous_right + (right - conv->previous_right) * t);
            ++out;
            conv->phase += in_rate;
        }
        conv->phase -= audio_track_rate;
        conv->previous_left = left;
        conv->previous_right = right;
    }
    return out;
}

void audio_mix_saturating(int16_t *dst, const int16_t *add, std::size_t samples) {
    for (std::size_t i = 0; i < samples; ++i) {
        int32_t sum = int32_t{dst[i]} + int32_t{add[i]};
        sum = sum > 32767 ? 32767 : (sum < -32768 ? -32768 : sum);
        dst[i] = static_cast<int16_t>(sum);
    }
}
