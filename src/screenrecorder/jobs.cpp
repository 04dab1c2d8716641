#include "screenrecorder/job.h"

recording_job g_jobs[kMaxJobs];

int32_t find_free_slot() {
    for (int32_t i = 0; i < kMaxJobs; ++i) {
        if (g_jobs[i].active == 0) {
            return i;
        }
    }
    return -1;
}

recording_job *find_job(int32_t job) {
    // Unsigned arithmetic turns 0, negative numbers and INT32_MIN into large
    // indexes, so one comparison rejects everything outside 1..8 before any
    // slot is read.
    const uint32_t index = static_cast<uint32_t>(job) - 1u;
    if (index >= static_cast<uint32_t>(kMaxJobs)) {
        return nullptr;
    }
    recording_job *slot = &g_jobs[index];
    if (slot->active == 0 || slot->id != job) {
        return nullptr;
    }
    return slot;
}

int32_t encode_dimension(int32_t pixels) {
    const int32_t even = (pixels / 2) * 2;
    return even < kMinEncodeSize ? kMinEncodeSize : even;
}

void set_capture_area(recording_job *job, const display_geometry &display) {
    const recording_options &o = job->opts;
    if (o.has_region != 0) {
        job->width = encode_dimension(o.region_w);
        job->height = encode_dimension(o.region_h);
        job->grab_x = o.region_x;
        job->grab_y = o.region_y;
    } else {
        job->width = encode_dimension(display.width);
        job->height = encode_dimension(display.height);
        job->grab_x = desktop_coordinate(display.x, o.region_x);
        job->grab_y = desktop_coordinate(display.y, o.region_y);
    }
}
