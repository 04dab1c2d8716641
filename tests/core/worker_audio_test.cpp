// The worker's live sound over a fake clock, a fake sink and a scripted
// source whose every sample tells when it was heard: which sound each frame
// gets, exact sample counts, skipped time, a source that stalls or goes away,
// and the cases that keep the design's silence.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/media_sink.h"
#include "screenrecorder/capture_timeline.h"
#include "screenrecorder/job.h"
#include "screenrecorder/worker.h"
#include "support/worker_job.h"

namespace {

constexpr int64_t kClockStart = 1000000;

struct chunk {
    int64_t index;
    int64_t time_hns;
    std::vector<int16_t> pcm;
};

// Everything the fakes share; the environment holds plain function pointers.
struct audio_world {
    recording_job *job = nullptr;
    int64_t now = kClockStart;
    std::vector<int64_t> video_at; // clock when each frame was written
    std::vector<chunk> chunks;
    int64_t stop_at_ms = -1;
    int64_t stall_at_frame = -1; // this frame's write takes stall_ms
    int64_t stall_ms = 0;
    int64_t odd_write_ms = 0; // every odd frame's write takes this long
    // The source: hands over what was heard up to now - latency_ms, until
    // `gone_at_ms`; `opens` false makes it unavailable.
    bool opens = true;
    int64_t latency_ms = 20;
    int64_t gone_at_ms = -1;
    int64_t ppm = 0;        // the source's clock runs this much fast
    int64_t fragment = 0;   // sample frames handed over at once (0: any)
    int64_t delivered = -1; // clock sample position handed over so far
    int32_t opened_mode = -1;
    bool closed = false;
};

audio_world *g_aw = nullptr;

int64_t clock_samples(int64_t ms) {
    return ms * 44100 / 1000;
}

int64_t fake_now() {
    return g_aw->now;
}
void fake_sleep(int64_t ms) {
    g_aw->now += ms;
}
bool fake_grab_open(grab_context *, int32_t, int32_t) {
    return false;
}
bool fake_grab_view(grab_context *, int32_t, int32_t, uint8_t *, bgra_picture *) {
    return false;
}
void fake_grab_close(grab_context *) {}
void fake_convert(const recording_job *) {}

int token;
void *sink_create() {
    return &token;
}
int sink_ok(void *, char *, std::size_t) {
    return 0;
}
int sink_open(void *, const char *, char *, std::size_t) {
    return 0;
}
int sink_add_video(void *, const video_stream_desc *, char *, std::size_t) {
    return 0;
}
sink_write sink_write_video(void *, const bgra_picture *, int64_t index, int64_t, int64_t) {
    audio_world &w = *g_aw;
    w.video_at.push_back(w.now);
    if (index == w.stall_at_frame) {
        w.now += w.stall_ms;
    }
    if (index % 2 == 1) {
        w.now += w.odd_write_ms;
    }
    if (w.stop_at_ms >= 0 && w.now >= w.stop_at_ms) {
        shared_store(w.job->stop_requested, int32_t{1});
    }
    return sink_write::ok;
}
sink_write sink_write_audio(void *, const uint8_t *pcm, std::size_t bytes, int64_t index, int64_t time_hns,
                            int64_t) {
    chunk c{index, time_hns, std::vector<int16_t>(bytes / 2)};
    std::memcpy(c.pcm.data(), pcm, bytes);
    g_aw->chunks.push_back(std::move(c));
    return sink_write::ok;
}
void sink_void(void *) {}

const media_sink_ops kSink{sink_create, sink_ok,   sink_open,        sink_add_video,
                           sink_ok,     sink_ok,   sink_write_video, sink_write_audio,
                           sink_ok,     sink_void, sink_void,        sink_void};

int source_token;
audio_capture *source_open(int32_t mode) {
    g_aw->opened_mode = mode;
    return g_aw->opens ? reinterpret_cast<audio_capture *>(&source_token) : nullptr;
}
// Sample k of the clock (k = ms x 44.1) carries k itself, low 15 bits left,
// the next 15 right, so a test can tell when each sample was heard. Sample
// values stay above 0, so silence (0, 0) is told apart.
std::size_t source_read(audio_capture *, int16_t *dst, std::size_t max_frames) {
    audio_world &w = *g_aw;
    int64_t until = w.now - w.latency_ms;
    if (w.gone_at_ms >= 0 && until > w.gone_at_ms) {
        until = w.gone_at_ms;
    }
    int64_t end = clock_samples(until) * (1000000 + w.ppm) / 1000000;
    if (w.fragment > 0) {
        end -= end % w.fragment;
    }
    if (w.delivered < 0) {
        w.delivered = end; // the source starts now
    }
    std::size_t n = 0;
    while (w.delivered < end && n < max_frames) {
        dst[n * 2] = static_cast<int16_t>(1 + (w.delivered & 0x3fff));
        dst[n * 2 + 1] = static_cast<int16_t>(1 + ((w.delivered >> 14) & 0x3fff));
        ++w.delivered;
        ++n;
    }
    return n;
}
int64_t source_latency(audio_capture *) {
    return clock_samples(g_aw->latency_ms);
}
void source_close(audio_capture *) {
    g_aw->closed = true;
}
const audio_source_ops kSource{source_open, source_read, source_latency, source_close};

const worker_env kEnv{fake_now, fake_sleep,   fake_grab_open, fake_grab_view, fake_grab_close,
                      &kSink,   fake_convert, nullptr,        &kSource};

// The clock sample a source sample carries (-1 for silence).
int64_t heard_at(const int16_t *frame) {
    if (frame[0] == 0 && frame[1] == 0) {
        return -1;
    }
    return static_cast<int64_t>(frame[0] - 1) | (static_cast<int64_t>(frame[1] - 1) << 14);
}

class WorkerAudioTest : public ::testing::Test {
  protected:
    void SetUp() override {
        worker_test_job(&job_);
        job_.opts.audio = audio_system;
        job_.opts.capture_audio = 1;
        world_ = audio_world{};
        world_.job = &job_;
        g_aw = &world_;
    }
    void TearDown() override { g_aw = nullptr; }

