#include "png_writer/png_writer.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define KSR_PNG_X86 1
#endif

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
uint32_t crc_update_table(uint32_t crc, const uint8_t *data, std::size_t size) {
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

#if KSR_PNG_X86
// The same CRC by folding 64 bytes a step with carry-less multiplication:
// the constants are x^k mod P for the reflected polynomial (fold distances of
// 512 + 64, 512, 128 + 64, 128 and 64 bits), then a Barrett reduction with
// P and floor(x^64 / P). Needs at least 64 bytes; the tail goes through the
// table.
inline __m128i load128(const uint8_t *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

// Folds the 128 bits of `x` forward over the distance that `k` stands for and
// adds the next 128 bits of data.
__attribute__((target("pclmul,sse2"))) inline __m128i clmul_fold(__m128i x, __m128i k, __m128i next) {
    const __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    const __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

__attribute__((target("pclmul,sse2"))) uint32_t crc_update_clmul(uint32_t crc, const uint8_t *data,
                                                                 std::size_t size) {
    const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i poly_mu = _mm_set_epi64x(0x1f7011641, 0x1db710641);
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);

    __m128i x0 = _mm_xor_si128(load128(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x1 = load128(data + 16);
    __m128i x2 = load128(data + 32);
    __m128i x3 = load128(data + 48);
    data += 64;
    size -= 64;
    while (size >= 64) {
        x0 = clmul_fold(x0, k1k2, load128(data));
        x1 = clmul_fold(x1, k1k2, load128(data + 16));
        x2 = clmul_fold(x2, k1k2, load128(data + 32));
        x3 = clmul_fold(x3, k1k2, load128(data + 48));
        data += 64;
        size -= 64;
    }
    __m128i x = clmul_fold(x0, k3k4, x1);
    x = clmul_fold(x, k3k4, x2);
    x = clmul_fold(x, k3k4, x3);
    while (size >= 16) {
        x = clmul_fold(x, k3k4, load128(data));
        data += 16;
        size -= 16;
    }
    // 128 bits to 64, 64 to 32, then Barrett.
    x = _mm_xor_si128(_mm_clmulepi64_si128(x, k3k4, 0x10), _mm_srli_si128(x, 8));
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, mask32), k5, 0x00), _mm_srli_si128(x, 4));
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, mask32), poly_mu, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), poly_mu, 0x00);
    x = _mm_xor_si128(x, t);
    crc = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x, 4)));
    return crc_update_table(crc, data, size);
}

bool cpu_has_clmul() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") != 0;
}
#endif

uint32_t crc_update(uint32_t crc, const uint8_t *data, std::size_t size) {
#if KSR_PNG_X86
    static const bool clmul = cpu_has_clmul();
    if (clmul && size >= 64) {
        return crc_update_clmul(crc, data, size);
    }
#endif
    return crc_update_table(crc, data, size);
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

#if KSR_PNG_X86
// Vector steps over `steps` x 16 bytes: a gains the bytes' sum, b gains 16 * a
// plus the bytes weighted 16 down to 1. The per-step sums stay in vector lanes
// and are combined in 64 bits at the end, reduced modulo 65521.
void adler_steps_sse2(uint32_t *a, uint32_t *b, const uint8_t *data, std::size_t steps) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i weights_lo = _mm_set_epi16(9, 10, 11, 12, 13, 14, 15, 16);
    const __m128i weights_hi = _mm_set_epi16(1, 2, 3, 4, 5, 6, 7, 8);
    __m128i sum = zero;      // byte sums of the steps so far
    __m128i prefix = zero;   // sum over steps of the byte sums before each
    __m128i weighted = zero; // weighted sums
    for (std::size_t i = 0; i < steps; ++i) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + i * 16));
        prefix = _mm_add_epi32(prefix, sum);
        sum = _mm_add_epi32(sum, _mm_sad_epu8(bytes, zero));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(bytes, zero), weights_lo));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(bytes, zero), weights_hi));
    }
    alignas(16) uint32_t lanes[3][4];
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes[0]), sum);
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes[1]), prefix);
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes[2]), weighted);
    const uint64_t byte_sum = uint64_t{lanes[0][0]} + lanes[0][2];
    const uint64_t prefix_sum = uint64_t{lanes[1][0]} + lanes[1][2];
    const uint64_t weighted_sum = uint64_t{lanes[2][0]} + lanes[2][1] + lanes[2][2] + lanes[2][3];
    const uint64_t b64 = *b + 16 * steps * uint64_t{*a} + 16 * prefix_sum + weighted_sum;
    *a = static_cast<uint32_t>((*a + byte_sum) % kAdlerMod);
    *b = static_cast<uint32_t>(b64 % kAdlerMod);
}

