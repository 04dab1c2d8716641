// The recording worker over a fake clock, a fake grab and a fake media sink:
// pacing, counting, sample times, silence chunks, teardown order and the
// failure ends.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/media_sink.h"
#include "screenrecorder/job.h"
#include "screenrecorder/pattern.h"
#include "screenrecorder/worker.h"
#include "support/sanitized.h"
#include "support/worker_job.h"

// The set-up-failure test asks for a buffer no machine has; the sanitizers'
// allocators must then return null as the system's does, not abort.
#if defined(KSR_SANITIZED)
extern "C" const char *__asan_default_options() {
    return "allocator_may_return_null=1";
}
extern "C" const char *__tsan_default_options() {
    return "allocator_may_return_null=1";
}
#endif

namespace {

constexpr int64_t kClockStart = 1000000;

struct video_write {
    int64_t index;
    int64_t time_hns;
    int64_t duration_hns;
    int64_t at_ms; // fake clock when the sample arrived
    std::vector<uint8_t> pixels;
    bool unchanged;
};

struct audio_write {
    std::size_t bytes;
    int64_t index;
    int64_t time_hns;
    int64_t duration_hns;
    bool silent;
};

// Everything the fakes record and everything a test can make them do. The
// environment holds plain function pointers, so the fakes share one state.
struct fake_world {
    recording_job *job = nullptr;
    int64_t now = kClockStart;
    std::vector<int64_t> sleeps;
    std::vector<std::string> calls;
    std::vector<video_write> video;
    std::vector<audio_write> audio;
    video_stream_desc desc{};
    std::string opened_path;
    // Steering:
    std::string failing_call;           // this sink call reports failure
    int64_t video_fails_at = -1;        // write_video of this frame fails
    int64_t audio_fails_at = -1;        // write_audio of this frame fails
    int64_t video_skipped_at = -1;      // write_video of this frame has no buffer
    std::vector<int64_t> write_cost_ms; // clock advance per written frame
    int64_t stop_after_frames = -1;     // raise stop after this many frames
    int64_t stop_at_ms = -1;            // raise stop once the clock reaches this
    bool grab_available = false;
    int64_t grab_fails_at = -1;
    bool grab_unchanged = false; // every grab reports an unchanged picture
    int32_t grab_x = 0;
    int32_t grab_y = 0;
    bool finalize_fails = false; // the file cannot be completed
};

fake_world *g_world = nullptr;

int64_t fake_now() {
    return g_world->now;
}
void fake_sleep(int64_t ms) {
    g_world->sleeps.push_back(ms);
    g_world->now += ms;
}

bool fake_grab_open(grab_context *, int32_t, int32_t) {
    g_world->calls.push_back("grab_open");
    return g_world->grab_available;
}
bool fake_grab_view(grab_context *, int32_t x, int32_t y, uint8_t *scratch, bgra_picture *picture) {
    g_world->grab_x = x;
    g_world->grab_y = y;
    const auto frame = static_cast<int64_t>(g_world->video.size());
    if (frame == g_world->grab_fails_at) {
        std::memset(scratch, 0x11, 16); // a failed grab may leave rubbish behind
        return false;
    }
    const std::size_t bytes = static_cast<std::size_t>(g_world->job->width) * g_world->job->height * 4;
    std::memset(scratch, 0xAB, bytes);
    *picture =
        bgra_picture{scratch, static_cast<std::size_t>(g_world->job->width) * 4, g_world->grab_unchanged};
    return true;
}
void fake_grab_close(grab_context *) {
    g_world->calls.push_back("grab_close");
}

void fake_include_cursor(grab_context *, bool include) {
    g_world->calls.push_back(include ? "grab_include_cursor" : "grab_include_cursor(false)");
}

void fake_convert(const recording_job *) {
    g_world->calls.push_back("convert_to_gif");
}

int step(const char *name, char *err, std::size_t cap) {
    g_world->calls.push_back(name);
    if (g_world->failing_call == name) {
        std::snprintf(err, cap, "%s failed: fake", name);
        return -1;
    }
    return 0;
}

int fake_token;

void *sink_create() {
    g_world->calls.push_back("create");
    return g_world->failing_call == "create" ? nullptr : &fake_token;
}
int sink_startup(void *, char *err, std::size_t cap) {
    return step("startup", err, cap);
}
int sink_open(void *, const char *path, char *err, std::size_t cap) {
    g_world->opened_path = path;
    return step("open", err, cap);
}
int sink_add_video(void *, const video_stream_desc *desc, char *err, std::size_t cap) {
    g_world->desc = *desc;
    return step("add_video", err, cap);
}
int sink_add_audio(void *, char *err, std::size_t cap) {
    return step("add_audio", err, cap);
}
int sink_begin(void *, char *err, std::size_t cap) {
    return step("begin", err, cap);
}

void after_frame() {
    fake_world &w = *g_world;
    const auto written = static_cast<std::size_t>(w.video.size());
    if (written - 1 < w.write_cost_ms.size()) {
        w.now += w.write_cost_ms[written - 1];
    }
    if ((w.stop_after_frames >= 0 && static_cast<int64_t>(written) >= w.stop_after_frames) ||
        (w.stop_at_ms >= 0 && w.now >= w.stop_at_ms)) {
        shared_store(w.job->stop_requested, int32_t{1});
    }
}

sink_write sink_write_video(void *, const bgra_picture *picture, int64_t index, int64_t time_hns,
                            int64_t duration_hns) {
    fake_world &w = *g_world;
    if (index == w.video_fails_at) {
        return sink_write::failed;
    }
    video_write v{index, time_hns, duration_hns, w.now, {}, picture->unchanged};
    const std::size_t row = static_cast<std::size_t>(w.job->width) * 4;
    if (row * static_cast<std::size_t>(w.job->height) <= 4096) {
        for (int32_t y = 0; y < w.job->height; ++y) {
            const uint8_t *p = picture->pixels + picture->stride * static_cast<std::size_t>(y);
            v.pixels.insert(v.pixels.end(), p, p + row);
        }
    }
    w.video.push_back(std::move(v));
    // With audio the frame ends after the audio chunk.
    if (w.job->opts.gif != 0) {
        after_frame();
    }
    return index == w.video_skipped_at ? sink_write::skipped : sink_write::ok;
}

sink_write sink_write_audio(void *, const uint8_t *pcm, std::size_t bytes, int64_t index, int64_t time_hns,
                            int64_t duration_hns) {
    fake_world &w = *g_world;
    if (index == w.audio_fails_at) {
        return sink_write::failed;
    }
    bool silent = true;
    for (std::size_t i = 0; i < bytes; ++i) {
        silent = silent && pcm[i] == 0;
    }
    w.audio.push_back({bytes, index, time_hns, duration_hns, silent});
    after_frame();
    return sink_write::ok;
}
int sink_finalize(void *, char *err, std::size_t cap) {
    g_world->calls.push_back("finalize");
    if (g_world->finalize_fails) {
        std::snprintf(err, cap, "finalize failed");
        return -1;
    }
    return 0;
}
void sink_abandon(void *) {
    g_world->calls.push_back("abandon");
}
void sink_shutdown(void *) {
    g_world->calls.push_back("shutdown");
}
void sink_destroy(void *) {
    g_world->calls.push_back("destroy");
}

const media_sink_ops kFakeSink{sink_create,    sink_startup, sink_open,        sink_add_video,
                               sink_add_audio, sink_begin,   sink_write_video, sink_write_audio,
                               sink_finalize,  sink_abandon, sink_shutdown,    sink_destroy};

const worker_env kFakeEnv{fake_now,   fake_sleep,   fake_grab_open,      fake_grab_view, fake_grab_close,
                          &kFakeSink, fake_convert, fake_include_cursor, nullptr};

class WorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        worker_test_job(&job_);
        world_ = fake_world{};
        world_.job = &job_;
        g_world = &world_;
    }
    void TearDown() override { g_world = nullptr; }

    void make_gif() {
        job_.opts.gif = 1;
        std::strcpy(job_.output_path, "out.gif");
        std::strcpy(job_.temp_path, "out.gif.tmp.mp4");
    }

    uint32_t run() { return record_job(&job_, kFakeEnv); }

    recording_job job_{};
    fake_world world_;
};

