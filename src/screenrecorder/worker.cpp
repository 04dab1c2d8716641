// The recording worker: paces the capture loop, stamps the samples and tears
// the job down, over whatever clock, grab and media sink its environment
// hands it.
#include "screenrecorder/worker.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "screenrecorder/gif.h"
#include "screenrecorder/job.h"
#include "screenrecorder/pattern.h"
#include "screenrecorder/worker_audio.h"

namespace {

constexpr int64_t kHnsPerSecond = 10000000;

// Ends a job whose set-up failed: the message is already in `error`.
uint32_t end_after_failure(recording_job *job, uint32_t exit_code) {
    shared_store(job->running, int32_t{0});
    shared_store(job->finished, int32_t{1});
    return exit_code;
}

// Ends a job whose writer was opened (or tried) but could not be set up. The
// file may exist already: a GIF job's temporary recording is removed, as on
// every other end of such a job.
uint32_t end_after_writer_failure(recording_job *job) {
    if (job->opts.gif != 0) {
        remove_gif_temp_file(job);
    }
    return end_after_failure(job, 2);
}

// Releases a sink whose writer was (partly) opened but never finalised.
void release_unfinished_sink(const media_sink_ops &ops, void *sink) {
    ops.abandon(sink);
    ops.shutdown(sink);
    ops.destroy(sink);
}

// Allocates `bytes` zeroed bytes; null when the size does not fit or the
// memory is not there.
uint8_t *allocate_zeroed(uint64_t bytes) {
    if (bytes == 0 || bytes > SIZE_MAX) {
        return nullptr;
    }
    return static_cast<uint8_t *>(std::calloc(static_cast<std::size_t>(bytes), 1));
}

} // namespace

