// Big-endian fields and box headers of ISO base media files, read from and
// written to memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint32_t fourcc(const char (&s)[5]) {
    return (uint32_t{static_cast<uint8_t>(s[0])} << 24) | (uint32_t{static_cast<uint8_t>(s[1])} << 16) |
           (uint32_t{static_cast<uint8_t>(s[2])} << 8) | uint32_t{static_cast<uint8_t>(s[3])};
}

inline uint32_t load_u32(const uint8_t *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline uint64_t load_u64(const uint8_t *p) {
    return (uint64_t{load_u32(p)} << 32) | load_u32(p + 4);
}
inline void store_u32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline void store_u64(uint8_t *p, uint64_t v) {
    store_u32(p, static_cast<uint32_t>(v >> 32));
    store_u32(p + 4, static_cast<uint32_t>(v));
}

// One box inside a buffer: [begin, end) is the whole box, body starts after
// the header (8 bytes, or 16 with a 64-bit size).
struct box_span {
    uint32_t type;
    std::size_t begin;
    std::size_t body;
    std::size_t end;
};

// The box at `at` within [0, limit) of `data`; false when its header or its
// declared size does not fit (a size of 0 means "to the limit").
bool read_box(const uint8_t *data, std::size_t at, std::size_t limit, box_span *out);

// The first child of type `type` among the boxes in [begin, end).
bool find_child(const uint8_t *data, std::size_t begin, std::size_t end, uint32_t type, box_span *out);

// Appends boxes to a growing buffer; open/close write the size afterwards.
struct box_writer {
    std::vector<uint8_t> bytes;
    bool failed = false; // out of memory or a box too large for 32 bits

    std::size_t open(uint32_t type);
    std::size_t open_full(uint32_t type, uint8_t version, uint32_t flags);
    void close(std::size_t start);
    void u8(uint8_t v);
    void u32(uint32_t v);
    void u64(uint64_t v);
    void raw(const uint8_t *data, std::size_t size);
};