// The same over steps of 32 bytes, weighted 32 down to 1.
__attribute__((target("avx2"))) void adler_steps_avx2(uint32_t *a, uint32_t *b, const uint8_t *data,
                                                      std::size_t steps) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i weights = _mm256_set_epi8(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
                                            20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32);
    const __m256i ones = _mm256_set1_epi16(1);
    __m256i sum = zero;
    __m256i prefix = zero;
    __m256i weighted = zero;
    for (std::size_t i = 0; i < steps; ++i) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + i * 32));
        prefix = _mm256_add_epi32(prefix, sum);
        sum = _mm256_add_epi32(sum, _mm256_sad_epu8(bytes, zero));
        weighted = _mm256_add_epi32(weighted, _mm256_madd_epi16(_mm256_maddubs_epi16(bytes, weights), ones));
    }
    alignas(32) uint32_t lanes[3][8];
    _mm256_store_si256(reinterpret_cast<__m256i *>(lanes[0]), sum);
    _mm256_store_si256(reinterpret_cast<__m256i *>(lanes[1]), prefix);
    _mm256_store_si256(reinterpret_cast<__m256i *>(lanes[2]), weighted);
    uint64_t byte_sum = 0;
    uint64_t prefix_sum = 0;
    uint64_t weighted_sum = 0;
    for (int lane = 0; lane < 8; ++lane) {
        if (lane % 2 == 0) { // the byte sums are 64-bit lanes with empty upper halves
            byte_sum += lanes[0][lane];
            prefix_sum += lanes[1][lane];
        }
        weighted_sum += lanes[2][lane];
    }
    const uint64_t b64 = *b + 32 * steps * uint64_t{*a} + 32 * prefix_sum + weighted_sum;
    *a = static_cast<uint32_t>((*a + byte_sum) % kAdlerMod);
    *b = static_cast<uint32_t>(b64 % kAdlerMod);
}

bool cpu_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}
#endif

void adler_update(adler_sums *sums, const uint8_t *data, std::size_t size) {
#if KSR_PNG_X86
    static const bool avx2 = cpu_has_avx2();
#endif
    uint32_t a = sums->a;
    uint32_t b = sums->b;
    while (size > 0) {
        std::size_t run = size < kAdlerRun ? size : kAdlerRun;
        size -= run;
#if KSR_PNG_X86
        if (avx2 && run >= 32) {
            const std::size_t steps = run / 32;
            adler_steps_avx2(&a, &b, data, steps);
            data += steps * 32;
            run -= steps * 32;
        }
        if (run >= 16) {
            const std::size_t steps = run / 16;
            adler_steps_sse2(&a, &b, data, steps);
            data += steps * 16;
            run -= steps * 16;
        }
#endif
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

// How the input's pixels become the filtered image's red, green, blue,
// alpha: as they are (RGBA), with bytes 0 and 2 exchanged (BGRA), or
// exchanged with the fourth byte replaced by 255 (BGRX: a fourth byte that
// means nothing, such as a screen grab's).
enum class pixel_order { rgba, bgra, bgrx };

// The input image and how its rows become the filtered image: per row one
// filter byte 0, then the pixels in red, green, blue, alpha order.
struct source_image {
    const uint8_t *pixels;
    std::size_t stride;    // bytes from one input row to the next
    std::size_t row_bytes; // filtered bytes per row: 1 + width * 4
    pixel_order order;
};

// Byte `j` (at least 1) of a filtered row, taken from the input row.
inline uint8_t filtered_byte(const uint8_t *row, std::size_t j, pixel_order order) {
    const std::size_t at = j - 1;
    const std::size_t channel = at & 3u;
    if (channel == 3) {
        return order == pixel_order::bgrx ? 0xFF : row[at];
    }
    if (order != pixel_order::rgba) {
        return row[at - channel + 2 - channel];
    }
    return row[at];
}

// Writes bytes [from, to) of one filtered row into `out`. A stored block may
// end anywhere in a row, even inside a pixel, so both ends may be partial.
void put_row_bytes(const uint8_t *row, std::size_t from, std::size_t to, pixel_order order, uint8_t *out) {
    std::size_t j = from;
    if (j == 0 && j < to) {
        *out++ = 0; // filter type None
        j = 1;
    }
    while (j < to && ((j - 1) & 3u) != 0) {
        *out++ = filtered_byte(row, j++, order);
    }
    const std::size_t whole = (to - j) / 4;
    const uint8_t *in = row + (j - 1);
    if (order != pixel_order::rgba) {
        // Green and alpha stay, red and blue change places; BGRX then sets
        // every alpha byte.
        const uint32_t opaque = order == pixel_order::bgrx ? 0xFF000000u : 0u;
        std::size_t p = 0;
#if KSR_PNG_X86
        const __m128i keep = _mm_set1_epi32(static_cast<int>(0xFF00FF00u));
        const __m128i low = _mm_set1_epi32(0xFF);
        const __m128i set = _mm_set1_epi32(static_cast<int>(opaque));
        for (; p + 4 <= whole; p += 4) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + p * 4));
            const __m128i r = _mm_or_si128(_mm_or_si128(_mm_and_si128(v, keep), set),
                                           _mm_or_si128(_mm_and_si128(_mm_srli_epi32(v, 16), low),
                                                        _mm_slli_epi32(_mm_and_si128(v, low), 16)));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + p * 4), r);
        }
