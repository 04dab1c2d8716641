// Live sound from the PulseAudio server (PipeWire's Pulse server answers the
// same protocol): record streams in the track's own format, which the server
// converts to, on a private main loop that the worker turns without blocking
// at each read. No thread is added.
#include "platform/audio_capture.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/stream.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

#include "screenrecorder/audio_convert.h"
#include "screenrecorder/options.h"

namespace {

constexpr std::chrono::milliseconds kConnectDeadline{1000};
constexpr uint32_t kRate = 44100;
constexpr std::size_t kFrameBytes = 4;
// The server hands sound over in pieces of about 10 ms.
constexpr uint32_t kFragmentBytes = kRate / 100 * kFrameBytes;
// Each stream of a mixed pair keeps up to a second until the other catches
// up; one that lags by more than a quarter of a second counts as silent there.
constexpr std::size_t kMixQueueFrames = kRate;
constexpr std::size_t kMixSlackFrames = kRate / 4;
constexpr std::size_t kMixPieceFrames = 1024;
constexpr int kMaxDispatchRounds = 64;

using clock_type = std::chrono::steady_clock;

struct posix_pulse_stream {
    pa_stream *stream;
    const uint8_t *fragment; // null with a length: a hole in the sound
    std::size_t fragment_bytes;
    std::size_t fragment_offset;
    bool holding; // a fragment is peeked and not yet dropped
    // Queue of a mixed pair (ring of kMixQueueFrames frames).
    int16_t *queue;
    std::size_t queue_head;
    std::size_t queue_count;
};

} // namespace

struct audio_capture {
    pa_mainloop *loop;
    pa_context *context;
    posix_pulse_stream streams[2];
    int count;
};

namespace {

// Turns the main loop until `done` holds, the context fails or the deadline
// passes. True when `done` held.
template <typename Done>
bool posix_run_until(audio_capture *cap, clock_type::time_point deadline, Done done) {
    for (;;) {
        if (done()) {
            return true;
        }
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(cap->context))) {
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - clock_type::now());
        if (left.count() <= 0) {
            return false;
        }
        if (pa_mainloop_prepare(cap->loop, static_cast<int>(left.count())) < 0 ||
            pa_mainloop_poll(cap->loop) < 0 || pa_mainloop_dispatch(cap->loop) < 0) {
            return false;
        }
    }
}

struct posix_source_answer {
    bool done;
    bool captures; // a real input, not the monitor of an output
};

void posix_on_source(pa_context *, const pa_source_info *info, int eol, void *userdata) {
    auto *answer = static_cast<posix_source_answer *>(userdata);
    if (info != nullptr) {
        answer->captures = info->monitor_of_sink == PA_INVALID_INDEX;
    }
    if (eol != 0) {
        answer->done = true;
    }
}

// Whether the server's default source is a real input.
bool posix_default_source_captures(audio_capture *cap, clock_type::time_point deadline) {
    posix_source_answer answer{};
    pa_operation *op =
        pa_context_get_source_info_by_name(cap->context, "@DEFAULT_SOURCE@", posix_on_source, &answer);
    if (op == nullptr) {
        return false;
    }
    const bool answered = posix_run_until(cap, deadline, [&] { return answer.done; });
    if (!answered) {
        pa_operation_cancel(op);
    }
    pa_operation_unref(op);
    return answered && answer.captures;
}

void posix_release_stream(posix_pulse_stream *ps) {
    if (ps->stream != nullptr) {
        pa_stream_disconnect(ps->stream);
        pa_stream_unref(ps->stream);
    }
    std::free(ps->queue);
    *ps = posix_pulse_stream{};
}

