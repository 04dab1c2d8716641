// GIF jobs end to end on Linux: recorded from a private X server through the
// exports (or the worker itself), converted by the real converter or a
// stand-in, and checked with ffprobe.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kestrova/screenrecorder.h"
#include "platform/posix/converter_spawn.h"
#include "posix/converters/converter_test_helpers.h"
#include "screenrecorder/gif.h"
#include "screenrecorder/job.h"
#include "screenrecorder/options.h"
#include "screenrecorder/worker.h"
#include "support/temp_dir.h"
#include "support/xvfb_posix.h"

namespace {

using namespace gif_test;

constexpr char kGifOptions[] = R"({"gif":true,"fps":10,"region":{"x":8,"y":8,"w":161,"h":121}})";
constexpr double kBytesPerMiB = 1048576.0;

// The number after "\"NAME\":" in a result text; -1 when absent.
double member(const std::string &json, const std::string &name) {
    const std::string key = "\"" + name + "\":";
    const std::size_t at = json.find(key);
    if (at == std::string::npos) {
        return -1.0;
    }
    return std::strtod(json.c_str() + at + key.size(), nullptr);
}

// A size in MiB as the result texts print it, read back.
double mib_as_printed(std::uintmax_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(bytes) / kBytesPerMiB);
    return std::strtod(text, nullptr);
}

std::uintmax_t file_bytes(const std::string &path) {
    std::error_code ec;
    const std::uintmax_t n = std::filesystem::file_size(path, ec);
    return ec ? 0 : n;
}

// Waits up to 20 s until the job has a frame, so that a slow set-up (under a
// sanitizer) does not leave it frame-less.
void wait_for_first_frame(int32_t job) {
    for (int i = 0; i < 2000 && job > 0 && shared_load(g_jobs[job - 1].frames) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

class GifJob : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { server = new xvfb_server(320, 240); }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(server->ok()); }
    void TearDown() override { posix_set_converter_for_tests(nullptr, nullptr, 0); }

    // Starts a GIF job on `output`, lets it record for `record_ms`, stops it
    // and returns the summary; `stop_ms` receives how long the stop took.
    std::string record(const std::string &output, int record_ms, int64_t *stop_ms = nullptr) {
        int32_t job = 0;
        EXPECT_EQ(screenrecorder_start(output.c_str(), kGifOptions, &job), 0) << screenrecorder_last_error();
        std::this_thread::sleep_for(std::chrono::milliseconds(record_ms));
        wait_for_first_frame(job);
        const char *summary = nullptr;
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(screenrecorder_stop(job, &summary), 0) << screenrecorder_last_error();
        if (stop_ms != nullptr) {
            *stop_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - begin)
                           .count();
        }
        return summary != nullptr ? summary : "";
    }

    static xvfb_server *server;
    temp_dir dir;
};

xvfb_server *GifJob::server = nullptr;

// While the job runs, the status measures the temporary MP4; the summary
// measures the GIF. A large stale file at the output path tells the two
// apart: neither text may show its size.
TEST_F(GifJob, WritesAGifAtTheJobSizeAndReportsTheFileOfEachMoment) {
    const std::string output = dir.file("out.gif");
    const std::string temp = output + ".tmp.mp4";
    write_file(output, std::string(3 * 1024 * 1024, 'x'));

    int32_t job = 0;
    ASSERT_EQ(screenrecorder_start(output.c_str(), kGifOptions, &job), 0) << screenrecorder_last_error();
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::uintmax_t before = file_bytes(temp);
        const char *status = nullptr;
        ASSERT_EQ(screenrecorder_status(job, &status), 0);
        const std::uintmax_t after = file_bytes(temp);
        const double size_mb = member(status, "size_mb");
        EXPECT_GE(size_mb, mib_as_printed(before)) << status;
        EXPECT_LE(size_mb, mib_as_printed(after)) << status;
    }
    wait_for_first_frame(job);
    const char *summary = nullptr;
    ASSERT_EQ(screenrecorder_stop(job, &summary), 0);

    EXPECT_EQ(read_file(output).substr(0, 6), "GIF89a");
    EXPECT_EQ(probe_video(output), "gif,160,120");
    EXPECT_FALSE(exists(temp));
    EXPECT_EQ(member(summary, "size_mb"), mib_as_printed(file_bytes(output))) << summary;
    EXPECT_GT(member(summary, "frames"), 0.0) << summary;
}

TEST_F(GifJob, HostilePathRecordsConvertsAndRunsNothing) {
    const std::string hostile = "a b \"q\" $(touch x) `touch x` ; touch x";
    std::filesystem::create_directory(dir.file(hostile));
    const std::string output = dir.file(hostile) + "/" + hostile + ".gif";
    cwd_scope cwd(dir.path());

    record(output, 500);

    EXPECT_EQ(read_file(output).substr(0, 6), "GIF89a");
    EXPECT_EQ(probe_video(output), "gif,160,120");
    EXPECT_FALSE(exists(output + ".tmp.mp4"));
    EXPECT_FALSE(exists(dir.file("x")));
    EXPECT_FALSE(exists(dir.file(hostile) + "/x"));
}

