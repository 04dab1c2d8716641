// One captured source on a shared timeline. A capture places each packet a
// device hands over where the device says it was recorded (in device frames
// since the capture started), converts it to the track's format and keeps
// it until it is taken. A packet that comes after a gap (a loopback source
// that delivers nothing while nothing plays, a device that lost data) is
// preceded by silence for the gap; one that comes early (jitter of the
// device's time stamps, a burst) is kept whole, so that no sound is lost;
// small lateness is let through as it is. While a source delivers
// nothing, the capture fills it with silence up to a point behind the
// present, so that it keeps pace with the clock. Taking sound from several
// lanes mixes them frame for frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "screenrecorder/audio_convert.h"

struct audio_lane {
    audio_converter conv;
    int64_t placed;    // device frames on the timeline so far, sound and silence
    int64_t tolerance; // device frames a packet may sit off its place before the lane moves
    bool live;         // false once the source has gone away: the lane is left out
    // Converted frames (2 samples each) waiting to be taken: a ring of
    // `capacity` frames; when it is full the oldest give way.
    std::vector<int16_t> ring;
    std::size_t capacity;
    std::size_t head;
    std::size_t count;
    std::vector<int16_t> scratch; // one chunk of converted frames
};

// Prepares a lane that holds up to `hold_ms` of converted sound and lets
// packets sit up to `tolerance_ms` off their place. False (and nothing
// allocated) when the format is not convertible.
bool audio_lane_init(audio_lane *lane, const audio_source_format &source, int32_t hold_ms,
                     int32_t tolerance_ms);

// Places `frames` device frames at `data` (null: silence) whose first frame
// was recorded at device frame `at` of the timeline; `at` below 0 when the
// device gave no usable time: the packet follows what is there.
void audio_lane_put(audio_lane *lane, const void *data, std::size_t frames, int64_t at);

// Adds silence up to device frame `until` when the lane has not reached it.
void audio_lane_fill(audio_lane *lane, int64_t until);

// Takes up to `max_frames` converted frames that every live lane of `lanes`
// holds, mixed, into `dst`; returns how many. 0 when no lane is live.
std::size_t audio_lanes_take(audio_lane *const *lanes, std::size_t lane_count, int16_t *dst,
                             std::size_t max_frames);
