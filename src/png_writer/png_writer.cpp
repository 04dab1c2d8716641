#include "png_writer/png_writer.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t png_sig[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

// A stored deflate block carries at most this many bytes.
constexpr uint64_t kBlockMax = 65535;
// The largest chunk length a PNG may declare.
constexpr uint64_t kMaxChunkLength = 0x7FFFFFFF;

// CRC-32 with the reflected polynomial 0xEDB88320, eight bytes a step
// (slicing-by-8). Row 0 is the classic byte table; row s holds the CRC of a
// byte followed by s zero bytes. Built at compile time, so it is the same for
// every call on every thread.
struct crc_tables {
    uint32_t row[8][256];
};

constexpr crc_tables make_crc_tables() {
    crc_tables t{};
    for (uint32_t m = 0; m < 256; ++m) {
        uint32_t value = m;
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1u) != 0 ? (value >> 1) ^ 0xEDB88320u : value >> 1;
        }
        t.row[0][m] = value;
    }
    for (int s = 1; s < 8; ++s) {
        for (uint32_t m = 0; m < 256; ++m) {
            const uint32_t prev = t.row[s - 1][m];
            t.row[s][m] = (prev >> 8) ^ t.row[0][prev & 0xFFu];
        }
    }
    return t;
}

constexpr crc_tables crc32_tab = make_crc_tables();

inline uint32_t load_le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Advances the CRC register (not yet complemented) over `size` bytes.
uint32_t crc_update(uint32_t crc, const uint8_t *data, std::size_t size) {
    const auto &t = crc32_tab.row;
    while (size >= 8) {
        const uint32_t lo = load_le32(data) ^ crc;
        const uint32_t hi = load_le32(data + 4);
        crc = t[7][lo & 0xFFu] ^ t[6][(lo >> 8) & 0xFFu] ^ t[5][(lo >> 16) & 0xFFu] ^ t[4][lo >> 24] ^
              t[3][hi & 0xFFu] ^ t[2][(hi >> 8) & 0xFFu] ^ t[1][(hi >> 16) & 0xFFu] ^ t[0][hi >> 24];
        data += 8;
        size -= 8;
    }
    while (size > 0) {
        crc = t[0][(crc ^ *data) & 0xFFu] ^ (crc >> 8);
        ++data;
        --size;
    }
    return crc;
}

uint32_t crc32_of(const uint8_t *data, std::size_t size) {
    return ~crc_update(0xFFFFFFFFu, data, size);
}

// Adler-32 (RFC 1950) sums, reduced modulo 65521 only every 5552 bytes: the
// largest run after which b cannot yet overflow 32 bits.
constexpr uint32_t kAdlerMod = 65521;
constexpr std::size_t kAdlerRun = 5552;

struct adler_sums {
    uint32_t a;
    uint32_t b;
};

void adler_update(adler_sums *sums, const uint8_t *data, std::size_t size) {
    uint32_t a = sums->a;
    uint32_t b = sums->b;
    while (size > 0) {
        std::size_t run = size < kAdlerRun ? size : kAdlerRun;
        size -= run;
        while (run >= 8) {
            a += data[0];
            b += a;
            a += data[1];
            b += a;
            a += data[2];
            b += a;
            a += data[3];
            b += a;
            a += data[4];
            b += a;
            a += data[5];
            b += a;
            a += data[6];
            b += a;
            a += data[7];
            b += a;
            data += 8;
            run -= 8;
        }
        while (run > 0) {
            a += *data++;
            b += a;
            --run;
        }
        a %= kAdlerMod;
        b %= kAdlerMod;
    }
    sums->a = a;
    sums->b = b;
}

