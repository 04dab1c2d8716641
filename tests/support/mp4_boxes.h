// A small reader of MP4 box trees for tests, independent of the library's
// own box code: lists every box (type, offset, size, depth) of a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct listed_box {
    std::string type;
    uint64_t offset;
    uint64_t size;
    int depth;
};

// Every box of the file, parents before children, descending into the
// containers moov, trak, mdia, minf, stbl, edts, dinf, mvex, moof, traf.
// Stops at the first box that does not fit.
std::vector<listed_box> list_mp4_boxes(const std::vector<uint8_t> &file);

// The types of the top-level boxes only, e.g. "ftyp free mdat moov".
std::string top_level_types(const std::vector<uint8_t> &file);

// True when any box of `boxes` has type `type`.
bool has_box(const std::vector<listed_box> &boxes, const std::string &type);