#endif
        for (; p < whole; ++p) {
            uint32_t v;
            std::memcpy(&v, in + p * 4, 4);
            v = (v & 0xFF00FF00u) | opaque | ((v >> 16) & 0xFFu) | ((v & 0xFFu) << 16);
            std::memcpy(out + p * 4, &v, 4);
        }
    } else {
        std::memcpy(out, in, whole * 4);
    }
    out += whole * 4;
    j += whole * 4;
    while (j < to) {
        *out++ = filtered_byte(row, j++, order);
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
        put_row_bytes(image.pixels + row * image.stride, j, j + take, image.order, out);
        out += take;
        count -= take;
        ++row;
        j = 0;
    }
}

// Stored blocks held in the staging buffer before it is written: a quarter
// MiB, so the blocks are still in the cache when they are summed and
// written.
constexpr std::size_t kStageBlocks = 4;
constexpr std::size_t kBlockBytes = 5 + kBlockMax; // header and data of a full block
// IDAT length, type and zlib header in front; Adler-32, CRC and the IEND
// chunk behind.
constexpr std::size_t kStageHead = 10;
constexpr std::size_t kStageTail = 20;

// fwrite that tells whether every byte was taken.
bool put(std::FILE *file, const void *data, std::size_t size) {
    return std::fwrite(data, 1, size, file) == size;
}

// Writes the IDAT and IEND chunks. The zlib stream of stored blocks is made
// straight from the input rows into a staging buffer of at most
// kStageBlocks blocks, summed (Adler-32, CRC) while it is in the cache, and
// written whenever the buffer is full. Returns 0, -3 (a write failed) or -4
// (no memory for the staging buffer).
int32_t write_idat_iend(std::FILE *file, const source_image &image, uint64_t n, uint64_t idat_length) {
    const uint64_t stream = idat_length - 6; // the stored blocks
    const uint64_t most = kStageBlocks * kBlockBytes;
    const auto capacity = static_cast<std::size_t>((stream < most ? stream : most) + kStageHead + kStageTail);
    auto *stage = static_cast<uint8_t *>(std::malloc(capacity));
    if (stage == nullptr) {
        return -4;
    }
    put_be32(stage, static_cast<uint32_t>(idat_length));
    std::memcpy(stage + 4, "IDAT", 4);
    stage[8] = 0x78; // deflate, 32 KiB window
    stage[9] = 0x01; // no dictionary, level 0; CMF * 256 + FLG is a multiple of 31
    uint32_t crc = crc_update(0xFFFFFFFFu, stage + 4, 6);
    std::size_t used = kStageHead;
    adler_sums adler{1, 0};
    bool written = true;
    for (uint64_t done = 0; done < n && written;) {
        const uint64_t rest = n - done;
        const auto len = static_cast<std::size_t>(rest < kBlockMax ? rest : kBlockMax);
        if (used + 5 + len + kStageTail > capacity) {
            written = put(file, stage, used);
            used = 0;
        }
        uint8_t *out = stage + used;
        out[0] = done + len == n ? 1 : 0; // BFINAL on the last block, type 00 (stored)
        out[1] = static_cast<uint8_t>(len);
        out[2] = static_cast<uint8_t>(len >> 8);
        out[3] = static_cast<uint8_t>(~len);
        out[4] = static_cast<uint8_t>(~len >> 8);
        put_filtered(image, done, len, out + 5);
        adler_update(&adler, out + 5, len);
        crc = crc_update(crc, out, len + 5);
        used += 5 + len;
        done += len;
    }
    if (written) {
        static constexpr uint8_t iend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
        put_be32(stage + used, adler.b << 16 | adler.a);
        crc = crc_update(crc, stage + used, 4);
        put_be32(stage + used + 4, ~crc);
        std::memcpy(stage + used + 8, iend, sizeof iend);
        written = put(file, stage, used + kStageTail);
    }
    std::free(stage);
    return written ? 0 : -3;
}

