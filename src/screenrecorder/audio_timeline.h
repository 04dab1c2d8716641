// Where a frame's chunk of sound belongs on the 44100 Hz track. A media
// writer that stamps its audio by the count of samples it has been given,
// and its video by frame number (frame n at n / fps), keeps the two together
// with these: before each chunk it adds the silence that is missing up to
// the chunk's frame, and it never drops or moves a sample it was handed.
#pragma once

#include <cstdint>

#include "platform/media_sink.h"

// The sample at which frame `index` begins at `fps` frames per second:
// index x 44100 / fps rounded down, taken in two steps so that no product
// leaves 64 bits.
constexpr int64_t audio_frame_start(int64_t index, int32_t fps) {
    if (index <= 0 || fps <= 0) {
        return 0;
    }
    return (index / fps) * kAudioRate + (index % fps) * kAudioRate / fps;
}

// Silent samples to add before frame `index`'s chunk when the track already
// holds `written` samples: what is missing up to the frame's start, or none
// when the track has reached (or passed) it.
constexpr int64_t audio_silence_before(int64_t index, int32_t fps, int64_t written) {
    const int64_t start = audio_frame_start(index, fps);
    return start > written ? start - written : 0;
}
