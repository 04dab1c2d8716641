#include "support/mp4_boxes.h"

#include <set>

namespace {

uint64_t be(const std::vector<uint8_t> &f, uint64_t at, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) {
        v = (v << 8) | f[at + static_cast<uint64_t>(i)];
    }
    return v;
}

void walk(const std::vector<uint8_t> &f, uint64_t begin, uint64_t end, int depth,
          std::vector<listed_box> *out) {
    static const std::set<std::string> containers = {"moov", "trak", "mdia", "minf", "stbl",
                                                     "edts", "dinf", "mvex", "moof", "traf"};
    uint64_t at = begin;
    while (end - at >= 8) {
        uint64_t size = be(f, at, 4);
        uint64_t header = 8;
        if (size == 1 && end - at >= 16) {
            size = be(f, at + 8, 8);
            header = 16;
        } else if (size == 0) {
            size = end - at;
        }
        if (size < header || size > end - at) {
            return;
        }
        const std::string type(reinterpret_cast<const char *>(f.data() + at + 4), 4);
        out->push_back(listed_box{type, at, size, depth});
        if (containers.count(type) != 0) {
            walk(f, at + header, at + size, depth + 1, out);
        }
        at += size;
    }
}

} // namespace

std::vector<listed_box> list_mp4_boxes(const std::vector<uint8_t> &file) {
    std::vector<listed_box> boxes;
    walk(file, 0, file.size(), 0, &boxes);
    return boxes;
}

std::string top_level_types(const std::vector<uint8_t> &file) {
    std::string types;
    for (const listed_box &b : list_mp4_boxes(file)) {
        if (b.depth == 0) {
            types += (types.empty() ? "" : " ") + b.type;
        }
    }
    return types;
}

bool has_box(const std::vector<listed_box> &boxes, const std::string &type) {
    for (const listed_box &b : boxes) {
        if (b.type == type) {
            return true;
        }
    }
    return false;
}