    void run(int64_t ms) {
        world_.stop_at_ms = kClockStart + ms;
        EXPECT_EQ(record_job(&job_, kEnv), 0u);
        EXPECT_STREQ(job_.error, "");
    }

    // Every frame has its chunk, in order, and the sizes add up to
    // floor(frames x 44100 / fps).
    void expect_exact_chunks() {
        ASSERT_EQ(static_cast<int64_t>(world_.chunks.size()), job_.frames);
        int64_t total = 0;
        for (std::size_t i = 0; i < world_.chunks.size(); ++i) {
            EXPECT_EQ(world_.chunks[i].index, static_cast<int64_t>(i));
            EXPECT_EQ(world_.chunks[i].time_hns, static_cast<int64_t>(i) * (10000000 / job_.opts.fps));
            total += static_cast<int64_t>(world_.chunks[i].pcm.size() / 2);
        }
        EXPECT_EQ(total, job_.frames * 44100 / job_.opts.fps);
    }

    // How far (in ms) the first sample of frame i's chunk was heard from the
    // start of frame i's slot, half an interval before the frame was taken.
    double offset_ms(std::size_t i) const {
        const int64_t heard = heard_at(world_.chunks[i].pcm.data());
        const double slot_start = static_cast<double>(world_.video_at[i]) - 500.0 / job_.opts.fps;
        return static_cast<double>(heard) / 44.1 * 1e6 / static_cast<double>(1000000 + world_.ppm) -
               slot_start;
    }

    recording_job job_{};
    audio_world world_;
};

} // namespace

TEST_F(WorkerAudioTest, EachFrameCarriesTheSoundOfItsOwnSlotWithExactCounts) {
    for (const int32_t fps : {30, 7, 120, 1}) {
        SCOPED_TRACE("fps " + std::to_string(fps));
        SetUp();
        job_.opts.fps = fps;
        run(fps == 1 ? 6000 : 3000);
        expect_exact_chunks();
        EXPECT_EQ(world_.opened_mode, audio_system);
        EXPECT_TRUE(world_.closed);
        // The source starts with the job: after a short start every chunk is
        // sound, and it lies where its frame was taken, latency accounted for.
        const std::size_t settled = static_cast<std::size_t>(fps);
        for (std::size_t i = std::min<std::size_t>(settled, 2); i < world_.chunks.size(); ++i) {
            for (std::size_t f = 0; f < world_.chunks[i].pcm.size() / 2; ++f) {
                ASSERT_GE(heard_at(&world_.chunks[i].pcm[f * 2]), 0) << "silence in chunk " << i;
            }
            EXPECT_NEAR(offset_ms(i), 0.0, 2.0) << "chunk " << i;
        }
    }
}

