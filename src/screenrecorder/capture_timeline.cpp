// Lays live sound along the video's timeline (see capture_timeline.h).
#include "screenrecorder/capture_timeline.h"

#include "screenrecorder/audio_timeline.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// Captured sound kept while it waits for its frames: enough for a frame
// interval of 1 s, the give-up time and the source's own buffering.
constexpr int64_t kRingSeconds = 4;
// Room made before each read, so a read is never starved by a full ring.
constexpr int64_t kReadBlock = 4096;
// Reads of one pull at most, so a source that never runs dry cannot hold the
// worker.
constexpr int kMaxReadsPerPull = 256;
// The position estimate is renewed from the best read of each window.
constexpr int64_t kWindowMs = 1000;
constexpr int32_t kWindowMinReads = 4;
constexpr int32_t kPendingCap = 1024;
// A chunk's start moves by at most 1/512 of the chunk towards where its sound
// lies: at every rate this follows a source clock more than a thousandth
// apart from ours.
constexpr int64_t kSlewDivisor = 512;

int64_t clock_frames(int64_t ms) {
    return ms * kAudioRate / 1000;
}

// Forgets the oldest `count` captured frames.
void drop_oldest(capture_timeline *tl, int64_t count) {
    count = std::min(count, tl->captured - tl->ring_first);
    tl->ring_first += count;
    tl->ring_head = (tl->ring_head + count) % tl->ring_frames;
}

int64_t max_slew_step(int64_t count) {
    return std::max<int64_t>(1, count / kSlewDivisor);
}

void measure(capture_timeline *tl, int64_t now_ms, int64_t latency) {
    const int64_t estimate = clock_frames(now_ms) - latency - tl->captured;
    if (!tl->have_base) {
        tl->have_base = true;
        tl->base = estimate;
        tl->window_min = estimate;
        tl->window_start_ms = now_ms;
        tl->window_reads = 1;
        return;
    }
    // A smaller estimate is always the better one (it came with less delay).
    tl->base = std::min(tl->base, estimate);
    tl->window_min = std::min(tl->window_min, estimate);
    ++tl->window_reads;
    if (now_ms - tl->window_start_ms >= kWindowMs && tl->window_reads >= kWindowMinReads) {
        // A whole window's best read: follows a source whose clock runs a
        // little apart from ours, and one that came back after a gap.
        tl->base = tl->window_min;
        tl->window_min = INT64_MAX;
        tl->window_start_ms = now_ms;
        tl->window_reads = 0;
    }
}

} // namespace

int64_t audio_chunk_frames(int64_t index, int32_t fps) {
    return audio_frame_start(index + 1, fps) - audio_frame_start(index, fps);
}

int64_t audio_max_chunk_frames(int32_t fps) {
    return (kAudioRate + fps - 1) / fps;
}

bool capture_timeline_init(capture_timeline *tl, int32_t fps, bool live) {
    std::memset(tl, 0, sizeof *tl);
    tl->fps = fps;
    tl->live = live;
    tl->pending_cap = kPendingCap;
    tl->pending = static_cast<audio_pending_frame *>(std::calloc(kPendingCap, sizeof(audio_pending_frame)));
    if (live) {
        tl->ring_frames = kRingSeconds * kAudioRate;
        tl->ring = static_cast<int16_t *>(
            std::calloc(static_cast<std::size_t>(tl->ring_frames), 2 * sizeof(int16_t)));
    }
    if (tl->pending == nullptr || (live && tl->ring == nullptr)) {
        capture_timeline_free(tl);
        return false;
    }
    return true;
}

void capture_timeline_free(capture_timeline *tl) {
    std::free(tl->ring);
    std::free(tl->pending);
    tl->ring = nullptr;
    tl->pending = nullptr;
    tl->pending_count = 0;
}

