#include "mp4_finish/boxes.h"

#include <new>

bool read_box(const uint8_t *data, std::size_t at, std::size_t limit, box_span *out) {
    if (at > limit || limit - at < 8) {
        return false;
    }
    uint64_t size = load_u32(data + at);
    std::size_t header = 8;
    if (size == 1) {
        if (limit - at < 16) {
            return false;
        }
        size = load_u64(data + at + 8);
        header = 16;
    } else if (size == 0) {
        size = limit - at;
    }
    if (size < header || size > limit - at) {
        return false;
    }
    out->type = load_u32(data + at + 4);
    out->begin = at;
    out->body = at + header;
    out->end = at + static_cast<std::size_t>(size);
    return true;
}

bool find_child(const uint8_t *data, std::size_t begin, std::size_t end, uint32_t type, box_span *out) {
    box_span box{};
    for (std::size_t at = begin; read_box(data, at, end, &box); at = box.end) {
        if (box.type == type) {
            *out = box;
            return true;
        }
    }
    return false;
}

std::size_t box_writer::open(uint32_t type) {
    const std::size_t start = bytes.size();
    u32(0);
    u32(type);
    return start;
}

std::size_t box_writer::open_full(uint32_t type, uint8_t version, uint32_t flags) {
    const std::size_t start = open(type);
    u32((uint32_t{version} << 24) | (flags & 0xFFFFFFu));
    return start;
}

void box_writer::close(std::size_t start) {
    if (failed) {
        return;
    }
    const std::size_t size = bytes.size() - start;
    if (size > UINT32_MAX) {
        failed = true;
        return;
    }
    store_u32(bytes.data() + start, static_cast<uint32_t>(size));
}

void box_writer::raw(const uint8_t *data, std::size_t size) {
    if (failed) {
        return;
    }
    try {
        bytes.insert(bytes.end(), data, data + size);
    } catch (const std::bad_alloc &) {
        failed = true;
    }
}

void box_writer::u8(uint8_t v) {
    raw(&v, 1);
}

void box_writer::u32(uint32_t v) {
    uint8_t b[4];
    store_u32(b, v);
    raw(b, sizeof b);
}

void box_writer::u64(uint64_t v) {
    uint8_t b[8];
    store_u64(b, v);
    raw(b, sizeof b);
}
