// Turning captured sound into the track's format: 44100 Hz, 2 channels,
// interleaved signed 16-bit. A capture describes what its device delivers
// (sample format, channel count and order, rate), and a converter keeps the
// resampler's position between calls, so that a stream cut into packets of
// any size comes out the same as if it had been converted in one piece, and
// the number of frames out follows the number in exactly, without drift.
//
// The resampler interpolates linearly between neighbouring input frames. It
// has no low-pass filter, which costs quality in two ways, measured from
// 48000 Hz by bench/audio_convert_bench: the top of the band is dulled (a
// tone's error against the ideal one is -56 dB of it at 1 kHz, -28 dB at 5
// kHz, -16 dB at 10 kHz, mostly a loss of level), and content between 22050
// Hz and the device's own limit folds back into the band (a 23 kHz tone
// comes out at 21.1 kHz, 4.7 dB below its level). That is enough for
// speech and a screen recording's sound; it is not a mastering-grade
// converter. A device at 44100 Hz is passed through untouched. Converting a
// second of 48000 Hz stereo float takes about half a millisecond.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int32_t audio_track_rate = 44100;
inline constexpr int32_t audio_track_channels = 2;

// Layouts of one sample, all little-endian and interleaved by frame.
enum pcm_format : int32_t {
    pcm_f32 = 0, // 32-bit float, full scale at -1.0 and 1.0
    pcm_s16 = 1, // signed 16-bit
    pcm_s24 = 2, // signed 24-bit packed in 3 bytes
    pcm_s32 = 3, // signed 32-bit; also 24 valid bits at the top of a 32-bit container
};

// The most channels a device may deliver; a converter refuses more.
inline constexpr int32_t audio_max_channels = 32;

struct audio_source_format {
    pcm_format format;
    int32_t channels; // 1 to audio_max_channels
    int32_t rate;     // sample frames per second, 1000 to 768000
    // The speaker position of each channel, in order, as the WAVE speaker
    // bits (front left 0x1, front right 0x2, front centre 0x4, low frequency
    // 0x8, back left 0x10, back right 0x20, ..., side left 0x200, side right
    // 0x400, ...); 0 for the usual order of that many channels. Ignored for 1
    // channel (played on both sides) and 2 (left, right).
    uint32_t speaker_mask;
};

struct audio_converter {
    audio_source_format source;
    int32_t bytes_per_frame;
    // How much each input channel adds to the left and right outputs.
    float left_gain[audio_max_channels];
    float right_gain[audio_max_channels];
    // The resampler: the last input frame taken in, and where the next
    // output frame lies after it, in units of 1 / 44100 of an input frame.
    float previous_left;
    float previous_right;
    int64_t phase;
    bool has_previous;
};

// Prepares `conv` for a source; false (and `conv` unusable) when the format,
// channel count or rate is out of range.
bool audio_converter_init(audio_converter *conv, const audio_source_format &source);

// The most output frames that converting `in_frames` input frames can give
// in one call: the size of `dst` that audio_convert needs.
std::size_t audio_convert_max_output(const audio_converter &conv, std::size_t in_frames);

// Converts `in_frames` frames at `src` (null: that many frames of silence,
// which keeps the resampler's timing) and writes the result to `dst`, which
// holds at least audio_convert_max_output(in_frames) frames (4 bytes each).
// Returns the number of frames written.
std::size_t audio_convert(audio_converter *conv, const void *src, std::size_t in_frames, int16_t *dst);

// dst[i] = dst[i] + add[i] for `samples` samples, held within the 16-bit range.
void audio_mix_saturating(int16_t *dst, const int16_t *add, std::size_t samples);
