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
