// A host that loads the shared library at run time, records, stops every job
// and unloads it: no thread and no descriptor of the library may outlive the
// dlclose, and the library can be loaded and used again afterwards.
#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/process_posix.h"
#include "support/temp_dir.h"
#include "support/xvfb_posix.h"

namespace {

const char kLibrary[] = KSR_BINARY_DIR "/libkestrova-screenrecorder.so";

using start_fn = int32_t (*)(const char *, const char *, int32_t *);
using status_fn = int32_t (*)(int32_t, const char **);
using stop_fn = int32_t (*)(int32_t, const char **);
using screenshot_fn = int32_t (*)(const char *, const char *, const char **);
using probe_fn = int32_t (*)(const char **);
using text_fn = const char *(*)();

template <typename F> F symbol(void *library, const char *name) {
    return reinterpret_cast<F>(dlsym(library, name));
}

// One load, a round of jobs, every job stopped, one unload.
void record_with_loaded_library(const temp_dir &dir, int round) {
    void *library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror() << " (build the kestrova-screenrecorder target first)";
    const auto start = symbol<start_fn>(library, "screenrecorder_start");
    const auto status = symbol<status_fn>(library, "screenrecorder_status");
    const auto stop = symbol<stop_fn>(library, "screenrecorder_stop");
    const auto screenshot = symbol<screenshot_fn>(library, "screenrecorder_screenshot");
    const auto probe = symbol<probe_fn>(library, "screenrecorder_probe");
    const auto last_error = symbol<text_fn>(library, "screenrecorder_last_error");
    ASSERT_TRUE(start && status && stop && screenshot && probe && last_error);

    std::vector<int32_t> jobs;
    for (int i = 0; i < 8; ++i) {
        const bool gif = i % 4 == 3;
        const std::string path =
            dir.file("r" + std::to_string(round) + "-" + std::to_string(i) + (gif ? ".gif" : ".mp4"));
        const char *options = gif ? "{\"gif\":true,\"region\":{\"w\":64,\"h\":48}}"
                                  : (i % 2 == 0 ? "{\"region\":{\"w\":64,\"h\":48}}"
                                                : "{\"codec\":\"hevc\",\"region\":{\"w\":64,\"h\":48}}");
        int32_t job = 0;
        ASSERT_EQ(start(path.c_str(), options, &job), 0) << last_error();
        jobs.push_back(job);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const char *text = nullptr;
    for (int32_t job : jobs) {
        EXPECT_EQ(status(job, &text), 0);
    }
    EXPECT_EQ(screenshot(dir.file("r" + std::to_string(round) + ".png").c_str(), nullptr, &text), 0);
    EXPECT_EQ(probe(&text), 0);
    for (int32_t job : jobs) {
        EXPECT_EQ(stop(job, &text), 0);
    }
    EXPECT_EQ(dlclose(library), 0) << dlerror();
}

TEST(Unload, StoppingEveryJobThenUnloadingLeavesNoThreadBehind) {
    xvfb_server x(320, 240);
    ASSERT_TRUE(x.ok());
    temp_dir dir;
    // ThreadSanitizer starts a helper thread of its own with the process's
    // first thread; let that happen before counting.
    std::thread([] {}).join();
    const int threads_before = count_entries("/proc/self/task");
    const int fds_before = count_entries("/proc/self/fd");
    const int segments_before = count_own_shm_segments();

    // Twice: the state of a reloaded library starts from zero again, and
    // what the first round left (if anything) would add up.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        record_with_loaded_library(dir, round);
        EXPECT_EQ(count_entries("/proc/self/task"), threads_before) << "threads outlived the library";
        EXPECT_EQ(count_entries("/proc/self/fd"), fds_before) << "descriptors outlived the library";
        // The segment screenshots keep goes with the library, once the
        // server has let go of it too.
        int segments = count_own_shm_segments();
        for (int i = 0; i < 200 && segments != segments_before; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            segments = count_own_shm_segments();
        }
        EXPECT_EQ(segments, segments_before) << "a shared-memory segment outlived the library";
    }
    void *still = dlopen(kLibrary, RTLD_NOW | RTLD_NOLOAD);
    std::printf("unload: the library is %s after dlclose\n", still == nullptr ? "unmapped" : "still mapped");
    if (still != nullptr) {
        dlclose(still);
    }
}

} // namespace
