// Writes the complete moov of a fragmented MP4 whose fragments have been
// read: the initial moov's boxes are kept (track headers, sample
// descriptions, user data), mvex is left out, the durations are set, and
// every track gets sample tables that point at the fragments' data where
// it lies.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mp4_finish/boxes.h"
#include "mp4_finish/tracks.h"

// `moov` is the body of the initial moov (`size` bytes). False when memory
// ran out or a box would pass 4 GiB.
bool write_index(const uint8_t *moov, std::size_t size, const mp4_movie &movie, box_writer *out);
