// Turns a fragmented MP4 (an initial moov without samples, then moof + mdat
// fragments) into a regular MP4 in place, without moving any media data:
// the fragment headers are read back, a complete moov is appended after
// the last fragment, and the initial moov and every moof become free
// boxes. A crash between any two steps leaves a file that plays:
//
//   1. an incomplete fragment at the end (a cut write) is truncated away;
//   2. the complete moov is appended and synced: readers still take the
//      first moov with its fragments and skip the second moov;
//   3. the first moov's header becomes one free box that spans everything
//      up to the appended moov (one small write), and is synced: readers
//      now see the appended moov only. (Freeing the first moov alone would
//      leave fragments before any moov, which readers refuse.)
//   4. every moof inside that span becomes free, and is synced;
//   5. the spanning free box shrinks back to the first moov's own size.
//
// When the appended moov cannot be written (a full disk), the file is left
// fragmented, which plays just as well. Free of any media library: this
// reads and writes boxes only.
#pragma once

#include <cstdint>

struct mp4_finish_report {
    int64_t video_samples; // samples of the first video track that the file holds
    int64_t cut_bytes;     // bytes of an incomplete fragment cut off the end
    bool regular;          // the file now has one complete moov and no fragments
};

// 0: the file is a regular MP4 now. 1: it still plays as it is, fragmented,
// but could not be made regular (no room for the complete moov, no memory
// for it, or a later write failed). Negative, file untouched: -1 the file
// cannot be opened, -2 it is not a fragmented MP4 this module reads, -3 a
// read failed, -4 the incomplete end could not be cut off, -5 no memory
// for the sample tables. `report` is filled whenever the result is 0 or 1.
int mp4_finish(const char *path, mp4_finish_report *report);

#ifdef KSR_MP4_FINISH_STEP_HOOK
// Test builds only: called after each step (1 = cut or nothing to cut,
// 2 = moov appended, 3 = spanning free box, 4 + n = moof n freed, then
// once more when the span has shrunk), so a test can stop the process there.
extern void (*mp4_finish_step_hook)(int step);
#endif
