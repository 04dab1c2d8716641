// The live sound of one recording job (see worker_audio.h).
#include "screenrecorder/worker_audio.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/audio_capture.h"
#include "screenrecorder/worker.h"

namespace {

// How long the end of a recording waits for the sound of its last frames:
// the second half of the last slot, plus the source's own delay, at most.
constexpr int64_t kFinishExtraMs = 250;
constexpr int64_t kFinishWaitMaxMs = 1000;
constexpr int64_t kFinishPollMs = 5;

bool write_ready(worker_audio *wa, bool force, int64_t *failed_index) {
    int64_t index = 0;
    std::size_t frames = 0;
    while (capture_timeline_take(&wa->tl, wa->env->now_ms(), force, wa->chunk, &index, &frames)) {
        const auto *pcm = reinterpret_cast<const uint8_t *>(wa->chunk);
        if (wa->ops->write_audio(wa->sink, pcm, frames * kAudioBytesPerFrame, index, index * wa->sample_hns,
                                 wa->sample_hns) == sink_write::failed) {
            *failed_index = index;
            return false;
        }
    }
    return true;
}

} // namespace

bool worker_audio_open(worker_audio *wa, const worker_env &env, void *sink, int32_t mode, int32_t fps) {
    std::memset(wa, 0, sizeof *wa);
    wa->env = &env;
    wa->ops = env.sink;
    wa->sink = sink;
    wa->sample_hns = 10000000 / fps;
    const std::size_t chunk_samples = static_cast<std::size_t>(audio_max_chunk_frames(fps)) * 2;
    wa->chunk = static_cast<int16_t *>(std::calloc(chunk_samples, sizeof(int16_t)));
    if (wa->chunk == nullptr) {
        return false;
    }
    wa->cap = env.audio != nullptr ? env.audio->open(mode) : nullptr;
    if (!capture_timeline_init(&wa->tl, fps, wa->cap != nullptr)) {
        worker_audio_close(wa);
        return false;
    }
    return true;
}

bool worker_audio_after_frame(worker_audio *wa, int64_t index, int64_t moment_ms, int64_t *failed_index) {
    if (wa->cap != nullptr) {
        capture_timeline_pull(&wa->tl, *wa->env->audio, wa->cap, wa->env->now_ms);
    }
    capture_timeline_add_frame(&wa->tl, index, moment_ms);
    return write_ready(wa, false, failed_index);
}

bool worker_audio_finish(worker_audio *wa, int64_t *failed_index) {
    const int64_t begun = wa->env->now_ms();
    while (capture_timeline_waiting(&wa->tl) && wa->cap != nullptr) {
        capture_timeline_pull(&wa->tl, *wa->env->audio, wa->cap, wa->env->now_ms);
        if (!write_ready(wa, false, failed_index)) {
            return false;
        }
        const int64_t wait_ms = std::min(kFinishWaitMaxMs, 500 / wa->tl.fps + kFinishExtraMs);
        if (!capture_timeline_waiting(&wa->tl) || wa->env->now_ms() - begun >= wait_ms) {
            break;
        }
        wa->env->sleep_ms(kFinishPollMs);
    }
    return write_ready(wa, true, failed_index);
}

void worker_audio_close(worker_audio *wa) {
    if (wa->cap != nullptr && wa->env != nullptr && wa->env->audio != nullptr) {
        wa->env->audio->close(wa->cap);
    }
    wa->cap = nullptr;
    capture_timeline_free(&wa->tl);
    std::free(wa->chunk);
    wa->chunk = nullptr;
}

const audio_source_ops &platform_audio_source() {
    static const audio_source_ops ops{audio_capture_open, audio_capture_read, audio_capture_latency_frames,
                                      audio_capture_close};
    return ops;
}
