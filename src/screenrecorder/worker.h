// The recording worker: the body of one job's thread.
#pragma once

#include <cstdint>

#include "platform/grab.h"
#include "platform/media_sink.h"
#include "screenrecorder/capture_timeline.h"

struct recording_job;

// What the worker needs of the outside world. Production uses the platform's
// clock, grab and sink; the tests hand in a fake clock and a fake sink.
struct worker_env {
    int64_t (*now_ms)();
    void (*sleep_ms)(int64_t ms);
    bool (*grab_open)(grab_context *ctx, int32_t width, int32_t height);
    bool (*grab_view)(grab_context *ctx, int32_t x, int32_t y, uint8_t *scratch, bgra_picture *picture);
    void (*grab_close)(grab_context *ctx);
    const media_sink_ops *sink;
    // Runs the GIF step of a GIF job (convert_to_gif in production).
    void (*convert_to_gif)(const recording_job *job);
    // Asks an open grab for the pointer in its frames (a job with "cursor").
    void (*grab_include_cursor)(grab_context *ctx, bool include);
    // The live sound of a job that asks for it.
    const audio_source_ops *audio;
};

const worker_env &platform_worker_env();

// Runs one job to its end with `env`. Returns the thread's exit code: 0 after
// a normal run, 1 when the media stack cannot start, 2 when the writer cannot
// be opened (or another set-up step fails). A set-up failure leaves its
// message in job->error, no frame, every resource released and, for a GIF
// job, no temporary file (nothing is converted); a sample
// that cannot be made in mid-recording ends the loop, keeps its message in
// job->error and finalises what was written.
//
// Sink calls: create, startup (a failing startup undoes itself), open,
// add_video, add_audio (not for a GIF job), begin; then write_video and
// write_audio per frame; then finalize, shutdown, destroy. After a failure
// between open and the first frame: abandon, shutdown, destroy.
uint32_t record_job(recording_job *job, const worker_env &env);

// Thread entry: record_job over the platform's environment.
uint32_t win32_record_thread(void *job);
