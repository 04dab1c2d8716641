#include "screenrecorder/gif.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "screenrecorder/job.h"

void convert_to_gif(const recording_job *job) {
    // A temporary name that is empty or names the output file itself (a cut
    // path) would make the converter read and write one file, and the removal
    // below would then delete the recording: keep the file as it is instead.
    if (job->temp_path[0] == '\0' || std::strcmp(job->temp_path, job->output_path) == 0) {
        return;
    }
    if (!platform_run_converter_direct(job->temp_path, job->output_path)) {
        platform_run_converter_fallback(job->temp_path, job->output_path);
    }
    // Whatever the converter did, the temporary recording goes.
    std::remove(job->temp_path);
}