uint32_t record_job(recording_job *job, const worker_env &env) {
    shared_store(job->running, int32_t{1});
    const int64_t entry_ms = env.now_ms();
    shared_store(job->frames, int64_t{0});
    shared_store(job->start_ms, entry_ms);
    shared_store(job->dropped_frames, int64_t{0});

    const int32_t fps = job->opts.fps;
    const int32_t width = job->width;
    const int32_t height = job->height;
    const bool gif = job->opts.gif != 0;
    const int64_t interval_ms = 1000 / fps;
    const int64_t lateness_limit_ms = 3 * interval_ms;
    const int64_t sample_hns = kHnsPerSecond / fps;
    // Both sizes are at most (2^31 - 1)^2 x 4, which fits 64 unsigned bits.
    const uint64_t frame_bytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 4u;
    const uint64_t silence_bytes = static_cast<uint64_t>(kAudioRate / fps) * kAudioBytesPerFrame;

    // --- Set-up -----------------------------------------------------------
    const media_sink_ops &ops = *env.sink;
    if (ops.create == nullptr) {
        std::snprintf(job->error, sizeof job->error, "no media writer on this platform");
        return end_after_failure(job, 1);
    }
    void *sink = ops.create();
    if (sink == nullptr) {
        std::snprintf(job->error, sizeof job->error, "out of memory for the media writer");
        return end_after_failure(job, 1);
    }
    if (ops.startup(sink, job->error, sizeof job->error) != 0) {
        // A failed start-up has undone itself: only the state is left.
        ops.destroy(sink);
        return end_after_failure(job, 1);
    }

    const char *path = gif ? job->temp_path : job->output_path;
    video_stream_desc video{};
    video.hevc = std::strcmp(job->opts.codec, "hevc") == 0;
    video.bitrate_bps = static_cast<uint32_t>(job->opts.bitrate_kbps) * 1000u;
    video.width = width;
    video.height = height;
    video.fps = fps;
    int rc = ops.open(sink, path, job->error, sizeof job->error);
    if (rc == 0) {
        rc = ops.add_video(sink, &video, job->error, sizeof job->error);
    }
    if (rc == 0 && !gif) {
        rc = ops.add_audio(sink, job->error, sizeof job->error);
    }
    if (rc == 0) {
        rc = ops.begin(sink, job->error, sizeof job->error);
    }
    if (rc != 0) {
        release_unfinished_sink(ops, sink);
        return end_after_writer_failure(job);
    }

    uint8_t *frame = allocate_zeroed(frame_bytes);
    uint8_t *silence = allocate_zeroed(silence_bytes);
    if (frame == nullptr || silence == nullptr) {
        std::snprintf(job->error, sizeof job->error, "out of memory for the %s buffer (%" PRIu64 " bytes)",
                      frame == nullptr ? "frame" : "silence", frame == nullptr ? frame_bytes : silence_bytes);
        std::free(frame);
        std::free(silence);
        release_unfinished_sink(ops, sink);
        return end_after_writer_failure(job);
    }

    // Live sound in place of the silence, when the job asks for a source.
    const bool live_audio = !gif && job->opts.capture_audio != 0 && job->opts.audio != audio_none;
    worker_audio audio{};
    if (live_audio && !worker_audio_open(&audio, env, sink, job->opts.audio, fps)) {
        std::snprintf(job->error, sizeof job->error, "out of memory for the sound buffers");
        std::free(frame);
        std::free(silence);
        release_unfinished_sink(ops, sink);
        return end_after_failure(job, 2);
    }

    grab_context grab{};
    const bool grabbing = env.grab_open(&grab, width, height);
    if (grabbing && job->opts.cursor != 0) {
        env.grab_include_cursor(&grab, true);
    }

    // --- Capture loop -----------------------------------------------------
    // Deadlines are counted from an anchor in whole frame slots, each slot
    // 1000 / fps milliseconds taken exactly, so the long-run rate is fps.
    // Slot 1 is one frame interval after capture start; a pass that finds
    // itself too late makes its own moment the new anchor, slot 0.
    int64_t anchor_ms = env.now_ms();
    shared_store(job->start_ms, anchor_ms);
    int64_t slot = 1;
    int64_t frames = 0;
    int64_t dropped = 0;
    bool video_ok = true;
    bool audio_ok = true;
    int64_t audio_failed_at = 0;
    bool previous_grabbed = false;
    if (shared_load(job->stop_requested) == 0) {
        for (;;) {
            int64_t moment_ms = anchor_ms + (slot * 1000) / fps; // the slot this frame stands for
            const int64_t now_ms = env.now_ms();
            if (now_ms < moment_ms) {
                env.sleep_ms(moment_ms - now_ms);
            } else if (now_ms - moment_ms > lateness_limit_ms) {
                // One drop per late pass, however many slots were missed.
                shared_store(job->dropped_frames, ++dropped);
                anchor_ms = now_ms;
                moment_ms = now_ms;
                slot = 0;
            }

            // The grab hands out its own picture where it can; the frame
            // buffer is written for the pattern (and for grabs that cannot).
            // A picture the grab reports unchanged is only the same as the
            // previous frame's when that frame was grabbed too.
            bgra_picture picture{};
            const bool grabbed = grabbing && env.grab_view(&grab, job->grab_x, job->grab_y, frame, &picture);
            if (!grabbed) {
                generate_pattern_frame(frame, width, height, frames);
                picture = bgra_picture{frame, static_cast<std::size_t>(width) * 4u, false};
            } else if (!previous_grabbed) {
                picture.unchanged = false;
            }
            previous_grabbed = grabbed;
            const int64_t time_hns = frames * sample_hns;
            if (ops.write_video(sink, &picture, frames, time_hns, sample_hns) == sink_write::failed) {
                std::snprintf(job->error, sizeof job->error,
                              "video sample of frame %" PRId64 " could not be written", frames);
                video_ok = false;
                break;
            }
            if (live_audio) {
                audio_ok = worker_audio_after_frame(&audio, frames, moment_ms, &audio_failed_at);
            } else if (!gif && ops.write_audio(sink, silence, static_cast<std::size_t>(silence_bytes), frames,
                                               time_hns, sample_hns) == sink_write::failed) {
                audio_ok = false;
                audio_failed_at = frames;
            }
            shared_store(job->frames, ++frames);
            ++slot;
            if (!audio_ok) {
                break;
            }
            if (shared_load(job->stop_requested) != 0) {
                break;
            }
        }
    }

    // --- Teardown ---------------------------------------------------------
    job->end_ms = env.now_ms();
    if (live_audio) {
        // The sound of the last frames, then the source is let go.
        if (audio_ok && video_ok) {
            audio_ok = worker_audio_finish(&audio, &audio_failed_at);
        }
        worker_audio_close(&audio);
    }
    if (!audio_ok) {
        std::snprintf(job->error, sizeof job->error, "audio sample of frame %" PRId64 " could not be written",
                      audio_failed_at);
    }
    env.grab_close(&grab);
    const bool completed = ops.finalize(sink, job->error, sizeof job->error) == 0;
    // The summary never counts a frame that is not in the file: after a
    // failed write (a full disk) a sink that can tell says how many frames
    // the file kept; one that cannot has left no usable recording.
    const int64_t kept = ops.frames_in_file != nullptr ? ops.frames_in_file(sink) : -1;
    if (kept >= 0 && kept < frames) {
        shared_store(job->frames, kept);
    } else if (kept < 0 && !completed) {
        shared_store(job->frames, int64_t{0});
    }
    std::free(frame);
    std::free(silence);
    ops.shutdown(sink);
    ops.destroy(sink);
    if (gif) {
        env.convert_to_gif(job);
    }
    shared_store(job->running, int32_t{0});
    shared_store(job->finished, int32_t{1});
    return 0;
}

const worker_env &platform_worker_env() {
    static const worker_env env{platform_now_ms, platform_sleep_ms,   grab_open,
                                grab_view,       grab_close,          &platform_media_sink(),
                                convert_to_gif,  grab_include_cursor, &platform_audio_source()};
    return env;
}

uint32_t win32_record_thread(void *job) {
    return record_job(static_cast<recording_job *>(job), platform_worker_env());
}