// Starts a record stream on `device` and waits until it runs.
bool posix_open_stream(audio_capture *cap, const char *device, bool queued, clock_type::time_point deadline) {
    posix_pulse_stream &ps = cap->streams[cap->count];
    const pa_sample_spec format{PA_SAMPLE_S16LE, kRate, 2};
    ps.stream = pa_stream_new(cap->context, "kestrova-screenrecorder", &format, nullptr);
    if (ps.stream == nullptr) {
        return false;
    }
    if (queued) {
        ps.queue = static_cast<int16_t *>(std::calloc(kMixQueueFrames, kFrameBytes));
    }
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = kFragmentBytes;
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
    const bool running = (!queued || ps.queue != nullptr) &&
                         pa_stream_connect_record(ps.stream, device, &attr, flags) >= 0 &&
                         posix_run_until(cap, deadline,
                                         [&] {
                                             const pa_stream_state_t st = pa_stream_get_state(ps.stream);
                                             return st == PA_STREAM_READY || !PA_STREAM_IS_GOOD(st);
                                         }) &&
                         pa_stream_get_state(ps.stream) == PA_STREAM_READY;
    if (!running) {
        posix_release_stream(&ps);
        return false;
    }
    ++cap->count;
    return true;
}

bool posix_stream_alive(const posix_pulse_stream &ps) {
    return ps.stream != nullptr && pa_stream_get_state(ps.stream) == PA_STREAM_READY;
}

// Moves up to `max_frames` frames of what the server has delivered into dst.
std::size_t posix_take(posix_pulse_stream *ps, int16_t *dst, std::size_t max_frames) {
    std::size_t moved = 0;
    while (moved < max_frames && posix_stream_alive(*ps)) {
        if (!ps->holding) {
            const void *data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(ps->stream, &data, &bytes) < 0 || bytes == 0) {
                break; // nothing more for now
            }
            ps->fragment = static_cast<const uint8_t *>(data);
            ps->fragment_bytes = bytes;
            ps->fragment_offset = 0;
            ps->holding = true;
        }
        const std::size_t left = (ps->fragment_bytes - ps->fragment_offset) / kFrameBytes;
        const std::size_t take = std::min(left, max_frames - moved);
        if (ps->fragment == nullptr) {
            std::memset(dst + moved * 2, 0, take * kFrameBytes);
        } else {
            std::memcpy(dst + moved * 2, ps->fragment + ps->fragment_offset, take * kFrameBytes);
        }
        ps->fragment_offset += take * kFrameBytes;
        moved += take;
        if (ps->fragment_bytes - ps->fragment_offset < kFrameBytes) {
            pa_stream_drop(ps->stream);
            ps->holding = false;
        }
    }
    return moved;
}

// Fills a mixed pair's queue from the server.
void posix_fill_queue(posix_pulse_stream *ps) {
    while (ps->queue_count < kMixQueueFrames) {
        const std::size_t tail = (ps->queue_head + ps->queue_count) % kMixQueueFrames;
        const std::size_t room = std::min(kMixQueueFrames - tail, kMixQueueFrames - ps->queue_count);
        const std::size_t n = posix_take(ps, ps->queue + tail * 2, room);
        ps->queue_count += n;
        if (n < room) {
            return;
        }
    }
}

// Copies the queue's first `frames` frames to dst, silence past its end.
void posix_copy_queued(const posix_pulse_stream &ps, int16_t *dst, std::size_t frames) {
    const std::size_t have = std::min(frames, ps.queue_count);
    for (std::size_t i = 0; i < have;) {
        const std::size_t pos = (ps.queue_head + i) % kMixQueueFrames;
        const std::size_t run = std::min(have - i, kMixQueueFrames - pos);
        std::memcpy(dst + i * 2, ps.queue + pos * 2, run * kFrameBytes);
        i += run;
    }
    std::memset(dst + have * 2, 0, (frames - have) * kFrameBytes);
}

void posix_consume(posix_pulse_stream *ps, std::size_t frames) {
    frames = std::min(frames, ps->queue_count);
    ps->queue_head = (ps->queue_head + frames) % kMixQueueFrames;
    ps->queue_count -= frames;
}