TEST_F(WorkerTest, FirstFrameComesOneIntervalAfterCaptureStartWithTimeZero) {
    world_.stop_after_frames = 1;
    EXPECT_EQ(run(), 0u);
    ASSERT_EQ(world_.video.size(), 1u);
    EXPECT_EQ(job_.start_ms, kClockStart); // the fake clock stands still during set-up
    EXPECT_EQ(world_.video[0].at_ms, kClockStart + 33);
    EXPECT_EQ(world_.video[0].time_hns, 0);
    EXPECT_EQ(world_.video[0].index, 0);
    EXPECT_EQ(job_.frames, 1);
    EXPECT_EQ(job_.dropped_frames, 0);
    EXPECT_EQ(job_.running, 0);
    EXPECT_EQ(job_.finished, 1);
    EXPECT_EQ(job_.end_ms, kClockStart + 33);
}

// Frame 0 arrives at 33 ms; its write then takes long enough that the pass
// for frame 1 (deadline 66 ms) begins `late_ms` after its deadline.
TEST_F(WorkerTest, LatenessBeyondThreeIntervalsDropsOnceAndReanchors) {
    struct lateness_case {
        int64_t late_ms;
        int64_t dropped;
        int64_t frame2_at; // when frame 2 is written
    };
    const lateness_case cases[] = {
        // Within the limit: nothing counted, frame 2 (deadline 100 ms) follows at once.
        {99, 0, 66 + 99},
        // One millisecond more: one drop, frame 1 becomes the new anchor and
        // frame 2 waits one interval after it.
        {100, 1, 66 + 100 + 33},
        // Many intervals missed still count one drop.
        {1000, 1, 66 + 1000 + 33},
    };
    for (const lateness_case &c : cases) {
        SCOPED_TRACE("late by " + std::to_string(c.late_ms));
        SetUp();
        world_.write_cost_ms = {66 + c.late_ms - 33};
        world_.stop_after_frames = 3;
        run();
        ASSERT_EQ(world_.video.size(), 3u);
        EXPECT_EQ(job_.dropped_frames, c.dropped);
        EXPECT_EQ(world_.video[1].at_ms - kClockStart, 66 + c.late_ms);
        EXPECT_EQ(world_.video[2].at_ms - kClockStart, c.frame2_at);
        // Sample times follow the frame count, never the clock.
        EXPECT_EQ(world_.video[2].time_hns, 2 * 333333);
    }
}

