// Captured packets placed on the capture's timeline: gaps become silence,
// overlaps are dropped, jitter passes, idle time is filled, the ring keeps
// the newest sound, and several lanes are taken mixed.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "screenrecorder/audio_lane.h"

namespace {

// A source already in the track's format, so that device frames and track
// frames are the same and the values pass unchanged.
constexpr audio_source_format kTrackFormat{pcm_s16, 2, 44100, 0};

struct lane_fixture : testing::Test {
    audio_lane lane;
    void SetUp() override { ASSERT_TRUE(audio_lane_init(&lane, kTrackFormat, 1000, 10)); }

    // `frames` frames whose left and right samples are both `value`.
    static std::vector<int16_t> packet(std::size_t frames, int16_t value) {
        return std::vector<int16_t>(frames * 2, value);
    }
    void put(std::size_t frames, int16_t value, int64_t at) {
        const auto p = packet(frames, value);
        audio_lane_put(&lane, p.data(), frames, at);
    }
    std::vector<int16_t> take_all() {
        std::vector<int16_t> out(lane.count * 2);
        audio_lane *lanes[] = {&lane};
        out.resize(audio_lanes_take(lanes, 1, out.data(), lane.count) * 2);
        return out;
    }
    // The left samples of what is taken, as runs of (value, length).
    std::vector<std::pair<int16_t, std::size_t>> runs() {
        std::vector<std::pair<int16_t, std::size_t>> r;
        const auto all = take_all();
        for (std::size_t i = 0; i < all.size(); i += 2) {
            if (r.empty() || r.back().first != all[i]) {
                r.push_back({all[i], 0});
            }
            ++r.back().second;
        }
        return r;
    }
};

using runs_t = std::vector<std::pair<int16_t, std::size_t>>;

TEST_F(lane_fixture, PacketsAtTheirPlaceFollowEachOther) {
    // 441 frames is 10 ms; the tolerance is 10 ms (441 frames).
    put(441, 7, 0);
    put(441, 8, 441);
    put(441, 9, 882 + 400);        // jitter within the tolerance: no silence
    put(441, 6, 1323 + 400 - 400); // and back: nothing dropped
    put(100, 5, -1);               // no time stamp: it follows
    EXPECT_EQ(lane.placed, 441 * 4 + 100);
    EXPECT_EQ(runs(), (runs_t{{7, 441}, {8, 441}, {9, 441}, {6, 441}, {5, 100}}));
}

TEST_F(lane_fixture, GapBecomesSilenceAndEarlyPacketsAreKept) {
    put(441, 7, 0);
    put(441, 8, 441 + 1000); // a gap of 1000 frames: beyond the tolerance
    put(441, 9, 1882 - 600); // stamped before the end of what is there: kept whole
    put(441, 6, 0);          // a burst of old sound: kept as well
    put(441, 5, 3000);       // 3000 - 2764 is within the tolerance
    EXPECT_EQ(lane.placed, 3205);
    EXPECT_EQ(runs(), (runs_t{{7, 441}, {0, 1000}, {8, 441}, {9, 441}, {6, 441}, {5, 441}}));
}

TEST_F(lane_fixture, SilentPacketsAndIdleTimeAreFilled) {
    audio_lane_put(&lane, nullptr, 300, 0); // a packet flagged silent
    put(100, 4, 300);
    audio_lane_fill(&lane, 1000); // nothing arrived: catch up with the clock
    audio_lane_fill(&lane, 900);  // already there: nothing
    put(100, 3, 1000);
    EXPECT_EQ(runs(), (runs_t{{0, 300}, {4, 100}, {0, 600}, {3, 100}}));
}

TEST_F(lane_fixture, FullRingKeepsTheNewest) {
    // The ring holds one second (44101 frames); two seconds arrive untaken.
    put(44100, 1, 0);
    put(44100, 2, 44100);
    EXPECT_EQ(lane.count, lane.capacity);
    EXPECT_EQ(runs(), (runs_t{{1, 1}, {2, 44100}}));
    // A gap of an hour costs no more than the ring and moves the timeline on.
    audio_lane_fill(&lane, int64_t{44100} * 3600);
    EXPECT_EQ(lane.placed, int64_t{44100} * 3600);
    EXPECT_EQ(lane.count, lane.capacity);
    EXPECT_EQ(runs(), (runs_t{{0, lane.capacity}}));
}

TEST(AudioLane, ResampledSourceKeepsPaceWithTheClock) {
    // A 48000 Hz loopback that delivers nothing for a second: the fill gives
    // a second at the track's rate (less the resampler's one input frame).
    audio_lane lane;
    ASSERT_TRUE(audio_lane_init(&lane, {pcm_f32, 2, 48000, 0}, 2000, 30));
    audio_lane_fill(&lane, 48000);
    EXPECT_EQ(lane.placed, 48000);
    EXPECT_GE(lane.count, 44099u);
    EXPECT_LE(lane.count, 44100u);
}

TEST(AudioLane, LanesAreTakenMixed) {
    audio_lane a, b;
    ASSERT_TRUE(audio_lane_init(&a, kTrackFormat, 100, 10));
    ASSERT_TRUE(audio_lane_init(&b, kTrackFormat, 100, 10));
    const std::vector<int16_t> loud(200 * 2, 30000), soft(150 * 2, 1000);
    audio_lane_put(&a, loud.data(), 200, 0);
    audio_lane_put(&b, soft.data(), 150, 0);
    audio_lane *both[] = {&a, &b};

    // Only what both hold, mixed and held within range.
    std::vector<int16_t> out(400 * 2, -1);
    EXPECT_EQ(audio_lanes_take(both, 2, out.data(), 100), 100u);
    EXPECT_EQ(out[0], 31000);
    EXPECT_EQ(audio_lanes_take(both, 2, out.data(), 400), 50u);
    EXPECT_EQ(out[99], 31000);
    EXPECT_EQ(audio_lanes_take(both, 2, out.data(), 400), 0u);

    // A lane whose source has gone away is left out; the other goes on.
    b.live = false;
    EXPECT_EQ(audio_lanes_take(both, 2, out.data(), 400), 50u);
    EXPECT_EQ(out[0], 30000);
    audio_lane_put(&a, loud.data(), 200, -1);
    a.live = false;
    EXPECT_EQ(audio_lanes_take(both, 2, out.data(), 400), 0u);
}

TEST(AudioLane, RefusesAFormatItCannotConvert) {
    audio_lane lane;
    EXPECT_FALSE(audio_lane_init(&lane, {pcm_s16, 0, 44100, 0}, 1000, 10));
    EXPECT_FALSE(audio_lane_init(&lane, kTrackFormat, 0, 10));
    EXPECT_TRUE(lane.ring.empty());
}

} // namespace
