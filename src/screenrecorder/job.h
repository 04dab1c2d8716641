// The fixed table of recording jobs shared by the exports and the workers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "screenrecorder/display.h"
#include "screenrecorder/options.h"

inline constexpr int kMaxJobs = 8;
inline constexpr std::size_t kPathSize = 1024;
inline constexpr std::size_t kJobTextSize = 1024;
inline constexpr std::size_t kJobErrorSize = 256;
// Longest output path a job accepts, and the longest for a GIF job, whose
// temporary name adds ".tmp.mp4" and must fit the same buffer whole.
inline constexpr std::size_t kMaxOutputPath = kPathSize - 1;
inline constexpr char kTempSuffix[] = ".tmp.mp4";
inline constexpr std::size_t kMaxGifOutputPath = kMaxOutputPath - (sizeof kTempSuffix - 1);
inline constexpr int32_t kMinEncodeSize = 16;

using thread_handle = void *;

struct recording_job {
    int32_t id;
    int32_t active;
    int32_t running;        // shared: written by the worker
    int32_t stop_requested; // shared: written by the host
    int32_t finished;       // shared: written by the worker
    thread_handle thread;
    char output_path[kPathSize];
    char temp_path[kPathSize];
    recording_options opts;
    int32_t width;
    int32_t height;
    int32_t grab_x; // where each frame is grabbed, in desktop coordinates
    int32_t grab_y;
    // shared: written by the host when the slot is claimed (before the
    // worker's thread exists), then by the worker at entry and at capture start
    int64_t start_ms;
    int64_t end_ms;
    int64_t frames;         // shared: written by the worker
    int64_t dropped_frames; // shared: written by the worker
    char status_json[kJobTextSize];
    char stop_json[kJobTextSize];
    char error[kJobErrorSize];
};

extern recording_job g_jobs[kMaxJobs];

// Index of the first slot, lowest first, whose `active` is 0; -1 when all
// slots are taken.
int32_t find_free_slot();
// The slot of job number `job` when it names a job in progress (1..8, active,
// same id); null otherwise.
recording_job *find_job(int32_t job);
// One dimension of the encode size: rounded down to even, at least 16.
int32_t encode_dimension(int32_t pixels);
// Fills the job's encode size and grab origin from its options and the
// display they name. A region gives its size and its x and y, which are
// coordinates of the whole desktop; without one the display's size is taken
// at the display's corner (moved by the options' x and y, 0 unless given).
void set_capture_area(recording_job *job, const display_geometry &display);

// Fields that the host thread and a worker share are stored and loaded whole.
template <typename T> inline T shared_load(const T &field) {
    return std::atomic_ref<T>(const_cast<T &>(field)).load(std::memory_order_acquire);
}
template <typename T> inline void shared_store(T &field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}