TEST_F(WorkerTest, TenSecondsOfClockGiveExactlyFpsFramesPerSecond) {
    for (const int32_t fps : {30, 60, 120, 7, 1}) {
        SCOPED_TRACE("fps " + std::to_string(fps));
        SetUp();
        job_.opts.fps = fps;
        world_.stop_at_ms = kClockStart + 10000;
        run();
        EXPECT_EQ(job_.frames, 10 * fps);
        EXPECT_EQ(job_.dropped_frames, 0);
        ASSERT_FALSE(world_.video.empty());
        EXPECT_EQ(world_.video.back().at_ms, kClockStart + 10000);
        // Every sleep ends exactly on a deadline: never a pass that is late.
        for (std::size_t i = 0; i < world_.video.size(); ++i) {
            EXPECT_EQ(world_.video[i].at_ms - kClockStart, (static_cast<int64_t>(i) + 1) * 1000 / fps) << i;
        }
    }
}

TEST_F(WorkerTest, StopBeforeTheLoopGivesNoFrameButStillFinalises) {
    for (const bool gif : {false, true}) {
        SCOPED_TRACE(gif ? "gif" : "mp4");
        SetUp();
        if (gif) {
            make_gif();
        }
        job_.stop_requested = 1;
        EXPECT_EQ(run(), 0u);
        EXPECT_EQ(job_.frames, 0);
        EXPECT_TRUE(world_.video.empty());
        EXPECT_TRUE(world_.audio.empty());
        EXPECT_EQ(job_.error[0], '\0');
        std::vector<std::string> expected{"create", "startup", "open", "add_video"};
        if (!gif) {
            expected.push_back("add_audio");
        }
        for (const char *c : {"begin", "grab_open", "grab_close", "finalize", "shutdown", "destroy"}) {
            expected.push_back(c);
        }
        if (gif) {
            expected.push_back("convert_to_gif");
        }
        EXPECT_EQ(world_.calls, expected);
        EXPECT_EQ(world_.opened_path, gif ? "out.gif.tmp.mp4" : "out.mp4");
        EXPECT_EQ(job_.running, 0);
        EXPECT_EQ(job_.finished, 1);
    }
}

