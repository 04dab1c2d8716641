// The live sound of one recording job: the source, its timeline and the
// chunks handed to the media sink, frame by frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/media_sink.h"
#include "screenrecorder/capture_timeline.h"

struct worker_env;

struct worker_audio {
    const worker_env *env;
    const media_sink_ops *ops;
    void *sink;
    int64_t sample_hns;
    audio_capture *cap;
    capture_timeline tl;
    int16_t *chunk;
};

// Opens the source for `mode` (an audio_mode) and the timeline. A source that
// cannot be opened leaves a timeline of silence; false only when memory for
// the buffers is missing (then nothing is held).
bool worker_audio_open(worker_audio *wa, const worker_env &env, void *sink, int32_t mode, int32_t fps);

// After frame `index`, taken at `moment_ms`: pulls the sound that arrived and
// writes every chunk whose sound is complete. False when the sink could not
// take a chunk; *failed_index then names its frame.
bool worker_audio_after_frame(worker_audio *wa, int64_t index, int64_t moment_ms, int64_t *failed_index);

// At the end of the recording: waits a little for the sound of the last
// frames, then writes every chunk still owed, silence where sound is missing.
bool worker_audio_finish(worker_audio *wa, int64_t *failed_index);

// Closes the source and frees the buffers; safe on an opened or failed one.
void worker_audio_close(worker_audio *wa);
