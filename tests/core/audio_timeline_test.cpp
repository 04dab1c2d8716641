// Where each frame's chunk of sound goes on the 44100 Hz track, at every
// frame rate the options allow.
#include <gtest/gtest.h>

#include <cstdint>

#include "screenrecorder/audio_timeline.h"

namespace {

// The worker hands 44100 / fps samples per frame, rounded down. Padded to each
// frame's start, and at the end to the end of the last frame, the track is
// exactly as long as the video after any number of frames; before the end it
// never lags by as much as one chunk's lost fraction plus a sample.
TEST(AudioTimelineTest, WorkerChunksFollowTheFramesAtEveryRate) {
    constexpr int64_t kFrames = 20000;
    for (int32_t fps = 1; fps <= 120; ++fps) {
        SCOPED_TRACE(fps);
        const int64_t chunk = kAudioRate / fps;
        int64_t written = 0;
        int64_t worst_lag = 0;
        for (int64_t index = 0; index < kFrames; ++index) {
            written += audio_silence_before(index, fps, written) + chunk;
            const int64_t lag = audio_frame_start(index + 1, fps) - written;
            worst_lag = lag > worst_lag ? lag : worst_lag;
            ASSERT_GE(lag, 0) << "frame " << index;
        }
        EXPECT_LE(worst_lag, 1);
        const int64_t end = audio_frame_start(kFrames, fps);
        EXPECT_EQ(end, kFrames * kAudioRate / fps);
        EXPECT_LE(end - written, 1);
    }
}

// Chunks that fill the timeline exactly (live sound) get no silence at all,
// and a chunk whose place the track has passed is never moved or cut.
TEST(AudioTimelineTest, ExactOrLateChunksGetNoSilence) {
    for (const int32_t fps : {1, 24, 30, 60, 117, 120}) {
        SCOPED_TRACE(fps);
        int64_t written = 0;
        for (int64_t index = 0; index < 5000; ++index) {
            ASSERT_EQ(audio_silence_before(index, fps, written), 0) << "frame " << index;
            written += audio_frame_start(index + 1, fps) - audio_frame_start(index, fps);
        }
    }
    EXPECT_EQ(audio_silence_before(10, 30, audio_frame_start(10, 30) + 500), 0);
    EXPECT_EQ(audio_silence_before(10, 30, 0), 14700);
}

TEST(AudioTimelineTest, LongRecordingsKeepEverySample) {
    // A year at 120 fps stays exact, with no product beyond 64 bits.
    const int64_t frames = int64_t{120} * 3600 * 24 * 365;
    EXPECT_EQ(audio_frame_start(frames, 120), int64_t{44100} * 3600 * 24 * 365);
    EXPECT_EQ(audio_frame_start(frames + 1, 120), int64_t{44100} * 3600 * 24 * 365 + 367);
    // Index x 44100 would overflow here; the result itself fits.
    const int64_t huge = int64_t{7} * 100000000000000;
    EXPECT_EQ(audio_frame_start(huge, 7), int64_t{44100} * 100000000000000);
    EXPECT_EQ(audio_frame_start(huge + 3, 7), int64_t{44100} * 100000000000000 + 18900);
    EXPECT_EQ(audio_frame_start(0, 30), 0);
    EXPECT_EQ(audio_frame_start(-5, 30), 0);
}

} // namespace