TEST_F(WorkerTest, SampleTimesAndSilenceChunksFollowTheFrameRate) {
    struct timing_case {
        int32_t fps;
        int64_t duration_hns;
        std::size_t chunk_bytes;
    };
    const timing_case cases[] = {{1, 10000000, 176400}, {30, 333333, 5880}, {120, 83333, 1468}};
    for (const timing_case &c : cases) {
        SCOPED_TRACE("fps " + std::to_string(c.fps));
        SetUp();
        job_.opts.fps = c.fps;
        world_.stop_after_frames = 4;
        run();
        ASSERT_EQ(world_.video.size(), 4u);
        ASSERT_EQ(world_.audio.size(), 4u);
        for (int64_t n = 0; n < 4; ++n) {
            const video_write &v = world_.video[static_cast<std::size_t>(n)];
            const audio_write &a = world_.audio[static_cast<std::size_t>(n)];
            EXPECT_EQ(v.index, n);
            EXPECT_EQ(v.time_hns, n * c.duration_hns);
            EXPECT_EQ(v.duration_hns, c.duration_hns);
            EXPECT_EQ(a.index, n);
            EXPECT_EQ(a.time_hns, v.time_hns);
            EXPECT_EQ(a.duration_hns, c.duration_hns);
            EXPECT_EQ(a.bytes, c.chunk_bytes);
            EXPECT_TRUE(a.silent);
        }
    }
}

TEST_F(WorkerTest, StreamDescriptionAndGifJobsWithoutAudio) {
    struct desc_case {
        const char *codec;
        int32_t gif;
        int32_t bitrate_kbps;
        bool hevc;
        uint32_t bitrate_bps;
    };
    const desc_case cases[] = {
        {"hevc", 0, 8000, true, 8000000u},
        {"h264", 0, 101, false, 101000u},
        {"HEVC", 1, 8000, false, 8000000u},
        {"hevc1", 0, 8000, false, 8000000u},
        // The product is taken in 32 bits.
        {"h264", 0, 4294968, false, 4294968u * 1000u},
    };
    for (const desc_case &c : cases) {
        SCOPED_TRACE(c.codec);
        SetUp();
        if (c.gif != 0) {
            make_gif();
        }
        std::strcpy(job_.opts.codec, c.codec);
        job_.opts.bitrate_kbps = c.bitrate_kbps;
        job_.width = 1000;
        job_.height = 598;
        world_.stop_after_frames = 2;
        run();
        EXPECT_EQ(world_.desc.hevc, c.hevc);
        EXPECT_EQ(world_.desc.bitrate_bps, c.bitrate_bps);
        EXPECT_EQ(world_.desc.width, 1000);
        EXPECT_EQ(world_.desc.height, 598);
        EXPECT_EQ(world_.desc.fps, 30);
        EXPECT_EQ(world_.video.size(), 2u);
        EXPECT_EQ(world_.audio.size(), c.gif != 0 ? 0u : 2u);
    }
}

