// A host process for the crash tests: starts one recording job through the
// library's exports and is then killed, either from outside at any moment
// or, with a STEP, by itself (SIGKILL) when the MP4 finisher reaches that
// step of turning the file into a regular MP4.
//
//   crash_host FILE OPTIONS_JSON                 record until killed
//   crash_host FILE OPTIONS_JSON SECONDS STEP    record, stop, die at STEP
//
// Prints "started" once the job runs and, when it lives to the end, the
// summary text. Built only for the tests, with the finisher's step hook.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "kestrova/screenrecorder.h"
#include "mp4_finish/mp4_finish.h"

namespace {

int g_kill_at_step = 0;

void die_at_step(int step) {
    if (step == g_kill_at_step) {
        raise(SIGKILL);
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3 && argc != 5) {
        std::fprintf(stderr, "usage: crash_host FILE OPTIONS_JSON [SECONDS STEP]\n");
        return 2;
    }
    int32_t job = 0;
    if (screenrecorder_start(argv[1], argv[2], &job) != 0) {
        std::fprintf(stderr, "start failed: %s\n", screenrecorder_last_error());
        return 1;
    }
    std::printf("started\n");
    std::fflush(stdout);
    if (argc == 3) {
        for (;;) {
            pause();
        }
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(argv[3])));
    g_kill_at_step = std::atoi(argv[4]);
    mp4_finish_step_hook = die_at_step;
    const char *summary = nullptr;
    if (screenrecorder_stop(job, &summary) != 0) {
        std::fprintf(stderr, "stop failed: %s\n", screenrecorder_last_error());
        return 1;
    }
    std::printf("%s\n", summary);
    return 0;
}
