// The silent AAC track of a recording keeps the video's length, read back
// with ffprobe: real recordings at frame rates that do not divide 44100, and
// long runs of frames over a fake clock with the real FFmpeg writer.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>

#include "kestrova/screenrecorder.h"
#include "screenrecorder/job.h"
#include "screenrecorder/worker.h"
#include "support/ffprobe_posix.h"
#include "support/temp_dir.h"
#include "support/xvfb_posix.h"

namespace {

// One AAC frame: the most the two tracks may differ by.
constexpr double kAacFrameSeconds = 1024.0 / 44100.0;
// What the file can tell: an MPEG-4 edit list gives the audio's length in
// whole milliseconds of the movie's time scale.
constexpr double kEditListSeconds = 0.001 + 1.0 / 44100.0;

// The fake clock: sleeping moves it on, and the job is stopped once it has
// produced `g_stop_after` frames.
int64_t g_now = 0;
recording_job *g_job = nullptr;
int64_t g_stop_after = 0;

int64_t fake_now() {
    return g_now;
}
void fake_sleep(int64_t ms) {
    g_now += ms;
    if (shared_load(g_job->frames) >= g_stop_after) {
        shared_store(g_job->stop_requested, int32_t{1});
    }
}
bool no_grab(grab_context *, int32_t, int32_t) {
    return false;
}
bool grab_never(grab_context *, int32_t, int32_t, uint8_t *, bgra_picture *) {
    return false;
}
void close_nothing(grab_context *) {}

// Records `frames` pattern frames of 16 x 16 at `fps` into `path` with the
// production media writer, without waiting for a single frame interval.
void record_frames_on_fake_clock(const std::string &path, int32_t fps, int64_t frames) {
    recording_job job{};
    job.opts.fps = fps;
    job.opts.bitrate_kbps = 200;
    std::snprintf(job.opts.codec, sizeof job.opts.codec, "h264");
    job.width = 16;
    job.height = 16;
    std::snprintf(job.output_path, sizeof job.output_path, "%s", path.c_str());
    g_job = &job;
    g_now = 1000;
    g_stop_after = frames - 1; // stop is seen after the frame in progress
    worker_env env = platform_worker_env();
    env.now_ms = fake_now;
    env.sleep_ms = fake_sleep;
    env.grab_open = no_grab;
    env.grab_view = grab_never;
    env.grab_close = close_nothing;
    EXPECT_EQ(record_job(&job, env), 0u);
    EXPECT_STREQ(job.error, "");
    EXPECT_EQ(job.frames, frames);
    g_job = nullptr;
}

class AudioTrackTest : public ::testing::Test {
  protected:
    temp_dir dir_;
    no_display_scope no_display_;
};

// Each frame hands 44100 / fps samples rounded down (367 at 120 fps instead
// of 367.5); counted as they come, the track fell half a sample behind per
// frame, more than an AAC frame over these runs.
TEST_F(AudioTrackTest, ManyFramesKeepTheTrackAsLongAsTheVideo) {
    struct run {
        int32_t fps;
        int64_t frames;
    };
    for (const run r : {run{24, 2400}, run{120, 3000}, run{7, 700}}) {
        SCOPED_TRACE(r.fps);
        const std::string path = dir_.file("fake-clock-" + std::to_string(r.fps) + ".mp4");
        record_frames_on_fake_clock(path, r.fps, r.frames);
        const probed_file f = probe_media(path);
        ASSERT_TRUE(f.ok);
        ASSERT_NE(f.video(), nullptr);
        ASSERT_NE(f.audio(), nullptr);
        EXPECT_EQ(f.video()->frames, r.frames);
        const double video_s = static_cast<double>(r.frames) / r.fps;
        EXPECT_NEAR(f.video()->duration, video_s, 1e-6);
        EXPECT_NEAR(f.audio()->duration, video_s, kAacFrameSeconds);
        // In fact the track ends where the last frame ends.
        EXPECT_NEAR(f.audio()->duration, video_s, kEditListSeconds);
    }
}

TEST_F(AudioTrackTest, RecordingsAtRatesThatDoNotDivideTheSampleRate) {
    for (const int fps : {24, 60, 120}) {
        SCOPED_TRACE(fps);
        const std::string path = dir_.file("rate" + std::to_string(fps) + ".mp4");
        int32_t job = 0;
        const std::string options = "{\"fps\":" + std::to_string(fps) + ",\"region\":{\"w\":32,\"h\":32}}";
        ASSERT_EQ(screenrecorder_start(path.c_str(), options.c_str(), &job), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        ASSERT_EQ(screenrecorder_stop(job, nullptr), 0);
        const int64_t frames = g_jobs[job - 1].frames;
        ASSERT_GT(frames, 0);
        const probed_file f = probe_media(path);
        ASSERT_TRUE(f.ok);
        ASSERT_NE(f.video(), nullptr);
        ASSERT_NE(f.audio(), nullptr);
        const double video_s = static_cast<double>(frames) / fps;
        EXPECT_NEAR(f.video()->duration, video_s, 1e-6);
        EXPECT_NEAR(f.audio()->duration, video_s, kAacFrameSeconds);
        EXPECT_NEAR(f.audio()->duration, video_s, kEditListSeconds);
    }
}

} // namespace
