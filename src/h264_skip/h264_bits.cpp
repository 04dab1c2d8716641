// Annex B framing, emulation prevention and Exp-Golomb codes.
#include "h264_skip/h264_bits.h"

bool h264_next_nal(const uint8_t *stream, std::size_t size, std::size_t *offset, h264_nal *nal) {
    std::size_t i = *offset;
    // The start code: two or more zero bytes, then a one.
    for (;;) {
        if (i + 3 > size) {
            *offset = size;
            return false;
        }
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            break;
        }
        ++i;
    }
    const std::size_t begin = i + 3;
    std::size_t end = begin;
    while (end + 3 <= size && !(stream[end] == 0 && stream[end + 1] == 0 && stream[end + 2] <= 1)) {
        ++end;
    }
    if (end + 3 > size) {
        end = size;
    }
    // Zero bytes before the next start code are trailing padding, not payload.
    std::size_t last = end;
    while (last > begin && stream[last - 1] == 0) {
        --last;
    }
    nal->data = stream + begin;
    nal->size = last - begin;
    *offset = end;
    return nal->size > 0;
}

std::size_t h264_unescape(const uint8_t *data, std::size_t size, uint8_t *out) {
    std::size_t n = 0;
    int zeros = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const uint8_t byte = data[i];
        if (zeros >= 2 && byte == 3) {
            zeros = 0;
            continue;
        }
        zeros = byte == 0 ? zeros + 1 : 0;
        out[n++] = byte;
    }
    return n;
}

std::size_t h264_escape(const uint8_t *rbsp, std::size_t size, uint8_t *out) {
    std::size_t n = 0;
    int zeros = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const uint8_t byte = rbsp[i];
        if (zeros >= 2 && byte <= 3) {
            out[n++] = 3;
            zeros = 0;
        }
        zeros = byte == 0 ? zeros + 1 : 0;
        out[n++] = byte;
    }
    // A payload may not end in a zero byte; ours end in trailing bits.
    return n;
}

uint32_t h264_read_bits(h264_bit_reader *r, int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
        uint32_t bit = 0;
        if (r->bit / 8 < r->size) {
            bit = (r->data[r->bit / 8] >> (7 - r->bit % 8)) & 1u;
        } else {
            r->overrun = true;
        }
        value = value << 1 | bit;
        ++r->bit;
    }
    return value;
}

uint32_t h264_read_ue(h264_bit_reader *r) {
    int leading = 0;
    while (h264_read_bits(r, 1) == 0) {
        if (r->overrun || ++leading > 31) {
            r->overrun = true;
            return 0;
        }
    }
    if (leading == 0) {
        return 0;
    }
    return ((1u << leading) - 1) + h264_read_bits(r, leading);
}

int32_t h264_read_se(h264_bit_reader *r) {
    const uint32_t code = h264_read_ue(r);
    const auto magnitude = static_cast<int32_t>((code + 1) / 2);
    return (code & 1u) != 0 ? magnitude : -magnitude;
}

void h264_write_bits(h264_bit_writer *w, uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
        if (w->bit / 8 >= w->cap) {
            w->overrun = true;
            return;
        }
        uint8_t &byte = w->data[w->bit / 8];
        const auto mask = static_cast<uint8_t>(0x80u >> (w->bit % 8));
        byte =
            ((value >> i) & 1u) != 0 ? static_cast<uint8_t>(byte | mask) : static_cast<uint8_t>(byte & ~mask);
        ++w->bit;
    }
}

void h264_write_ue(h264_bit_writer *w, uint32_t value) {
    const uint64_t code = uint64_t{value} + 1;
    int length = 0;
    while ((code >> (length + 1)) != 0) {
        ++length;
    }
    h264_write_bits(w, 0, length);
    h264_write_bits(w, static_cast<uint32_t>(code >> 32), length >= 32 ? 1 : 0);
    h264_write_bits(w, static_cast<uint32_t>(code), length + 1 > 32 ? 32 : length + 1);
}

void h264_write_se(h264_bit_writer *w, int32_t value) {
    const uint32_t code =
        value > 0 ? 2 * static_cast<uint32_t>(value) - 1 : 2 * static_cast<uint32_t>(-value);
    h264_write_ue(w, code);
}

std::size_t h264_write_trailing(h264_bit_writer *w) {
    h264_write_bits(w, 1, 1);
    while (w->bit % 8 != 0) {
        h264_write_bits(w, 0, 1);
    }
    return w->bit / 8;
}

void h264_put_bits_at(uint8_t *data, std::size_t at, uint32_t value, int count) {
    h264_bit_writer w{data, (at + static_cast<std::size_t>(count) + 7) / 8, at, false};
    h264_write_bits(&w, value, count);
}
