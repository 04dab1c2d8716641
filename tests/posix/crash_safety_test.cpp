// Recordings that survive their host: a real host process is killed with
// SIGKILL at random moments of a recording and at every step of turning the
// fragmented file into a regular MP4; whatever file is left must decode from
// its start without an error and hold nearly everything recorded. A clean
// stop gives a regular MP4 that a second, independent reader accepts.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "kestrova/screenrecorder.h"
#include "screenrecorder/pattern.h"
#include "support/ffprobe_posix.h"
#include "support/files.h"
#include "support/mp4_boxes.h"
#include "support/temp_dir.h"
#include "support/xvfb_posix.h"

namespace {

constexpr int kFps = 30;
constexpr char kOptions[] = "{\"fps\":30,\"region\":{\"w\":64,\"h\":48}}";
constexpr char kGifOptions[] = "{\"gif\":true,\"fps\":30,\"region\":{\"w\":64,\"h\":48}}";

// The host process, its stdout read through a pipe.
struct host {
    pid_t pid = -1;
    int out = -1;
};

host spawn_host(const std::vector<std::string> &args) {
    int fds[2];
    if (pipe(fds) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        std::vector<char *> argv;
        static std::string program = KSR_CRASH_HOST;
        argv.push_back(program.data());
        for (const std::string &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    return host{pid, fds[0]};
}

// Reads the host's output until its end (or a line, with `until_line`).
std::string read_host(const host &h, bool until_line, int timeout_ms) {
    std::string text;
    for (;;) {
        pollfd p{h.out, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) {
            return text;
        }
        char buffer[512];
        const ssize_t n = read(h.out, buffer, sizeof buffer);
        if (n <= 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        if (until_line && text.find('\n') != std::string::npos) {
            return text;
        }
    }
}

// Exit status of the host, after it ended.
int reap(host &h) {
    int status = 0;
    waitpid(h.pid, &status, 0);
    close(h.out);
    h = host{};
    return status;
}

// Runs a command; its exit status and everything it printed.
int run(const std::string &command, std::string *output) {
    std::FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output->append(buffer, n);
    }
    return pclose(pipe);
}

// What every file left behind must be: decodable from its start without an
// error, with a video stream and (unless a GIF's) an audio stream, holding
// at least (seconds recorded - 1.5) x fps frames. A file killed before its
// first fragment was complete may hold no recording at all. Sets `frames`
// to the frames the file holds.
void check_left_file(const std::string &file, double seconds, bool audio, int64_t *frames = nullptr) {
    SCOPED_TRACE(file + " after " + std::to_string(seconds) + " s");
    const probed_file probed = probe_media(file);
    if (seconds < 1.5 && (!probed.ok || probed.video() == nullptr)) {
        return;
    }
    ASSERT_TRUE(probed.ok) << "ffprobe cannot read the file";
    ASSERT_NE(probed.video(), nullptr);
    if (frames != nullptr) {
        *frames = probed.video()->frames;
    }
    if (audio) {
        EXPECT_NE(probed.audio(), nullptr);
    }
    EXPECT_GE(static_cast<double>(probed.video()->frames), (seconds - 1.5) * kFps);
    std::string output;
    EXPECT_EQ(run("ffmpeg -v error -xerror -i '" + file + "' -f null -", &output), 0) << output;
    EXPECT_EQ(output, "") << "ffmpeg reported errors";
}

TEST(CrashSafety, KilledAtRandomMomentsTheFileStillPlays) {
    no_display_scope no_x; // the test pattern: nothing for a loaded machine to drop
    temp_dir dir;
    const unsigned seed = std::random_device{}();
    std::printf("seed %u, %d runs\n", seed, KSR_CRASH_RUNS);
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> moment(0.3, 3.5);
    // Two hosts at a time, each killed at a moment of its own; every fifth
    // job is a GIF job, whose temporary MP4 is what is left.
    struct run_slot {
        std::string file;
        bool gif;
        host h;
        double kill_at;
        double seconds;
    };
    int with_frames = 0;
    for (int first = 0; first < KSR_CRASH_RUNS; first += 2) {
        std::vector<run_slot> runs;
        for (int r = first; r < first + 2 && r < KSR_CRASH_RUNS; ++r) {
            const bool gif = r % 5 == 4;
            const std::string output = dir.file("run" + std::to_string(r) + (gif ? ".gif" : ".mp4"));
            runs.push_back(run_slot{gif ? output + ".tmp.mp4" : output, gif,
                                    spawn_host({output, gif ? kGifOptions : kOptions}), moment(random), 0});
        }
        std::vector<std::chrono::steady_clock::time_point> started;
        for (run_slot &r : runs) {
            ASSERT_EQ(read_host(r.h, true, 30000), "started\n");
            started.push_back(std::chrono::steady_clock::now());
        }
        std::vector<std::size_t> order = {0, 1};
        order.resize(runs.size());
        if (runs.size() == 2 && runs[1].kill_at < runs[0].kill_at) {
            std::swap(order[0], order[1]);
        }
        for (std::size_t k : order) {
            std::this_thread::sleep_until(started[k] + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                           std::chrono::duration<double>(runs[k].kill_at)));
            ASSERT_EQ(kill(runs[k].h.pid, SIGKILL), 0);
            runs[k].seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started[k]).count();
        }
        for (run_slot &r : runs) {
            const int status = reap(r.h);
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
            int64_t frames = 0;
            check_left_file(r.file, r.seconds, !r.gif, &frames);
            with_frames += frames > 0 ? 1 : 0;
            if (HasFailure()) {
                std::printf("%s failed after %.2f s (seed %u)\n", r.file.c_str(), r.seconds, seed);
                return;
            }
        }
    }
    std::printf("%d of %d files held frames\n", with_frames, KSR_CRASH_RUNS);
}

TEST(CrashSafety, KilledAtEveryStepOfFinishingTheFileStillPlays) {
    no_display_scope no_x;
    temp_dir dir;
    constexpr double kSeconds = 2.5;
    int killed_steps = 0;
    for (int step = 1; step < 40; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const std::string output = dir.file("step" + std::to_string(step) + ".mp4");
        host h = spawn_host({output, kOptions, std::to_string(kSeconds), std::to_string(step)});
        ASSERT_EQ(read_host(h, true, 30000), "started\n");
        const std::string rest = read_host(h, false, 60000);
        const int status = reap(h);
        if (WIFSIGNALED(status)) {
            ASSERT_EQ(WTERMSIG(status), SIGKILL);
            ++killed_steps;
            check_left_file(output, kSeconds, true);
            continue;
        }
        // No such step: the host lived to the end, and the file is regular.
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << rest;
        rapidjson::Document summary;
        summary.Parse(rest.c_str());
        ASSERT_TRUE(summary.IsObject()) << rest;
        const auto boxes = list_mp4_boxes(read_file_bytes(output));
        EXPECT_FALSE(has_box(boxes, "moof"));
        EXPECT_FALSE(has_box(boxes, "mvex"));
        const probed_file probed = probe_media(output);
        ASSERT_NE(probed.video(), nullptr);
        EXPECT_EQ(probed.video()->frames, summary["frames"].GetInt64());
        break;
    }
    // The cut check, the appended index, the spanning free box, at least
    // two fragment headers and the final shrink.
    EXPECT_GE(killed_steps, 6);
}

// The frame of the pattern closest to `pixels` among frames [from, to].
int64_t nearest_pattern_frame(const std::vector<uint8_t> &pixels, int64_t from, int64_t to) {
    std::vector<uint8_t> expected(64 * 48 * 4);
    int64_t best = -1;
    double best_difference = 1e9;
    for (int64_t n = from; n <= to; ++n) {
        generate_pattern_frame(expected.data(), 64, 48, n);
        double sum = 0;
        for (std::size_t i = 0; i < expected.size(); i += 4) {
            for (std::size_t c = 0; c < 3; ++c) {
                sum += std::abs(int{expected[i + c]} - int{pixels[i + c]});
            }
        }
        if (sum < best_difference) {
            best_difference = sum;
            best = n;
        }
    }
    return best_difference / (64.0 * 48.0 * 3.0) < 6.0 ? best : -1;
}

TEST(CrashSafety, ACleanStopGivesARegularMp4) {
    no_display_scope no_x;
    temp_dir dir;
    const std::string video = dir.file("clean.mp4");
    int32_t job = 0;
    ASSERT_EQ(screenrecorder_start(video.c_str(), kOptions, &job), 0);
    // The file grows while recording: fragments reach it as they are made.
    std::vector<double> sizes;
    for (int i = 0; i < 7; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const char *status = nullptr;
        ASSERT_EQ(screenrecorder_status(job, &status), 0);
        rapidjson::Document doc;
        doc.Parse(status);
        sizes.push_back(doc["size_mb"].GetDouble());
    }
    const char *text = nullptr;
    ASSERT_EQ(screenrecorder_stop(job, &text), 0);
    rapidjson::Document summary;
    summary.Parse(text);
    const int64_t frames = summary["frames"].GetInt64();
    EXPECT_GT(sizes[2], 0.0) << "nothing reached the file in the first 1.5 s";
    EXPECT_GT(sizes.back(), sizes[2]) << "the file did not grow while recording";

    const std::vector<uint8_t> bytes = read_file_bytes(video);
    const auto boxes = list_mp4_boxes(bytes);
    EXPECT_FALSE(has_box(boxes, "moof"));
    EXPECT_FALSE(has_box(boxes, "mvex"));
    EXPECT_EQ(top_level_types(bytes).substr(0, 10), "ftyp free ");

    const probed_file probed = probe_media(video);
    ASSERT_NE(probed.video(), nullptr);
    ASSERT_NE(probed.audio(), nullptr);
    EXPECT_EQ(probed.video()->frames, frames) << text;
    EXPECT_NEAR(probed.video()->duration, static_cast<double>(frames) / kFps, 1e-6);

    // A second reader, independent of FFmpeg.
    std::string info;
    ASSERT_EQ(run("mediainfo --Inform='Video;%FrameCount% %Format%' '" + video + "'", &info), 0);
    EXPECT_EQ(info, std::to_string(frames) + " AVC\n");
    info.clear();
    ASSERT_EQ(run("mediainfo --Inform='Audio;%Format%' '" + video + "'", &info), 0);
    EXPECT_EQ(info, "AAC\n");

    // A seek into the middle lands on the middle frame and decodes.
    const double middle_s = static_cast<double>(frames / 2) / kFps;
    const std::string raw = dir.file("middle.bgra");
    std::string output;
    ASSERT_EQ(run("ffmpeg -v error -xerror -ss " + std::to_string(middle_s) + " -i '" + video +
                      "' -frames:v 1 -f rawvideo -pix_fmt bgra '" + raw + "'",
                  &output),
              0)
        << output;
    const std::vector<uint8_t> pixels = read_file_bytes(raw);
    ASSERT_EQ(pixels.size(), 64u * 48u * 4u);
    EXPECT_EQ(nearest_pattern_frame(pixels, frames / 2 - 3, frames / 2 + 3), frames / 2);
}

} // namespace
