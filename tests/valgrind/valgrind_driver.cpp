// A small host for the memcheck run of scripts/check-valgrind: one short MP4
// recording, one short GIF recording and one screenshot into the directory
// given as the only argument, with no X display (the test pattern is
// recorded). Exits 0 when every call succeeded and the MP4 has frames.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "kestrova/screenrecorder.h"

namespace {

bool ok(int32_t rc, const char *what) {
    if (rc != 0) {
        std::fprintf(stderr, "valgrind_driver: %s failed with %d: %s\n", what, rc,
                     screenrecorder_last_error());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: valgrind_driver OUTPUT_DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    const std::string video = dir + "/memcheck.mp4";
    const std::string gif = dir + "/memcheck.gif";
    const std::string shot = dir + "/memcheck.png";

    int32_t job = 0;
    int32_t gif_job = 0;
    const char *text = nullptr;
    if (!ok(screenrecorder_start(video.c_str(), "{\"fps\":10,\"region\":{\"w\":64,\"h\":48}}", &job),
            "start mp4") ||
        !ok(screenrecorder_start(gif.c_str(), "{\"fps\":10,\"gif\":true,\"region\":{\"w\":32,\"h\":32}}",
                                 &gif_job),
            "start gif")) {
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    if (!ok(screenrecorder_status(job, &text), "status")) {
        return 1;
    }
    std::printf("status: %s\n", text);
    if (!ok(screenrecorder_screenshot(shot.c_str(), "{\"region\":{\"w\":64,\"h\":48}}", &text),
            "screenshot")) {
        return 1;
    }
    std::printf("screenshot: %s\n", text);
    if (!ok(screenrecorder_stop(gif_job, &text), "stop gif")) {
        return 1;
    }
    std::printf("gif: %s\n", text);
    if (!ok(screenrecorder_stop(job, &text), "stop mp4")) {
        return 1;
    }
    std::printf("mp4: %s\n", text);
    if (std::strstr(text, "\"frames\":0,") != nullptr) {
        std::fprintf(stderr, "valgrind_driver: the recording has no frame\n");
        return 1;
    }
    return 0;
}
