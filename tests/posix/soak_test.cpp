// A soak under load: hundreds of start/stop cycles with up to 8 jobs at once,
// MP4 and GIF jobs mixed, small regions, stops at random moments (right after
// the start, before any frame, or after a few frames), status calls and
// screenshots in between, on a private Xvfb. Afterwards the process holds as
// many descriptors and threads as before, has no child left behind, and every
// file that a summary reports with frames is read back by ffprobe with that
// many frames. Leaks are left to the asan build of this test.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "kestrova/screenrecorder.h"
#include "support/process_posix.h"
#include "support/sanitized.h"
#include "support/temp_dir.h"
#include "support/xvfb_posix.h"

namespace {

#if defined(KSR_SANITIZED)
// Sanitized builds run many times slower: a short soak still walks every path.
constexpr int kCycles = 40;
constexpr std::size_t kProbeSample = 10;
#else
constexpr int kCycles = 600;
constexpr std::size_t kProbeSample = 60;
#endif

struct child_process {
    int pid;
    char state;
    std::string name;
};

// Processes whose parent is this process, from /proc.
std::vector<child_process> children() {
    std::vector<child_process> out;
    const int self = getpid();
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) {
            continue;
        }
        // pid (comm) state ppid ...: comm may hold spaces, so read after ')'.
        const auto open = line.find('(');
        const auto close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos) {
            continue;
        }
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        int ppid = 0;
        rest >> state >> ppid;
        if (ppid == self) {
            out.push_back({std::stoi(name), state, line.substr(open + 1, close - open - 1)});
        }
    }
    return out;
}

