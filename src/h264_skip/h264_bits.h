// Bit-level reading and writing of H.264 NAL units: Annex B start codes,
// emulation prevention bytes, and the Exp-Golomb codes of the headers.
#pragma once

#include <cstddef>
#include <cstdint>

// One NAL unit inside an Annex B byte stream: its bytes after the start code
// (header byte first), still escaped.
struct h264_nal {
    const uint8_t *data;
    std::size_t size;
};

// Finds the next NAL unit at or after `*offset` and moves `*offset` past it.
// False when there is none.
bool h264_next_nal(const uint8_t *stream, std::size_t size, std::size_t *offset, h264_nal *nal);

// Removes emulation prevention bytes: `out` (at least `size` bytes) gets the
// raw byte sequence payload. Returns its length.
std::size_t h264_unescape(const uint8_t *data, std::size_t size, uint8_t *out);

// Inserts emulation prevention bytes: `out` needs `size * 3 / 2 + 2` bytes.
// Returns the escaped length.
std::size_t h264_escape(const uint8_t *rbsp, std::size_t size, uint8_t *out);

// Reads bits from a raw byte sequence payload. Reading past the end yields
// zeros and sets `overrun`.
struct h264_bit_reader {
    const uint8_t *data;
    std::size_t size;
    std::size_t bit;
    bool overrun;
};

uint32_t h264_read_bits(h264_bit_reader *r, int count);
uint32_t h264_read_ue(h264_bit_reader *r);
int32_t h264_read_se(h264_bit_reader *r);

// Writes bits into a caller's buffer. Writing past its end sets `overrun`.
struct h264_bit_writer {
    uint8_t *data;
    std::size_t cap;
    std::size_t bit;
    bool overrun;
};

void h264_write_bits(h264_bit_writer *w, uint32_t value, int count);
void h264_write_ue(h264_bit_writer *w, uint32_t value);
void h264_write_se(h264_bit_writer *w, int32_t value);
// rbsp_trailing_bits: a one, then zeros up to the byte boundary. Returns the
// bytes written so far.
std::size_t h264_write_trailing(h264_bit_writer *w);
// Overwrites `count` bits at bit position `at` of a raw payload.
void h264_put_bits_at(uint8_t *data, std::size_t at, uint32_t value, int count);