TEST_F(WorkerAudioTest, SkippedTimeIsLeftOutOfTheSoundAsOfThePictures) {
    // Frame 30's write stalls the worker for 2 s: the next pass is far
    // behind, re-anchors, and frames resume at the new moment.
    world_.stall_at_frame = 30;
    world_.stall_ms = 2000;
    run(5000);
    EXPECT_EQ(job_.dropped_frames, 1);
    expect_exact_chunks();
    ASSERT_GT(world_.chunks.size(), 60u);
    // The sound before the stall, the first frame after it (half of its slot
    // lies in the skipped time and is laid back) and everything after match
    // their frames.
    for (std::size_t i = 2; i < world_.chunks.size(); ++i) {
        EXPECT_NEAR(offset_ms(i), 0.0, 2.0) << "chunk " << i;
    }
    // Nothing of the skipped time is in the file: the chunk after the stall
    // continues from sound heard 2 s after its predecessor's.
    const int64_t before = heard_at(world_.chunks[30].pcm.data());
    const int64_t after = heard_at(world_.chunks[31].pcm.data());
    EXPECT_GE(after - before, clock_samples(2000));
}

TEST_F(WorkerAudioTest, SoundFollowsItsFramesWhateverTheFramesCostAndTheSourceClock) {
    // A source that hands sound over in 10 ms pieces, on a clock that runs
    // apart from the worker's, while every other frame costs 15 ms more (a
    // grab that was skipped against one that was not): every chunk stays on
    // its slot, and the sound goes on without a jump.
    for (const int64_t ppm : {0, 600, -600}) {
        SCOPED_TRACE("ppm " + std::to_string(ppm));
        SetUp();
        world_.ppm = ppm;
        world_.fragment = 441;
        world_.odd_write_ms = 15;
        run(60000);
        expect_exact_chunks();
        EXPECT_EQ(job_.dropped_frames, 0);
        ASSERT_GT(world_.chunks.size(), 1700u);
        for (std::size_t i = 30; i < world_.chunks.size(); ++i) {
            ASSERT_NEAR(offset_ms(i), 0.0, 5.0) << "chunk " << i;
            const std::vector<int16_t> &before = world_.chunks[i - 1].pcm;
            const int64_t gap = heard_at(world_.chunks[i].pcm.data()) - heard_at(&before[before.size() - 2]);
            ASSERT_NEAR(static_cast<double>(gap), 1.0, 3.0) << "chunk " << i;
        }
    }
}

TEST_F(WorkerAudioTest, ASourceThatGoesAwayLeavesSilenceAndEveryFrame) {
    world_.gone_at_ms = kClockStart + 1000;
    run(3000);
    expect_exact_chunks();
    EXPECT_EQ(job_.frames, 90);
    // Sound up to the moment the source went, silence after it.
    EXPECT_GE(heard_at(world_.chunks[10].pcm.data()), 0);
    const chunk &last = world_.chunks.back();
    for (std::size_t f = 0; f < last.pcm.size() / 2; ++f) {
        ASSERT_EQ(heard_at(&last.pcm[f * 2]), -1);
    }
}

TEST_F(WorkerAudioTest, NoSourceGivesSilenceChunksOfExactSize) {
    world_.opens = false;
    job_.opts.fps = 120;
    run(1000);
    expect_exact_chunks();
    for (const chunk &c : world_.chunks) {
        for (const int16_t s : c.pcm) {
            ASSERT_EQ(s, 0);
        }
    }
}

TEST_F(WorkerAudioTest, WithoutTheKeyOrASourceTheDesignsSilenceIsKept) {
    struct keep_case {
        int32_t capture;
        int32_t audio;
        int32_t gif;
    };
    const keep_case cases[] = {
        {0, audio_system, 0}, {0, audio_both, 0}, {1, audio_none, 0}, {1, audio_mic, 1}};
    for (const keep_case &c : cases) {
        SCOPED_TRACE("capture " + std::to_string(c.capture) + " audio " + std::to_string(c.audio) + " gif " +
                     std::to_string(c.gif));
        SetUp();
        job_.opts.fps = 120;
        job_.opts.capture_audio = c.capture;
        job_.opts.audio = c.audio;
        job_.opts.gif = c.gif;
        run(500);
        EXPECT_EQ(world_.opened_mode, -1) << "no source may be opened";
        if (c.gif != 0) {
            EXPECT_TRUE(world_.chunks.empty());
            continue;
        }
        ASSERT_EQ(static_cast<int64_t>(world_.chunks.size()), job_.frames);
        for (const chunk &ch : world_.chunks) {
            ASSERT_EQ(ch.pcm.size(), 367u * 2); // 44100 / 120, as the silence always was
            for (const int16_t s : ch.pcm) {
                ASSERT_EQ(s, 0);
            }
        }
    }
}