void capture_timeline_pull(capture_timeline *tl, const audio_source_ops &src, audio_capture *cap,
                           int64_t (*now_ms)()) {
    if (!tl->live || cap == nullptr) {
        return;
    }
    bool got = false;
    for (int reads = 0; reads < kMaxReadsPerPull; ++reads) {
        int64_t used = tl->captured - tl->ring_first;
        if (tl->ring_frames - used < kReadBlock) {
            // Sound this old has no frame left to go to.
            drop_oldest(tl, kReadBlock - (tl->ring_frames - used));
            used = tl->captured - tl->ring_first;
        }
        const int64_t tail = (tl->ring_head + used) % tl->ring_frames;
        const int64_t room = std::min(tl->ring_frames - tail, tl->ring_frames - used);
        const std::size_t n = src.read(cap, tl->ring + tail * 2, static_cast<std::size_t>(room));
        if (n == 0) {
            break;
        }
        tl->captured += static_cast<int64_t>(n);
        got = true;
        if (static_cast<int64_t>(n) < room) {
            break;
        }
    }
    if (got) {
        // The clock is read after the sound: whatever delays the worker
        // between the two can only make the estimate later, never earlier,
        // which the smallest estimate of a window leaves out.
        const int64_t latency = std::max<int64_t>(src.latency_frames(cap), 0);
        measure(tl, now_ms(), latency);
    }
}

void capture_timeline_add_frame(capture_timeline *tl, int64_t index, int64_t moment_ms) {
    if (tl->pending_count == tl->pending_cap) {
        return; // cannot happen while every add is followed by takes
    }
    const int32_t at = (tl->pending_first + tl->pending_count) % tl->pending_cap;
    tl->pending[at] = audio_pending_frame{index, moment_ms};
    ++tl->pending_count;
}

bool capture_timeline_take(capture_timeline *tl, int64_t now_ms, bool force, int16_t *out, int64_t *index,
                           std::size_t *frames) {
    if (tl->pending_count == 0) {
        return false;
    }
    const audio_pending_frame frame = tl->pending[tl->pending_first];
    const int64_t count = audio_chunk_frames(frame.index, tl->fps);
    const int64_t half_slot = kAudioRate / (2 * static_cast<int64_t>(tl->fps));

    int64_t start = tl->next_source;
    if (tl->live && tl->have_base) {
        const int64_t target = clock_frames(frame.moment_ms) - half_slot - tl->base;
        const int64_t error = target - tl->next_source;
        if (!tl->started || std::llabs(error) > clock_frames(kAudioResyncMs)) {
            start = target;
        } else if (std::llabs(error) > clock_frames(kAudioSlewMs)) {
            // The source's clock runs a little apart from ours: a sample or
            // two left out or said twice at a chunk's start keeps the sound
            // on its frames without a jump anyone hears.
            const int64_t step = std::min<int64_t>(std::llabs(error), max_slew_step(count));
            start += error > 0 ? step : -step;
        }
    }
    const bool complete = tl->live && tl->captured >= start + count;
    if (tl->live && !complete && !force && tl->pending_count < tl->pending_cap) {
        const int64_t slot_end_ms = frame.moment_ms + 500 / tl->fps;
        if (now_ms < slot_end_ms + kAudioStallMs) {
            return false;
        }
    }

    // Frames [start, start + count) of the captured sound; what the source
    // no longer holds or never delivered is silence.
    std::memset(out, 0, static_cast<std::size_t>(count) * 2 * sizeof(int16_t));
    if (tl->live) {
        const int64_t from = std::max(start, tl->ring_first);
        const int64_t to = std::min(start + count, tl->captured);
        for (int64_t k = from; k < to;) {
            const int64_t pos = (tl->ring_head + (k - tl->ring_first)) % tl->ring_frames;
            const int64_t run = std::min(to - k, tl->ring_frames - pos);
            std::memcpy(out + (k - start) * 2, tl->ring + pos * 2, static_cast<std::size_t>(run) * 4);
            k += run;
        }
        // The last samples laid down stay: the next chunk may start a step
        // back and say them twice.
        const int64_t done = start + count - max_slew_step(count);
        if (done > tl->ring_first) {
            drop_oldest(tl, done - tl->ring_first);
        }
    }
    tl->next_source = start + count;
    tl->started = true;
    tl->pending_first = (tl->pending_first + 1) % tl->pending_cap;
    --tl->pending_count;
    *index = frame.index;
    *frames = static_cast<std::size_t>(count);
    return true;
}