TEST_F(WorkerTest, GrabFailuresFallBackToThePatternOfThatFrame) {
    world_.grab_available = true;
    world_.grab_fails_at = 2;
    job_.grab_x = -50;
    job_.grab_y = 70;
    world_.stop_after_frames = 4;
    run();
    ASSERT_EQ(world_.video.size(), 4u);
    std::vector<uint8_t> pattern(16 * 16 * 4);
    generate_pattern_frame(pattern.data(), 16, 16, 2);
    EXPECT_EQ(world_.video[2].pixels, pattern);
    EXPECT_EQ(world_.video[1].pixels, std::vector<uint8_t>(16 * 16 * 4, 0xAB));
    EXPECT_EQ(world_.video[3].pixels, std::vector<uint8_t>(16 * 16 * 4, 0xAB));
    EXPECT_EQ(world_.grab_x, -50);
    EXPECT_EQ(world_.grab_y, 70);

    // A grab that reports its picture unchanged is passed on as unchanged
    // only when the frame before was grabbed too: not for the first frame,
    // not after the pattern stood in.
    SetUp();
    world_.grab_available = true;
    world_.grab_unchanged = true;
    world_.grab_fails_at = 2;
    world_.stop_after_frames = 5;
    run();
    ASSERT_EQ(world_.video.size(), 5u);
    const bool unchanged[] = {false, true, false, false, true};
    for (std::size_t n = 0; n < 5; ++n) {
        EXPECT_EQ(world_.video[n].unchanged, unchanged[n]) << n;
    }

    // Without a grab every frame is the pattern of its own number.
    SetUp();
    world_.stop_after_frames = 3;
    run();
    ASSERT_EQ(world_.video.size(), 3u);
    for (int64_t n = 0; n < 3; ++n) {
        generate_pattern_frame(pattern.data(), 16, 16, n);
        EXPECT_EQ(world_.video[static_cast<std::size_t>(n)].pixels, pattern) << n;
    }
}

TEST_F(WorkerTest, CursorOptionReachesAnOpenGrabOnly) {
    // The pointer is asked of the grab once, before the first frame, and
    // only when the job wants it and there is a grab to draw it.
    for (const bool cursor : {false, true}) {
        for (const bool available : {false, true}) {
            SCOPED_TRACE(std::string(cursor ? "cursor" : "no cursor") + (available ? ", grab" : ", no grab"));
            SetUp();
            job_.opts.cursor = cursor ? 1 : 0;
            world_.grab_available = available;
            world_.stop_after_frames = 2;
            run();
            std::vector<std::string> grab_calls;
            for (const std::string &c : world_.calls) {
                if (c.rfind("grab_", 0) == 0) {
                    grab_calls.push_back(c);
                }
            }
            std::vector<std::string> want{"grab_open"};
            if (cursor && available) {
                want.push_back("grab_include_cursor");
            }
            want.push_back("grab_close");
            EXPECT_EQ(grab_calls, want);
            EXPECT_EQ(world_.video.size(), 2u);
        }
    }
}

TEST_F(WorkerTest, SetUpFailuresReleaseEverythingAndRecordNothing) {
    struct failure_case {
        const char *failing;
        int32_t gif;
        uint32_t exit_code;
        std::vector<std::string> calls;
    };
    const failure_case cases[] = {
        {"create", 0, 1, {"create"}},
        {"startup", 0, 1, {"create", "startup", "destroy"}},
        {"open", 0, 2, {"create", "startup", "open", "abandon", "shutdown", "destroy"}},
        {"add_video", 1, 2, {"create", "startup", "open", "add_video", "abandon", "shutdown", "destroy"}},
        {"add_audio",
         0,
         2,
         {"create", "startup", "open", "add_video", "add_audio", "abandon", "shutdown", "destroy"}},
        {"begin",
         1,
         2,
         {"create", "startup", "open", "add_video", "begin", "abandon", "shutdown", "destroy"}},
    };
    for (const failure_case &c : cases) {
        SCOPED_TRACE(c.failing);
        SetUp();
        if (c.gif != 0) {
            make_gif();
        }
        world_.failing_call = c.failing;
        world_.now = kClockStart + 5;
        EXPECT_EQ(run(), c.exit_code);
        EXPECT_EQ(world_.calls, c.calls); // no grab, no finalize, no conversion
        EXPECT_NE(job_.error[0], '\0');
        if (std::string(c.failing) != "create") {
            EXPECT_EQ(std::string(job_.error), std::string(c.failing) + " failed: fake");
        }
        EXPECT_EQ(job_.frames, 0);
        EXPECT_EQ(job_.dropped_frames, 0);
        EXPECT_EQ(job_.start_ms, kClockStart + 5);
        EXPECT_EQ(job_.end_ms, 0);
        EXPECT_EQ(job_.running, 0);
        EXPECT_EQ(job_.finished, 1);
    }
}

