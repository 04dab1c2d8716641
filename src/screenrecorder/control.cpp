// Recording control: starting, polling and stopping the jobs of g_jobs.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "kestrova/screenrecorder.h"
#include "platform/platform.h"
#include "screenrecorder/display.h"
#include "screenrecorder/errors.h"
#include "screenrecorder/job.h"
#include "screenrecorder/options.h"
#include "screenrecorder/result_text.h"

extern "C" int32_t screenrecorder_start(const char *output_path, const char *options_json, int32_t *out_job) {
    if (output_path == nullptr || output_path[0] == '\0') {
        set_last_error("output path cannot be empty");
        return -1;
    }
    if (out_job == nullptr) {
        set_last_error("job pointer is NULL");
        return -1;
    }
    recording_options opts;
    parse_options(options_json, &opts);

    // A path that does not fit the record would be recorded under a shorter
    // name the caller never gave; for a GIF job the temporary name must fit
    // whole too, or it could name the output file itself.
    const std::size_t path_length = std::strlen(output_path);
    if (path_length > kMaxOutputPath || (opts.gif != 0 && path_length > kMaxGifOutputPath)) {
        set_last_error("output path too long");
        return -1;
    }

    display_geometry display{};
    if (get_display_geometry(opts.display, &display) != 0) {
        set_last_error("display index %d out of range", opts.display);
        return -2;
    }

    const int32_t index = find_free_slot();
    if (index < 0) {
        set_last_error("maximum concurrent recording jobs reached (%d)", kMaxJobs);
        return -3;
    }

    recording_job *job = &g_jobs[index];
    std::memset(static_cast<void *>(job), 0, sizeof *job);
    job->opts = opts;
    job->id = index + 1;
    job->active = 1;
    std::memcpy(job->output_path, output_path, path_length + 1);
    if (opts.gif != 0) {
        std::snprintf(job->temp_path, sizeof job->temp_path, "%s%s", output_path, kTempSuffix);
    }
    set_capture_area(job, display);
    // Until the worker takes its own reading, elapsed time counts from here
    // rather than from the clock's origin.
    job->start_ms = platform_now_ms();

    job->thread = platform_start_worker(job);
    if (job->thread == nullptr) {
        set_last_error("failed to create recording thread");
        job->active = 0;
        return -4;
    }
    *out_job = job->id;
    return 0;
}

extern "C" int32_t screenrecorder_status(int32_t job_number, const char **out_json) {
    if (out_json == nullptr) {
        set_last_error("out_json pointer is NULL");
        return -1;
    }
    recording_job *job = find_job(job_number);
    if (job == nullptr) {
        set_last_error("invalid job handle %d", job_number);
        return -1;
    }
    double elapsed_s = static_cast<double>(platform_now_ms() - shared_load(job->start_ms)) / 1000.0;
    if (elapsed_s < 0.0) {
        elapsed_s = 0.0;
    }
    const int64_t bytes = measure_file_size(job->opts.gif != 0 ? job->temp_path : job->output_path);
    std::snprintf(job->status_json, sizeof job->status_json,
                  "{\"progress_percent\":0,\"elapsed_s\":%.2f,\"size_mb\":%.2f,\"dropped_frames\":%" PRId64
                  "}",
                  elapsed_s, bytes_to_mib(bytes), shared_load(job->dropped_frames));
    *out_json = job->status_json;
    return 0;
}

extern "C" int32_t screenrecorder_stop(int32_t job_number, const char **out_json) {
    recording_job *job = find_job(job_number);
    if (job == nullptr) {
        set_last_error("invalid job handle %d", job_number);
        return -1;
    }
    const thread_handle thread = job->thread;
    shared_store(job->stop_requested, int32_t{1});
    if (thread != nullptr) {
        platform_wait_thread(thread);
        platform_close_thread(thread);
        job->thread = nullptr;
    }
    // The worker has ended: its counters hold their final values.
    const int64_t frames = shared_load(job->frames);
    const int64_t dropped = shared_load(job->dropped_frames);
    const double duration_s = static_cast<double>(frames) / static_cast<double>(job->opts.fps);
    const int64_t bytes = measure_file_size(job->output_path);
    char escaped[kResultTextSize];
    json_escape_path(job->output_path, escaped, sizeof escaped);
    // A long path cuts the text at the buffer's end; that is accepted.
    if (std::snprintf(job->stop_json, sizeof job->stop_json,
                      "{\"output\":\"%s\",\"size_mb\":%.2f,\"duration_s\":%.2f,\"frames\":%" PRId64
                      ",\"dropped_frames\":%" PRId64 "}",
                      escaped, bytes_to_mib(bytes), duration_s, frames, dropped) < 0) {
        job->stop_json[0] = '\0';
    }
    if (out_json != nullptr) {
        *out_json = job->stop_json;
    }
    job->active = 0;
    return 0;
}
