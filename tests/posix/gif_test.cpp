// The GIF step on Linux, called directly on a job record: the real converter,
// the fallback through PATH, failing and overlong converters, hostile paths,
// and what the converter process inherits from the host.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/converter_spawn.h"
#include "posix/converters/converter_test_helpers.h"
#include "screenrecorder/gif.h"
#include "screenrecorder/job.h"
#include "support/temp_dir.h"

namespace {

using namespace gif_test;

class GifStep : public ::testing::Test {
  protected:
    void SetUp() override { set_output(dir.file("out.gif")); }
    void TearDown() override { posix_set_converter_for_tests(nullptr, nullptr, 0); }

    void set_output(const std::string &output) {
        output_ = output;
        temp_ = output + ".tmp.mp4";
        std::snprintf(job->output_path, sizeof job->output_path, "%s", output_.c_str());
        std::snprintf(job->temp_path, sizeof job->temp_path, "%s", temp_.c_str());
    }

    // Runs the step and returns how long it took, in milliseconds.
    int64_t convert() {
        const auto begin = std::chrono::steady_clock::now();
        convert_to_gif(job.get());
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin)
            .count();
    }

    // The arguments the stand-in converter noted, one per line.
    std::vector<std::string> noted_args() const { return read_lines(output_ + ".args"); }
    std::vector<std::string> expected_args() const {
        return {"-y", "-i", temp_, "-filter_complex", kGifFilterGraph, output_};
    }

    temp_dir dir;
    std::unique_ptr<recording_job> job = std::make_unique<recording_job>();
    std::string output_;
    std::string temp_;
};

TEST_F(GifStep, RealConverterTurnsTheRecordingIntoAGifOverAnyOldFile) {
    ASSERT_TRUE(make_test_mp4(temp_, 64, 48));
    // Without "-y" the converter would refuse to replace this file.
    write_file(output_, "stale output");

    convert();

    EXPECT_EQ(read_file(output_).substr(0, 6), "GIF89a");
    EXPECT_EQ(probe_video(output_), "gif,64,48");
    EXPECT_FALSE(exists(temp_));
}

