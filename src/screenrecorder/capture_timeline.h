// Lays live sound along the video's timeline. The video is stamped by frame
// index, so the sound is too: frame n gets exactly the samples between
// floor(n x 44100 / fps) and floor((n + 1) x 44100 / fps), and those samples
// are the ones captured around the moment frame n was taken (its slot, from
// half an interval before the grab to half an interval after). Captured sound
// is placed on the worker's clock through the source's position and reported
// latency; time the worker skipped is left out of the sound as it is of the
// pictures, and time the source did not deliver becomes silence.
#pragma once

#include <cstddef>
#include <cstdint>

struct audio_capture;

// The source as the worker sees it: the platform's capture in production,
// a scripted one in the tests.
struct audio_source_ops {
    audio_capture *(*open)(int32_t mode);
    std::size_t (*read)(audio_capture *cap, int16_t *dst, std::size_t max_frames);
    int64_t (*latency_frames)(audio_capture *cap);
    void (*close)(audio_capture *cap);
};

const audio_source_ops &platform_audio_source();

// Sound of a frame that has not arrived this long after the end of its slot
// is given up on: the frame gets silence for it.
inline constexpr int64_t kAudioStallMs = 500;
// Sound that strays this far from its place (after a re-anchor, a gap of
// the source) is laid back at once; closer than that it is drawn back a
// sample or two per chunk, and only once it strays more than kAudioSlewMs, so
// that the small jitter of the measurement does not touch the sound at all.
inline constexpr int64_t kAudioResyncMs = 15;
inline constexpr int64_t kAudioSlewMs = 2;

struct audio_pending_frame {
    int64_t index;
    int64_t moment_ms; // when the frame was taken, on the worker's clock
};

struct capture_timeline {
    int32_t fps;
    bool live; // a source is open; without one every chunk is silence at once

    // Captured sound not yet laid down: captured sample frames
    // [ring_first, captured) in a ring of ring_frames frames.
    int16_t *ring;
    int64_t ring_frames;
    int64_t ring_head; // ring position of ring_first
    int64_t ring_first;
    int64_t captured;

    // Where captured frame 0 lies on the worker's clock, in sample frames of
    // that clock (ms x 44100 / 1000): the smallest estimate of a window, as a
    // late read only makes the estimate larger.
    bool have_base;
    int64_t base;
    int64_t window_min;
    int64_t window_start_ms;
    int32_t window_reads;

    int64_t next_source; // captured frame where the next chunk continues
    bool started;        // a chunk has been laid down

    // Frames taken whose sound is still to come, oldest first.
    audio_pending_frame *pending;
    int32_t pending_cap;
    int32_t pending_first;
    int32_t pending_count;
};

// Sample frames of frame `index`'s chunk at `fps`; over n frames they add up
// to floor(n x 44100 / fps) exactly.
int64_t audio_chunk_frames(int64_t index, int32_t fps);
// The largest chunk at `fps`, in sample frames.
int64_t audio_max_chunk_frames(int32_t fps);

// Allocates the timeline's buffers; false when the memory is not there (the
// timeline is then empty and free to release).
bool capture_timeline_init(capture_timeline *tl, int32_t fps, bool live);
void capture_timeline_free(capture_timeline *tl);

// Moves everything the source has into the timeline and measures where it
// lies: by the source's position and latency, against the worker's clock
// `now_ms` read once the sound is in.
void capture_timeline_pull(capture_timeline *tl, const audio_source_ops &src, audio_capture *cap,
                           int64_t (*now_ms)());

// Records that frame `index` was taken at `moment_ms`. Frames come in order.
void capture_timeline_add_frame(capture_timeline *tl, int64_t index, int64_t moment_ms);

// The chunk of the oldest waiting frame, when its sound is all there, or when
// it has been waited for long enough, or when `force` is set: fills `out`
// (audio_max_chunk_frames x 2 samples at least) and tells its frame index and
// size. False when no chunk is ready.
bool capture_timeline_take(capture_timeline *tl, int64_t now_ms, bool force, int16_t *out, int64_t *index,
                           std::size_t *frames);

inline bool capture_timeline_waiting(const capture_timeline *tl) {
    return tl->pending_count > 0;
}