inline void put_be32(uint8_t *out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

// The input image and how its rows become the filtered image: per row one
// filter byte 0, then the pixels in red, green, blue, alpha order.
struct source_image {
    const uint8_t *pixels;
    std::size_t stride;    // bytes from one input row to the next
    std::size_t row_bytes; // filtered bytes per row: 1 + width * 4
    bool swap_red_blue;
};

// Byte `j` (at least 1) of a filtered row, taken from the input row.
inline uint8_t filtered_byte(const uint8_t *row, std::size_t j, bool swap_red_blue) {
    const std::size_t at = j - 1;
    const std::size_t channel = at & 3u;
    if (swap_red_blue && channel != 3) {
        return row[at - channel + 2 - channel];
    }
    return row[at];
}

// Writes bytes [from, to) of one filtered row into `out`. A stored block may
// end anywhere in a row, even inside a pixel, so both ends may be partial.
void put_row_bytes(const uint8_t *row, std::size_t from, std::size_t to, bool swap_red_blue, uint8_t *out) {
    std::size_t j = from;
    if (j == 0 && j < to) {
        *out++ = 0; // filter type None
        j = 1;
    }
    while (j < to && ((j - 1) & 3u) != 0) {
        *out++ = filtered_byte(row, j++, swap_red_blue);
    }
    const std::size_t whole = (to - j) / 4;
    const uint8_t *in = row + (j - 1);
    if (swap_red_blue) {
        for (std::size_t p = 0; p < whole; ++p) {
            uint32_t v;
            std::memcpy(&v, in + p * 4, 4);
            v = (v & 0xFF00FF00u) | ((v >> 16) & 0xFFu) | ((v & 0xFFu) << 16);
            std::memcpy(out + p * 4, &v, 4);
        }
    } else {
        std::memcpy(out, in, whole * 4);
    }
    out += whole * 4;
    j += whole * 4;
    while (j < to) {
        *out++ = filtered_byte(row, j++, swap_red_blue);
    }
}

// Writes `count` bytes of the filtered image, starting at byte `from`, into
// `out`, straight from the input rows.
void put_filtered(const source_image &image, uint64_t from, std::size_t count, uint8_t *out) {
    std::size_t row = static_cast<std::size_t>(from / image.row_bytes);
    std::size_t j = static_cast<std::size_t>(from % image.row_bytes);
    while (count > 0) {
        const std::size_t left = image.row_bytes - j;
        const std::size_t take = left < count ? left : count;
        put_row_bytes(image.pixels + row * image.stride, j, j + take, image.swap_red_blue, out);
        out += take;
        count -= take;
        ++row;
        j = 0;
    }
}

// Fills the IDAT chunk buffer (type and data: n + 5 * blocks + 10 bytes)
// with the zlib stream of stored blocks and returns the chunk's CRC. Each block is
// filled straight from the input and summed while it is still in the cache.
uint32_t fill_idat(const source_image &image, uint64_t n, uint8_t *chunk) {
    uint8_t *out = chunk;
    std::memcpy(out, "IDAT", 4);
    out[4] = 0x78; // deflate, 32 KiB window
    out[5] = 0x01; // no dictionary, level 0; CMF * 256 + FLG is a multiple of 31
    uint32_t crc = crc_update(0xFFFFFFFFu, out, 6);
    out += 6;
    adler_sums adler{1, 0};
    for (uint64_t done = 0; done < n;) {
        const uint64_t rest = n - done;
        const auto len = static_cast<std::size_t>(rest < kBlockMax ? rest : kBlockMax);
        const bool last = done + len == n;
        out[0] = last ? 1 : 0;
        out[1] = static_cast<uint8_t>(len);
        out[2] = static_cast<uint8_t>(len >> 8);
        out[3] = static_cast<uint8_t>(~len);
        out[4] = static_cast<uint8_t>(~len >> 8);
        put_filtered(image, done, len, out + 5);
        adler_update(&adler, out + 5, len);
        crc = crc_update(crc, out, len + 5);
        out += len + 5;
        done += len;
    }
    put_be32(out, adler.b << 16 | adler.a);
    return ~crc_update(crc, out, 4);
}

// fwrite that tells whether every byte was taken.
bool put(std::FILE *file, const void *data, std::size_t size) {
    return std::fwrite(data, 1, size, file) == size;
}

// Closes the file; a failed close turns any status into -3, since the data
// may not all have reached the file.
int32_t close_with(std::FILE *file, int32_t status) {
    const bool closed = std::fclose(file) == 0;
    return closed ? status : -3;
}

int32_t write_png_internal(const char *path, int32_t width, int32_t height, const uint8_t *pixels,
                           int32_t stride, bool swap_red_blue) {
    if (path == nullptr || width <= 0 || height <= 0 || pixels == nullptr) {
        return -1;
    }
    const auto input_row = static_cast<std::size_t>(width) * 4;
    const source_image image{pixels, stride > 0 ? static_cast<std::size_t>(stride) : input_row, input_row + 1,
                             swap_red_blue};
    const uint64_t n = static_cast<uint64_t>(height) * (static_cast<uint64_t>(width) * 4 + 1);
    const uint64_t blocks = (n + kBlockMax - 1) / kBlockMax;
    const uint64_t idat_length = n + 5 * blocks + 6;

    std::FILE *file = std::fopen(path, "wb");
    if (file == nullptr) {
        return -2;
    }
    if (!put(file, png_sig, sizeof png_sig)) {
        return close_with(file, -3);
    }

    uint8_t ihdr[17] = {'I', 'H', 'D', 'R'};
    put_be32(ihdr + 4, static_cast<uint32_t>(width));
    put_be32(ihdr + 8, static_cast<uint32_t>(height));
    ihdr[12] = 8; // bit depth
    ihdr[13] = 6; // truecolour with alpha
    ihdr[14] = 0; // compression method
    ihdr[15] = 0; // filter method
    ihdr[16] = 0; // no interlace
    uint8_t length[4];
    uint8_t crc[4];
    put_be32(length, 13);
    put_be32(crc, crc32_of(ihdr, sizeof ihdr));
    if (!put(file, length, 4) || !put(file, ihdr, sizeof ihdr) || !put(file, crc, 4)) {
        return close_with(file, -3);
    }

    // The whole zlib stream must fit in one chunk; a larger image cannot be
    // written as a valid file of this shape.
    if (idat_length > kMaxChunkLength) {
        return close_with(file, -5);
    }
    const auto chunk_size = static_cast<std::size_t>(idat_length + 4);
    auto *chunk = static_cast<uint8_t *>(std::malloc(chunk_size));
    if (chunk == nullptr) {
        return close_with(file, -4);
    }
    put_be32(length, static_cast<uint32_t>(idat_length));
    put_be32(crc, fill_idat(image, n, chunk));
    const bool idat_written = put(file, length, 4) && put(file, chunk, chunk_size) && put(file, crc, 4);
    std::free(chunk);
    if (!idat_written) {
        return close_with(file, -3);
    }

    static constexpr uint8_t iend_length[4] = {0, 0, 0, 0};
    static constexpr uint8_t iend_type[4] = {'I', 'E', 'N', 'D'};
    static constexpr uint8_t iend_crc[4] = {0xAE, 0x42, 0x60, 0x82};
    if (!put(file, iend_length, 4) || !put(file, iend_type, 4) || !put(file, iend_crc, 4)) {
        return close_with(file, -3);
    }
    return close_with(file, 0);
}

} // namespace

int32_t write_png_bgra(const char *path, int32_t width, int32_t height, const uint8_t *pixels,
                       int32_t stride) {
    return write_png_internal(path, width, height, pixels, stride, true);
}

int32_t write_png_rgba(const char *path, int32_t width, int32_t height, const uint8_t *pixels,
                       int32_t stride) {
    return write_png_internal(path, width, height, pixels, stride, false);
}