// Closes the file; a failed close turns any status into -3, since the data
// may not all have reached the file.
int32_t close_with(std::FILE *file, int32_t status) {
    const bool closed = std::fclose(file) == 0;
    return closed ? status : -3;
}

// Idat bytes for width x height: the filtered image n in stored blocks of at
// most kBlockMax bytes, 5 bytes of header each, plus the zlib header (2) and
// Adler-32 (4).
uint64_t idat_length_of(int32_t width, int32_t height, uint64_t *filtered) {
    const uint64_t n = static_cast<uint64_t>(height) * (static_cast<uint64_t>(width) * 4 + 1);
    const uint64_t blocks = (n + kBlockMax - 1) / kBlockMax;
    *filtered = n;
    return n + 5 * blocks + 6;
}

// Writes the whole PNG into `file`, which it closes in any case.
int32_t write_png_to(std::FILE *file, int32_t width, int32_t height, const uint8_t *pixels, int32_t stride,
                     pixel_order order) {
    if (width <= 0 || height <= 0 || pixels == nullptr) {
        return close_with(file, -1);
    }
    const auto input_row = static_cast<std::size_t>(width) * 4;
    const source_image image{pixels, stride > 0 ? static_cast<std::size_t>(stride) : input_row, input_row + 1,
                             order};
    uint64_t n = 0;
    const uint64_t idat_length = idat_length_of(width, height, &n);
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
    return close_with(file, write_idat_iend(file, image, n, idat_length));
}

int32_t write_png_internal(const char *path, int32_t width, int32_t height, const uint8_t *pixels,
                           int32_t stride, pixel_order order) {
    if (path == nullptr || width <= 0 || height <= 0 || pixels == nullptr) {
        return -1;
    }
    std::FILE *file = std::fopen(path, "wb");
    if (file == nullptr) {
        return -2;
    }
    return write_png_to(file, width, height, pixels, stride, order);
}

} // namespace

int32_t write_png_bgra(const char *path, int32_t width, int32_t height, const uint8_t *pixels,
                       int32_t stride) {
    return write_png_internal(path, width, height, pixels, stride, pixel_order::bgra);
}

int32_t write_png_rgba(const char *path, int32_t width, int32_t height, const uint8_t *pixels,
                       int32_t stride) {
    return write_png_internal(path, width, height, pixels, stride, pixel_order::rgba);
}

int32_t write_png_bgrx(const char *path, int32_t width, int32_t height, const uint8_t *pixels,
                       int32_t stride) {
    return write_png_internal(path, width, height, pixels, stride, pixel_order::bgrx);
}

int32_t write_png_bgrx_file(std::FILE *file, int32_t width, int32_t height, const uint8_t *pixels,
                            int32_t stride) {
    if (file == nullptr) {
        return -1;
    }
    return write_png_to(file, width, height, pixels, stride, pixel_order::bgrx);
}

uint64_t png_file_size(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) {
        return 0;
    }
    uint64_t n = 0;
    const uint64_t idat_length = idat_length_of(width, height, &n);
    // Signature, IHDR, the IDAT chunk's length, type and CRC, IEND.
    return idat_length > kMaxChunkLength ? 0 : 8 + 25 + 12 + idat_length + 12;
}
