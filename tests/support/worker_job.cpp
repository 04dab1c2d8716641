#include "support/worker_job.h"

#include <cstring>

void worker_test_job(recording_job *job) {
    *job = {};
    job->id = 1;
    job->active = 1;
    job->opts.fps = 30;
    job->opts.bitrate_kbps = 8000;
    std::strcpy(job->opts.codec, "h264");
    std::strcpy(job->output_path, "out.mp4");
    job->width = 16;
    job->height = 16;
}