// A colon in a GIF's name is part of the file name for the recording and for
// the converter alike: "pipe:1.gif" is neither read from nor written to a pipe.
TEST_F(GifJob, NamesWithAColonAreFileNames) {
    cwd_scope cwd(dir.path());
    for (const std::string name : {"rec-12:30.gif", "pipe:1.gif"}) {
        SCOPED_TRACE(name);
        const std::string summary = record(name, 300);
        EXPECT_GT(member(summary, "frames"), 0.0) << summary;
        EXPECT_EQ(read_file(name).substr(0, 6), "GIF89a");
        EXPECT_FALSE(exists(name + ".tmp.mp4"));
    }
}

// A converter that fails or overruns changes nothing in the summary's form:
// frames and duration come from the capture, the size from the output path.
TEST_F(GifJob, FailingOrOverrunningConverterStillEndsTheJobCleanly) {
    struct row {
        const char *converter;
        bool overruns;
        int limit_ms;
    };
    // The failing converter's limit is long: the stop must end with the
    // converter, well before it.
    const row rows[] = {{"fail", false, 60000}, {"sleep-past-limit", true, 1000}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.converter);
        posix_set_converter_for_tests((kConverters + "/" + r.converter).c_str(), "ksr-no-such-converter",
                                      r.limit_ms);
        const std::string output = dir.file(std::string(r.converter) + ".gif");

        int64_t stop_ms = 0;
        const std::string summary = record(output, 300, &stop_ms);

        EXPECT_FALSE(exists(output + ".tmp.mp4"));
        EXPECT_EQ(member(summary, "size_mb"), 0.0) << summary;
        const double frames = member(summary, "frames");
        EXPECT_GT(frames, 0.0) << summary;
        EXPECT_NEAR(member(summary, "duration_s"), frames / 10.0, 0.006) << summary;
        if (r.overruns) {
            EXPECT_GE(stop_ms, r.limit_ms);
            const pid_t converter = wait_for_pid_file(output + ".pid");
            ASSERT_GT(converter, 0);
            const proc_stat st = read_proc_stat(converter);
            EXPECT_NE(st.state, '\0') << "the converter was not left running";
            EXPECT_NE(st.ppid, getpid());
            kill(converter, SIGKILL);
        } else {
            EXPECT_LT(stop_ms, 30000);
        }
        EXPECT_EQ(zombie_children(), std::vector<pid_t>{});
    }
}

// A writer that cannot be set up once its file exists (here x265 refusing
// the size) ends the job as a set-up failure: nothing recorded, nothing
// converted, and no temporary file left behind. (x264 refuses the size too,
// but leaks a few bytes of its own when it does, which the leak checker
// would report against this test.)
TEST_F(GifJob, WriterThatCannotBeSetUpLeavesNoTemporaryFile) {
    posix_set_converter_for_tests((kConverters + "/write-gif").c_str(), nullptr, 0);
    const std::string output = dir.file("wide.gif");
    int32_t job = 0;
    ASSERT_EQ(screenrecorder_start(output.c_str(),
                                   R"({"gif":true,"codec":"hevc","region":{"w":40000,"h":16}})", &job),
              0)
        << screenrecorder_last_error();
    const char *summary = nullptr;
    ASSERT_EQ(screenrecorder_stop(job, &summary), 0) << screenrecorder_last_error();
    EXPECT_EQ(member(summary, "frames"), 0.0) << summary;
    EXPECT_NE(std::string(g_jobs[job - 1].error).find("avcodec_open2(libx265)"), std::string::npos)
        << g_jobs[job - 1].error;
    EXPECT_FALSE(exists(output + ".tmp.mp4"));
    EXPECT_FALSE(exists(output)) << "nothing is converted";
}

// Stopped before its first frame, a GIF job still hands its frame-less
// recording to the converter and removes it. Run on the worker itself, with
// the stop already raised, so that no frame can slip in.
TEST_F(GifJob, StoppedBeforeTheFirstFrameStillConvertsAndRemovesTheRecording) {
    struct row {
        const char *name;
        bool stand_in;
    };
    for (const row &r : {row{"stand-in converter", true}, row{"real converter", false}}) {
        SCOPED_TRACE(r.name);
        if (r.stand_in) {
            posix_set_converter_for_tests((kConverters + "/write-gif").c_str(), nullptr, 0);
        } else {
            posix_set_converter_for_tests(nullptr, nullptr, 0);
        }
        auto job = std::make_unique<recording_job>();
        parse_options(kGifOptions, &job->opts);
        job->width = 160;
        job->height = 120;
        const std::string output = dir.file(std::string(r.name) + ".gif");
        std::snprintf(job->output_path, sizeof job->output_path, "%s", output.c_str());
        std::snprintf(job->temp_path, sizeof job->temp_path, "%s.tmp.mp4", output.c_str());
        job->stop_requested = 1;

        EXPECT_EQ(record_job(job.get(), platform_worker_env()), 0u) << job->error;

        EXPECT_EQ(job->frames, 0);
        EXPECT_EQ(job->finished, 1);
        EXPECT_FALSE(exists(job->temp_path));
        if (r.stand_in) {
            // The converter ran while the recording was there.
            EXPECT_EQ(read_file(output + ".input"), "present\n");
            EXPECT_EQ(read_lines(output + ".args"),
                      (std::vector<std::string>{"-y", "-i", job->temp_path, "-filter_complex",
                                                kGifFilterGraph, output}));
        }
    }
}

} // namespace
