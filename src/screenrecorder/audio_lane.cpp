#include "screenrecorder/audio_lane.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kChunkFrames = 1024; // device frames converted at a time

// Appends converted frames; when the ring is full the oldest give way.
void push(audio_lane *lane, const int16_t *frames, std::size_t n) {
    if (n > lane->capacity) {
        frames += (n - lane->capacity) * 2;
        n = lane->capacity;
    }
    const std::size_t overflow = lane->count + n > lane->capacity ? lane->count + n - lane->capacity : 0;
    lane->head = (lane->head + overflow) % lane->capacity;
    lane->count -= overflow;
    std::size_t tail = (lane->head + lane->count) % lane->capacity;
    while (n > 0) {
        const std::size_t run = std::min(n, lane->capacity - tail);
        std::memcpy(lane->ring.data() + tail * 2, frames, run * 4);
        frames += run * 2;
        n -= run;
        lane->count += run;
        tail = (tail + run) % lane->capacity;
    }
}

// Converts device frames (null: silence) and appends them.
void convert_and_push(audio_lane *lane, const uint8_t *data, std::size_t frames) {
    const auto frame_bytes = static_cast<std::size_t>(lane->conv.bytes_per_frame);
    while (frames > 0) {
        const std::size_t n = std::min(frames, kChunkFrames);
        const std::size_t out = audio_convert(&lane->conv, data, n, lane->scratch.data());
        push(lane, lane->scratch.data(), out);
        if (data != nullptr) {
            data += n * frame_bytes;
        }
        frames -= n;
    }
}

// Silence for `frames` device frames. More than the ring holds would only
// push itself out again: the timeline moves on by the whole gap, the ring
// gets what fits (plus a chunk, to keep the resampler's time).
void add_silence(audio_lane *lane, int64_t frames) {
    const auto rate = static_cast<int64_t>(lane->conv.source.rate);
    const int64_t fits =
        static_cast<int64_t>(lane->capacity) * rate / audio_track_rate + int64_t{kChunkFrames};
    convert_and_push(lane, nullptr, static_cast<std::size_t>(std::min(frames, fits)));
    lane->placed += frames;
}

} // namespace

bool audio_lane_init(audio_lane *lane, const audio_source_format &source, int32_t hold_ms,
                     int32_t tolerance_ms) {
    *lane = audio_lane{};
    if (!audio_converter_init(&lane->conv, source) || hold_ms < 1) {
        return false;
    }
    lane->tolerance = int64_t{source.rate} * std::max(tolerance_ms, 0) / 1000;
    lane->capacity = static_cast<std::size_t>(int64_t{audio_track_rate} * hold_ms / 1000 + 1);
    lane->ring.assign(lane->capacity * 2, 0);
    lane->scratch.assign(audio_convert_max_output(lane->conv, kChunkFrames) * 2, 0);
    lane->live = true;
    return true;
}

void audio_lane_put(audio_lane *lane, const void *data, std::size_t frames, int64_t at) {
    const auto *bytes = static_cast<const uint8_t *>(data);
    // A packet late on its place follows silence for the gap. One early on
    // it (the device's time stamps jitter, or it hands over a burst) is
    // kept whole: sound is never thrown away for its time stamp.
    if (at >= 0 && at - lane->placed > lane->tolerance) {
        add_silence(lane, at - lane->placed);
    }
    convert_and_push(lane, bytes, frames);
    lane->placed += static_cast<int64_t>(frames);
}

void audio_lane_fill(audio_lane *lane, int64_t until) {
    if (until > lane->placed) {
        add_silence(lane, until - lane->placed);
    }
}

std::size_t audio_lanes_take(audio_lane *const *lanes, std::size_t lane_count, int16_t *dst,
                             std::size_t max_frames) {
    std::size_t n = max_frames;
    bool any = false;
    for (std::size_t i = 0; i < lane_count; ++i) {
        if (lanes[i]->live) {
            n = std::min(n, lanes[i]->count);
            any = true;
        }
    }
    if (!any || n == 0) {
        return 0;
    }
    bool first = true;
    for (std::size_t i = 0; i < lane_count; ++i) {
        audio_lane *lane = lanes[i];
        if (!lane->live) {
            continue;
        }
        std::size_t done = 0;
        while (done < n) {
            const std::size_t run = std::min(n - done, lane->capacity - lane->head);
            const int16_t *from = lane->ring.data() + lane->head * 2;
            if (first) {
                std::memcpy(dst + done * 2, from, run * 4);
            } else {
                audio_mix_saturating(dst + done * 2, from, run * 2);
            }
            done += run;
            lane->head = (lane->head + run) % lane->capacity;
            lane->count -= run;
        }
        first = false;
    }
    return n;
}
