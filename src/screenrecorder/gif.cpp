#include "screenrecorder/gif.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "screenrecorder/job.h"

namespace {

// A temporary name that is empty or names the output file itself (a cut
// path) would make the converter read and write one file, and the removal
// would then delete the recording: such a job keeps its file as it is.
bool has_own_temp_file(const recording_job *job) {
    return job->temp_path[0] != '\0' && std::strcmp(job->temp_path, job->output_path) != 0;
}

} // namespace

void remove_gif_temp_file(const recording_job *job) {
    if (has_own_temp_file(job)) {
        std::remove(job->temp_path);
    }
}

void convert_to_gif(const recording_job *job) {
    if (!has_own_temp_file(job)) {
        return;
    }
    if (!platform_run_converter_direct(job->temp_path, job->output_path)) {
        platform_run_converter_fallback(job->temp_path, job->output_path);
    }
    // Whatever the converter did, the temporary recording goes.
    remove_gif_temp_file(job);
}
