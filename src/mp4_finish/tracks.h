// What the fragments of a fragmented MP4 say about each track: read from
// the initial moov (track ids, time scales, defaults of mvex/trex) and from
// every moof (the samples with their sizes, durations, flags and file
// positions).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Samples stored back to back from `offset`: one trun's run.
struct mp4_chunk {
    uint64_t offset;
    uint32_t samples;
};

struct mp4_track {
    uint32_t id = 0;
    uint32_t timescale = 0; // the media's (mdhd)
    bool video = false;     // handler 'vide'
    // trex defaults
    uint32_t default_duration = 0;
    uint32_t default_size = 0;
    uint32_t default_flags = 0;

    bool started = false;        // a fragment has given this track samples
    uint64_t first_decode = 0;   // decode time of the first sample (tfdt)
    uint64_t media_duration = 0; // sum of the sample durations
    uint64_t presented_end = 0;  // latest decode time + offset + duration
    std::vector<uint32_t> sizes;
    std::vector<uint32_t> durations;
    std::vector<int32_t> offsets; // composition offsets
    std::vector<uint32_t> sync;   // 1-based numbers of sync samples
    std::vector<mp4_chunk> chunks;
    bool any_offset = false; // a composition offset other than 0
    bool negative_offset = false;
};

struct mp4_movie {
    uint32_t timescale = 0;  // mvhd
    bool fragmented = false; // the moov carries mvex
    std::vector<mp4_track> tracks;
};

// Reads the track list of the initial moov (its body bytes). False when
// it is not one this module understands.
bool read_movie(const uint8_t *moov, std::size_t size, mp4_movie *movie);

// Adds the samples of one moof (all of its bytes, starting at file offset
// `moof_offset`) to the tracks. `data_end` is where the file's complete
// boxes end: a fragment whose data passes it is incomplete. Returns 1 when
// the samples were added, 0 (tracks unchanged) for an incomplete or
// unreadable fragment, -1 when memory ran out (tracks partly changed).
int read_fragment(const uint8_t *moof, std::size_t size, uint64_t moof_offset, uint64_t data_end,
                  mp4_movie *movie);