TEST_F(WorkerTest, FrameBufferThatCannotBeAllocatedEndsLikeASetUpFailure) {
    // The largest even size: (2^31 - 2)^2 x 4 bytes still fits 64 unsigned
    // bits (a 32-bit or signed product would wrap), and no allocator has it.
    job_.width = 2147483646;
    job_.height = 2147483646;
    make_gif();
    EXPECT_EQ(run(), 2u);
    EXPECT_STREQ(job_.error, "out of memory for the frame buffer (18446744039349813264 bytes)");
    const std::vector<std::string> expected{"create", "startup", "open",     "add_video",
                                            "begin",  "abandon", "shutdown", "destroy"};
    EXPECT_EQ(world_.calls, expected);
    EXPECT_EQ(job_.frames, 0);
    EXPECT_EQ(job_.finished, 1);
}

TEST_F(WorkerTest, SampleFailureMidRecordingEndsTheLoopAndFinalises) {
    struct mid_case {
        const char *what;
        int64_t video_fails_at;
        int64_t audio_fails_at;
        int64_t frames;
        const char *error;
    };
    const mid_case cases[] = {
        // The frame whose video could not be written is not counted.
        {"video", 3, -1, 3, "video sample of frame 3 could not be written"},
        // Its video is in the file, so that frame counts.
        {"audio", -1, 2, 3, "audio sample of frame 2 could not be written"},
    };
    for (const mid_case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        world_.video_fails_at = c.video_fails_at;
        world_.audio_fails_at = c.audio_fails_at;
        world_.stop_after_frames = 100;
        EXPECT_EQ(run(), 0u);
        EXPECT_EQ(job_.frames, c.frames);
        EXPECT_STREQ(job_.error, c.error);
        ASSERT_GE(world_.calls.size(), 3u);
        const std::vector<std::string> tail(world_.calls.end() - 3, world_.calls.end());
        EXPECT_EQ(tail, (std::vector<std::string>{"finalize", "shutdown", "destroy"}));
    }
}

// A file that could not be completed (the disk filled up) holds no usable
// recording: the job reports no frames, keeps the message, and still
// releases everything and runs the GIF step.
TEST_F(WorkerTest, FileThatCannotBeCompletedReportsNoFrames) {
    for (const bool gif : {false, true}) {
        SCOPED_TRACE(gif ? "gif" : "mp4");
        SetUp();
        if (gif) {
            make_gif();
        }
        world_.finalize_fails = true;
        world_.stop_after_frames = 5;
        EXPECT_EQ(run(), 0u);
        EXPECT_EQ(job_.frames, 0);
        EXPECT_STREQ(job_.error, "finalize failed");
        const std::vector<std::string> tail(world_.calls.end() - (gif ? 4 : 3), world_.calls.end());
        EXPECT_EQ(tail, gif ? (std::vector<std::string>{"finalize", "shutdown", "destroy", "convert_to_gif"})
                            : (std::vector<std::string>{"finalize", "shutdown", "destroy"}));
    }
}

TEST_F(WorkerTest, SkippedSampleStillCountsTheFrame) {
    world_.video_skipped_at = 1;
    world_.stop_after_frames = 3;
    run();
    EXPECT_EQ(job_.frames, 3);
    EXPECT_EQ(job_.error[0], '\0');
    EXPECT_EQ(world_.video[2].time_hns, 2 * 333333);
}

} // namespace
