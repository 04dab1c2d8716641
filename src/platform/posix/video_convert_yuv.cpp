// BGRA to I420 in fixed point, written so that the compiler vectorises the
// row loops (and builds them for AVX2 as well, chosen at load time).
//
// Y = 16 + (65.481 R + 128.553 G + 24.966 B) / 255
// U = 128 + (-37.797 R - 74.203 G + 112 B) / 255
// V = 128 + (112 R - 93.786 G - 18.214 B) / 255
// with R, G, B of a chroma sample being the 1-3-3-1 weighted mean of the
// column-pair means of four rows.
#include "platform/posix/video_convert_yuv.h"

#include <algorithm>
#include <cstdlib>

namespace {

// Luma coefficients scaled by 2^16 / 255 (2^15 rounds a common desktop blue
// one level off).
constexpr int32_t kYR = 16829;
constexpr int32_t kYG = 33039;
constexpr int32_t kYB = 6416;
constexpr int32_t kYOffset = (16 << 16) + (1 << 15);
// Chroma coefficients scaled by 2^18 / (255 x 16): they apply to sums of 16
// weighted samples.
constexpr int32_t kUR = -2428;
constexpr int32_t kUG = -4767;
constexpr int32_t kUB = 7196;
constexpr int32_t kVR = 7196;
constexpr int32_t kVG = -6026;
constexpr int32_t kVB = -1170;
constexpr int32_t kCOffset = (128 << 18) + (1 << 17);

// The clones are chosen by an ifunc resolver while the program loads, before
// ThreadSanitizer's runtime is up: sanitized builds take the baseline loop.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__) &&      \
    !defined(__SANITIZE_ADDRESS__)
#define KSR_ROW_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KSR_ROW_CLONES
#endif

// One source row: its luma, and the sums of each column pair per channel.
KSR_ROW_CLONES void posix_row_luma_sums(const uint8_t *__restrict src, int32_t pairs, uint8_t *__restrict y,
                                        uint16_t *__restrict sr, uint16_t *__restrict sg,
                                        uint16_t *__restrict sb) {
    for (int32_t i = 0; i < pairs; ++i) {
        const uint8_t *p = src + 8 * i;
        const int32_t b0 = p[0];
        const int32_t g0 = p[1];
        const int32_t r0 = p[2];
        const int32_t b1 = p[4];
        const int32_t g1 = p[5];
        const int32_t r1 = p[6];
        y[2 * i] = static_cast<uint8_t>((kYR * r0 + kYG * g0 + kYB * b0 + kYOffset) >> 16);
        y[2 * i + 1] = static_cast<uint8_t>((kYR * r1 + kYG * g1 + kYB * b1 + kYOffset) >> 16);
        sr[i] = static_cast<uint16_t>(r0 + r1);
        sg[i] = static_cast<uint16_t>(g0 + g1);
        sb[i] = static_cast<uint16_t>(b0 + b1);
    }
}

// One chroma row from the pair sums of rows a, b, c, d (weights 1, 3, 3, 1).
KSR_ROW_CLONES void posix_row_chroma(const uint16_t *const *__restrict a, const uint16_t *const *__restrict b,
                                     const uint16_t *const *__restrict c, const uint16_t *const *__restrict d,
                                     int32_t pairs, uint8_t *__restrict u, uint8_t *__restrict v) {
    const uint16_t *ar = a[0], *ag = a[1], *ab = a[2];
    const uint16_t *br = b[0], *bg = b[1], *bb = b[2];
    const uint16_t *cr = c[0], *cg = c[1], *cb = c[2];
    const uint16_t *dr = d[0], *dg = d[1], *db = d[2];
    for (int32_t i = 0; i < pairs; ++i) {
        const int32_t r = ar[i] + 3 * (br[i] + cr[i]) + dr[i];
        const int32_t g = ag[i] + 3 * (bg[i] + cg[i]) + dg[i];
        const int32_t bl = ab[i] + 3 * (bb[i] + cb[i]) + db[i];
        u[i] = static_cast<uint8_t>((kUR * r + kUG * g + kUB * bl + kCOffset) >> 18);
        v[i] = static_cast<uint8_t>((kVR * r + kVG * g + kVB * bl + kCOffset) >> 18);
    }
}

} // namespace

bool posix_yuv_open(posix_yuv_converter *c, int32_t width, int32_t height) {
    *c = posix_yuv_converter{};
    if (width < 2 || height < 2 || width % 2 != 0 || height % 2 != 0) {
        return false;
    }
    const std::size_t pairs = static_cast<std::size_t>(width) / 2;
    c->sums = static_cast<uint16_t *>(std::calloc(pairs * 12, sizeof(uint16_t)));
    if (c->sums == nullptr) {
        return false;
    }
    c->width = width;
    c->height = height;
    return true;
}

void posix_yuv_close(posix_yuv_converter *c) {
    std::free(c->sums);
    *c = posix_yuv_converter{};
}

void posix_bgra_to_i420(const posix_yuv_converter *c, const uint8_t *bgra, std::size_t stride,
                        uint8_t *const planes[3], const int linesize[3]) {
    const int32_t pairs = c->width / 2;
    const int32_t h = c->height;
    // Row k's sums live in slot k mod 4: a chroma row needs rows 2j - 1 to
    // 2j + 2, clamped to the picture.
    const auto slot = [&](int32_t row) {
        const uint16_t *base =
            c->sums + static_cast<std::size_t>(row % 4) * 3 * static_cast<std::size_t>(pairs);
        return base;
    };
    int32_t done = 0; // rows converted so far
    const auto convert_rows_up_to = [&](int32_t last) {
        for (; done <= last; ++done) {
            uint16_t *s = c->sums + static_cast<std::size_t>(done % 4) * 3 * static_cast<std::size_t>(pairs);
            posix_row_luma_sums(bgra + stride * static_cast<std::size_t>(done), pairs,
                                planes[0] + static_cast<std::ptrdiff_t>(linesize[0]) * done, s, s + pairs,
                                s + 2 * static_cast<std::ptrdiff_t>(pairs));
        }
    };
    for (int32_t j = 0; j < h / 2; ++j) {
        const int32_t rows[4] = {std::max(2 * j - 1, 0), 2 * j, 2 * j + 1, std::min(2 * j + 2, h - 1)};
        convert_rows_up_to(rows[3]);
        const uint16_t *planes_of[4][3];
        for (int k = 0; k < 4; ++k) {
            const uint16_t *base = slot(rows[k]);
            planes_of[k][0] = base;
            planes_of[k][1] = base + pairs;
            planes_of[k][2] = base + 2 * static_cast<std::ptrdiff_t>(pairs);
        }
        posix_row_chroma(planes_of[0], planes_of[1], planes_of[2], planes_of[3], pairs,
                         planes[1] + static_cast<std::ptrdiff_t>(linesize[1]) * j,
                         planes[2] + static_cast<std::ptrdiff_t>(linesize[2]) * j);
    }
}