// Processes anywhere whose command line mentions `needle` (a converter left
// running on one of our files would).
int processes_mentioning(const std::string &needle) {
    int n = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream cmdline(entry.path() / "cmdline", std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
        if (!text.empty() && text.find(needle) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

// The number of video frames ffprobe decodes from `path`; -1 when it fails.
long long probe_frames(const std::string &path) {
    const std::string command = "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                                "stream=nb_read_frames -of csv=p=0 '" +
                                path + "' 2>/dev/null";
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) {
        return -1;
    }
    char line[64] = {};
    const bool got = std::fgets(line, sizeof line, p) != nullptr;
    const int rc = pclose(p);
    if (!got || rc != 0) {
        return -1;
    }
    return std::strtoll(line, nullptr, 10);
}

struct running_job {
    int32_t number;
    std::string path;
    bool gif;
};

struct finished_file {
    std::string path;
    long long frames;
};

// Stops `job`, checks its summary and keeps the file for the ffprobe pass.
void stop_and_check(const running_job &job, std::vector<finished_file> *files) {
    const char *summary = nullptr;
    ASSERT_EQ(screenrecorder_stop(job.number, &summary), 0) << screenrecorder_last_error();
    rapidjson::Document doc;
    doc.Parse(summary);
    ASSERT_FALSE(doc.HasParseError()) << summary;
    ASSERT_TRUE(doc.IsObject() && doc.HasMember("frames") && doc["frames"].IsInt64()) << summary;
    EXPECT_STREQ(doc["output"].GetString(), job.path.c_str());
    const long long frames = doc["frames"].GetInt64();
    EXPECT_GE(frames, 0);
    EXPECT_GE(doc["dropped_frames"].GetInt64(), 0);
    if (job.gif) {
        EXPECT_FALSE(std::filesystem::exists(job.path + ".tmp.mp4")) << "temporary file left: " << job.path;
    }
    if (frames > 0) {
        files->push_back({job.path, frames});
    }
}

TEST(Soak, HundredsOfStartStopCyclesLeaveNothingBehind) {
    xvfb_server x(640, 480);
    ASSERT_TRUE(x.ok());
    temp_dir dir;

    const char *text = nullptr;
    // Warm up once so that what a library sets up for good on first use
    // (codec tables, the locale) is not counted as a leak.
    {
        int32_t job = 0;
        ASSERT_EQ(
            screenrecorder_start(dir.file("warm.mp4").c_str(), "{\"region\":{\"w\":64,\"h\":48}}", &job), 0);
        int32_t gif = 0;
        ASSERT_EQ(screenrecorder_start(dir.file("warm.gif").c_str(),
                                       "{\"region\":{\"w\":64,\"h\":48},\"gif\":true}", &gif),
                  0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(screenrecorder_stop(job, nullptr), 0);
        ASSERT_EQ(screenrecorder_stop(gif, nullptr), 0);
        ASSERT_EQ(screenrecorder_screenshot(dir.file("warm.png").c_str(), "{\"region\":{\"w\":64,\"h\":48}}",
                                            &text),
                  0);
        ASSERT_EQ(screenrecorder_probe(&text), 0);
    }
    const int fds_before = count_entries("/proc/self/fd");
    const int threads_before = count_entries("/proc/self/task");
    const std::vector<child_process> children_before = children(); // the Xvfb

    const unsigned seed = 20261210;
    std::mt19937 rng(seed);
    auto chance = [&rng](int percent) { return static_cast<int>(rng() % 100) < percent; };
    auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const int fps_choices[] = {10, 30, 60};
    const char *sizes[] = {"\"w\":64,\"h\":48", "\"w\":16,\"h\":16", "\"w\":10,\"h\":10",
                           "\"w\":96,\"h\":64"};

    std::vector<running_job> jobs;
    std::vector<finished_file> files;
    int starts = 0;
    int stops_before_first_frame = 0;
    int screenshots = 0;
    int status_calls = 0;
    const auto begin = std::chrono::steady_clock::now();

    for (int cycle = 0; starts < kCycles; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle) + ", seed " + std::to_string(seed));
        // Start when there is room, more eagerly when few jobs run.
        if (jobs.size() < 8 && chance(jobs.size() < 4 ? 80 : 50)) {
            const bool gif = chance(25);
            const std::string path = dir.file("job" + std::to_string(starts) + (gif ? ".gif" : ".mp4"));
            const std::string options = "{\"fps\":" + std::to_string(fps_choices[pick(3)]) +
                                        ",\"region\":{\"x\":" + std::to_string(pick(600) - 20) +
                                        ",\"y\":" + std::to_string(pick(460) - 20) + "," + sizes[pick(4)] +
                                        "}" + (gif ? ",\"gif\":true" : "") + "}";
            int32_t number = 0;
            ASSERT_EQ(screenrecorder_start(path.c_str(), options.c_str(), &number), 0)
                << screenrecorder_last_error();
            ++starts;
            jobs.push_back({number, path, gif});
            if (chance(10)) {
                // Stopped at once: before the first frame is due.
                stop_and_check(jobs.back(), &files);
                jobs.pop_back();
                ++stops_before_first_frame;
                continue;
            }
        } else if (jobs.size() == 8) {
            // The table is full: a ninth start is refused and changes nothing.
            int32_t number = -7;
            EXPECT_EQ(screenrecorder_start(dir.file("ninth.mp4").c_str(), nullptr, &number), -3);
            EXPECT_EQ(number, -7);
        }
        if (!jobs.empty()) {
            const running_job &job = jobs[static_cast<std::size_t>(pick(static_cast<int>(jobs.size())))];
            ASSERT_EQ(screenrecorder_status(job.number, &text), 0);
            rapidjson::Document doc;
            doc.Parse(text);
            ASSERT_FALSE(doc.HasParseError()) << text;
            EXPECT_GE(doc["elapsed_s"].GetDouble(), 0.0);
            ++status_calls;
        }
        if (chance(15)) {
            const std::string shot = dir.file("shot" + std::to_string(screenshots++) + ".png");
            ASSERT_EQ(screenrecorder_screenshot(shot.c_str(),
                                                "{\"region\":{\"x\":5,\"y\":5,\"w\":32,\"h\":24}}", &text),
                      0);
            std::filesystem::remove(shot);
        }
        // Let the jobs run a random while: nothing, a few milliseconds (a
        // stop then lands mid-frame or in the set-up) or a few frames' worth.
        const int pause = chance(30) ? 0 : (chance(50) ? pick(8) : 10 + pick(60));
        std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        if (!jobs.empty() && (jobs.size() == 8 || chance(45))) {
            const std::size_t i = static_cast<std::size_t>(pick(static_cast<int>(jobs.size())));
            stop_and_check(jobs[i], &files);
            jobs.erase(jobs.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    for (const auto &job : jobs) {
        stop_and_check(job, &files);
    }
    jobs.clear();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

    EXPECT_EQ(count_entries("/proc/self/fd"), fds_before) << "descriptors leaked";
    EXPECT_EQ(count_entries("/proc/self/task"), threads_before) << "threads left behind";
    const std::vector<child_process> children_after = children();
    EXPECT_EQ(children_after.size(), children_before.size()) << "child processes left behind";
    for (const auto &c : children_after) {
        EXPECT_NE(c.state, 'Z') << "zombie child " << c.pid << " (" << c.name << ")";
    }
    EXPECT_EQ(processes_mentioning(dir.path()), 0) << "a converter still runs on one of our files";
    // Every job slot is free again.
    for (int32_t number = 1; number <= 8; ++number) {
        EXPECT_EQ(screenrecorder_status(number, &text), -1);
    }

    // Every file with frames reads back with that many frames; an even
    // sample when there are more than the checking budget allows.
    const std::size_t step = files.size() > kProbeSample ? files.size() / kProbeSample : 1;
    std::size_t probed = 0;
    for (std::size_t i = 0; i < files.size(); i += step) {
        EXPECT_EQ(probe_frames(files[i].path), files[i].frames) << files[i].path;
        ++probed;
    }
    std::printf("soak: %d starts (%d stopped at once), %zu files with frames (%zu probed), %d screenshots, "
                "%d status calls in %.1f s\n",
                starts, stops_before_first_frame, files.size(), probed, screenshots, status_calls, seconds);
}

} // namespace