// Every path reaches the converter as one argument of its own, whatever it
// holds; nothing in it is run.
TEST_F(GifStep, PathsWithShellCharactersAreArgumentsNotCommands) {
    const std::string hostile = "a b \"q\" $(touch x) `touch x` 'c' ; touch x";
    std::filesystem::create_directory(dir.file(hostile));
    cwd_scope cwd(dir.path());
    path_scope path(kConverters + ":/usr/bin:/bin");

    struct row {
        const char *name;
        std::optional<std::string> direct; // nullopt: the real converter
        const char *fallback;
        bool real;
    };
    const row rows[] = {
        {"real converter", std::nullopt, "ffmpeg", true},
        {"stand-in, direct", kConverters + "/write-gif", "ffmpeg", false},
        {"stand-in, fallback", "/nonexistent/ffmpeg", "write-gif", false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        set_output(dir.file(hostile) + "/" + hostile + " " + r.name + ".gif");
        posix_set_converter_for_tests(r.direct ? r.direct->c_str() : nullptr, r.fallback, 0);
        ASSERT_TRUE(make_test_mp4(temp_, 64, 48));

        convert();

        EXPECT_EQ(read_file(output_).substr(0, 6), "GIF89a");
        EXPECT_FALSE(exists(temp_));
        if (r.real) {
            EXPECT_EQ(probe_video(output_), "gif,64,48");
        } else {
            EXPECT_EQ(noted_args(), expected_args());
        }
        EXPECT_FALSE(exists(dir.file("x")));
        EXPECT_FALSE(exists(dir.file(hostile) + "/x"));
    }
}

TEST_F(GifStep, DirectStartFailureFallsBackToTheNamedProgramOnPath) {
    path_scope path(kConverters + ":/usr/bin:/bin");
    const std::string plain_file = dir.file("not-executable");
    write_file(plain_file, "#!/bin/sh\nexit 0\n");
    chmod(plain_file.c_str(), 0644);
    std::filesystem::create_directory(dir.file("a-directory"));

    const std::string directs[] = {"/nonexistent/ffmpeg", plain_file, dir.file("a-directory")};
    for (const std::string &direct : directs) {
        SCOPED_TRACE(direct);
        posix_set_converter_for_tests(direct.c_str(), "write-gif", 0);
        write_file(temp_, "recording");
        std::filesystem::remove(output_);

        convert();

        EXPECT_EQ(read_file(output_), "GIF89a");
        EXPECT_EQ(noted_args(), expected_args());
        // The recording was still there while the converter ran.
        EXPECT_EQ(read_file(output_ + ".input"), "present\n");
        EXPECT_FALSE(exists(temp_));
    }
}

// A converter that started is not judged by its exit status: the step does
// not go on to the fallback, and it waits for the converter's end, not for
// the limit.
TEST_F(GifStep, FailedConversionLeavesNoGifAndStillRemovesTheTemporaryFile) {
    path_scope path(kConverters + ":/usr/bin:/bin");
    const std::string fail = kConverters + "/fail";
    struct row {
        const char *name;
        std::string direct;
        const char *fallback;
        bool mp4; // false: the temporary file holds no video at all
    };
    const row rows[] = {
        {"direct fails, fallback would write", fail, "write-gif", true},
        {"direct missing, fallback fails", "/nonexistent/ffmpeg", "fail", true},
        {"direct and fallback missing", "/nonexistent/ffmpeg", "ksr-no-such-converter", true},
        {"real converter, unreadable input", "/usr/bin/ffmpeg", "ffmpeg", false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        posix_set_converter_for_tests(r.direct.c_str(), r.fallback, 60000);
        if (r.mp4) {
            ASSERT_TRUE(make_test_mp4(temp_, 64, 48));
        } else {
            write_file(temp_, "this is no video");
        }

        const int64_t took_ms = convert();

        EXPECT_FALSE(exists(output_));
        EXPECT_FALSE(exists(temp_));
        EXPECT_LT(took_ms, 30000);
        EXPECT_EQ(zombie_children(), std::vector<pid_t>{});
    }
}

TEST_F(GifStep, ConverterPastTheLimitIsLeftRunningWithoutBecomingAZombie) {
    constexpr int kLimitMs = 500;
    posix_set_converter_for_tests((kConverters + "/sleep-past-limit").c_str(), nullptr, kLimitMs);
    write_file(temp_, "recording");

    const int64_t took_ms = convert();

    EXPECT_GE(took_ms, kLimitMs);
    EXPECT_LT(took_ms, 20000);
    EXPECT_FALSE(exists(temp_));
    const pid_t converter = wait_for_pid_file(output_ + ".pid");
    ASSERT_GT(converter, 0);
    const proc_stat st = read_proc_stat(converter);
    EXPECT_NE(st.state, 'Z');
    EXPECT_NE(st.state, '\0') << "the converter is no longer running";
    EXPECT_NE(st.ppid, getpid()) << "the converter is still the host's child";
    EXPECT_EQ(zombie_children(), std::vector<pid_t>{});
    kill(converter, SIGKILL);
}

// A host may ignore SIGCHLD (children are then reaped by the kernel and
// waitpid fails with ECHILD) or have signals interrupt every wait (EINTR).
// Neither may end a wait early or hang it.
TEST_F(GifStep, HostSignalSettingsNeitherCutNorHangTheWaits) {
    path_scope path(kConverters + ":/usr/bin:/bin");
    constexpr int kLimitMs = 500;
    enum class host { ignores_sigchld, interrupted };
    enum class converter { direct_writes, fallback_writes, direct_past_limit };
    for (host h : {host::ignores_sigchld, host::interrupted}) {
        for (converter c :
             {converter::direct_writes, converter::fallback_writes, converter::direct_past_limit}) {
            SCOPED_TRACE(testing::Message()
                         << "host " << static_cast<int>(h) << ", converter " << static_cast<int>(c));
            const std::string direct = c == converter::direct_writes       ? kConverters + "/write-gif"
                                       : c == converter::direct_past_limit ? kConverters + "/sleep-past-limit"
                                                                           : "/nonexistent/ffmpeg";
            posix_set_converter_for_tests(direct.c_str(), "write-gif", kLimitMs);
            write_file(temp_, "recording");
            std::filesystem::remove(output_);

            int64_t took_ms = 0;
            {
                std::optional<sigchld_ignored_scope> ignored;
                std::optional<signal_storm_scope> storm;
                if (h == host::ignores_sigchld) {
                    ignored.emplace();
                } else {
                    storm.emplace();
                }
                took_ms = convert();
            }

            EXPECT_FALSE(exists(temp_));
            if (c == converter::direct_past_limit) {
                EXPECT_GE(took_ms, kLimitMs);
                EXPECT_LT(took_ms, 20000);
                const pid_t pid = wait_for_pid_file(output_ + ".pid");
                ASSERT_GT(pid, 0);
                kill(pid, SIGKILL);
            } else {
                // The stand-in writes after a pause: a wait that ended early
                // would return before the GIF is there.
                EXPECT_EQ(read_file(output_), "GIF89a");
            }
            EXPECT_EQ(zombie_children(), std::vector<pid_t>{});
        }
    }
}

// Standard input and output lead to /dev/null; no descriptor of the host and
// no blocked or ignored signal reaches the converter.
TEST_F(GifStep, ConverterInheritsNullStreamsAndNothingElseOfTheHost) {
    path_scope path(kConverters + ":/usr/bin:/bin");
    const std::string leak = dir.file("leak-marker");
    const int leaked_fd = open(leak.c_str(), O_WRONLY | O_CREAT, 0644); // no O_CLOEXEC on purpose
    ASSERT_GE(leaked_fd, 0);

    const std::string directs[] = {kConverters + "/report-env", "/nonexistent/ffmpeg"};
    for (const std::string &direct : directs) {
        SCOPED_TRACE(direct);
        posix_set_converter_for_tests(direct.c_str(), "report-env", 0);
        write_file(temp_, "recording");
        {
            sigpipe_ignored_and_usr1_blocked_scope signals;
            convert();
        }
        const std::string env = read_file(output_ + ".env");
        EXPECT_NE(env.find("stdin /dev/null\n"), std::string::npos) << env;
        EXPECT_NE(env.find("stdout /dev/null\n"), std::string::npos) << env;
        EXPECT_NE(env.find("stderr /dev/null\n"), std::string::npos) << env;
        EXPECT_EQ(env.find("leak-marker"), std::string::npos) << env;
        EXPECT_NE(env.find("SigBlk:\t0000000000000000"), std::string::npos) << env;
        // Signals 1 to 31 only: the C library keeps its internal signals 32
        // and 33 ignored in a spawned program until its start-up takes them.
        const std::size_t ignored_at = env.find("SigIgn:\t");
        ASSERT_NE(ignored_at, std::string::npos) << env;
        EXPECT_EQ(std::stoull(env.substr(ignored_at + 8, 16), nullptr, 16) & 0x7fffffffull, 0u) << env;
        EXPECT_FALSE(exists(temp_));
    }
    close(leaked_fd);
}

// A host that closed its standard streams gets the converter's descriptors
// on 0, 1 and 2; redirecting the converter's streams must not overwrite the
// pipe that tells of its end, or the wait would end before the converter.
TEST_F(GifStep, HostWithoutStandardStreamsStillWaitsForTheConverter) {
    posix_set_converter_for_tests((kConverters + "/write-gif").c_str(), nullptr, 0);
    write_file(temp_, "recording");
    int saved[3];
    for (int fd = 0; fd < 3; ++fd) {
        saved[fd] = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        ASSERT_GE(saved[fd], 0);
    }
    for (int fd = 0; fd < 3; ++fd) {
        close(fd);
    }
    convert();
    const std::string written = read_file(output_);
    for (int fd = 0; fd < 3; ++fd) {
        dup2(saved[fd], fd);
        close(saved[fd]);
    }

    EXPECT_EQ(written, "GIF89a");
    EXPECT_FALSE(exists(temp_));
}

// A temporary name that is empty or names the output itself cannot be
// converted in place; removing it would delete the recording.
TEST_F(GifStep, TemporaryNameThatIsNoSeparateFileIsLeftAlone) {
    posix_set_converter_for_tests((kConverters + "/write-gif").c_str(), "write-gif", 0);
    write_file(output_, "the only recording");

    std::snprintf(job->temp_path, sizeof job->temp_path, "%s", output_.c_str());
    convert();
    EXPECT_EQ(read_file(output_), "the only recording");

    job->temp_path[0] = '\0';
    convert();
    EXPECT_EQ(read_file(output_), "the only recording");
    EXPECT_FALSE(exists(output_ + ".args"));
}

} // namespace