// The two streams of "both", summed with saturation. Sound is handed over as
// far as both have it; a stream that is gone, or lags far behind, is silence.
std::size_t posix_read_mixed(audio_capture *cap, int16_t *dst, std::size_t max_frames) {
    posix_pulse_stream &a = cap->streams[0];
    posix_pulse_stream &b = cap->streams[1];
    posix_fill_queue(&a);
    posix_fill_queue(&b);
    const bool a_alive = posix_stream_alive(a);
    const bool b_alive = posix_stream_alive(b);
    std::size_t n = std::min(a.queue_count, b.queue_count);
    const std::size_t longer = std::max(a.queue_count, b.queue_count);
    if (!a_alive || !b_alive || longer - n > kMixSlackFrames) {
        n = longer;
    }
    n = std::min(n, max_frames);
    int16_t other[kMixPieceFrames * 2];
    for (std::size_t done = 0; done < n;) {
        const std::size_t piece = std::min(n - done, kMixPieceFrames);
        posix_copy_queued(a, dst + done * 2, piece);
        posix_copy_queued(b, other, piece);
        audio_mix_saturating(dst + done * 2, other, piece * 2);
        posix_consume(&a, piece);
        posix_consume(&b, piece);
        done += piece;
    }
    return n;
}

} // namespace

audio_capture *audio_capture_open(int32_t mode) {
    if (mode != audio_mic && mode != audio_system && mode != audio_both) {
        return nullptr;
    }
    auto *cap = new (std::nothrow) audio_capture{};
    if (cap == nullptr) {
        return nullptr;
    }
    const auto deadline = clock_type::now() + kConnectDeadline;
    cap->loop = pa_mainloop_new();
    if (cap->loop != nullptr) {
        cap->context = pa_context_new(pa_mainloop_get_api(cap->loop), "kestrova-screenrecorder");
    }
    const bool connected = cap->context != nullptr &&
                           pa_context_connect(cap->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0 &&
                           posix_run_until(cap, deadline, [&] {
                               return pa_context_get_state(cap->context) == PA_CONTEXT_READY;
                           });
    if (connected) {
        const bool both = mode == audio_both;
        if (mode == audio_system || both) {
            posix_open_stream(cap, "@DEFAULT_MONITOR@", both, deadline);
        }
        if ((mode == audio_mic || both) && posix_default_source_captures(cap, deadline)) {
            posix_open_stream(cap, nullptr, both, deadline);
        }
    }
    if (cap->count == 0) {
        audio_capture_close(cap);
        return nullptr;
    }
    return cap;
}

std::size_t audio_capture_read(audio_capture *cap, int16_t *dst, std::size_t max_frames) {
    if (cap == nullptr || max_frames == 0) {
        return 0;
    }
    // Handle whatever the server has sent, without waiting for more.
    for (int round = 0; round < kMaxDispatchRounds; ++round) {
        if (pa_mainloop_iterate(cap->loop, 0, nullptr) <= 0) {
            break;
        }
    }
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(cap->context))) {
        return 0;
    }
    if (cap->streams[0].queue != nullptr) {
        return posix_read_mixed(cap, dst, max_frames);
    }
    return posix_take(&cap->streams[0], dst, max_frames);
}

int64_t audio_capture_latency_frames(audio_capture *cap) {
    if (cap == nullptr) {
        return 0;
    }
    int64_t most = 0;
    for (int i = 0; i < cap->count; ++i) {
        pa_usec_t usec = 0;
        int negative = 0;
        if (posix_stream_alive(cap->streams[i]) &&
            pa_stream_get_latency(cap->streams[i].stream, &usec, &negative) >= 0 && negative == 0) {
            most = std::max(most, static_cast<int64_t>(usec * kRate / 1000000));
        }
    }
    return most;
}

void audio_capture_close(audio_capture *cap) {
    if (cap == nullptr) {
        return;
    }
    for (posix_pulse_stream &ps : cap->streams) {
        posix_release_stream(&ps);
    }
    if (cap->context != nullptr) {
        pa_context_disconnect(cap->context);
        pa_context_unref(cap->context);
    }
    if (cap->loop != nullptr) {
        pa_mainloop_free(cap->loop);
    }
    delete cap;
}
