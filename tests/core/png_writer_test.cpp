#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "png_writer/png_writer.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace {

void write_file(const std::string &path, const std::string &text) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

// Bit-at-a-time CRC-32 and byte-at-a-time Adler-32, written independently of
// the encoder's table and blocked forms.
uint32_t reference_crc32(const uint8_t *data, std::size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

uint32_t reference_adler32(const std::vector<uint8_t> &data) {
    uint32_t a = 1;
    uint32_t b = 0;
    for (uint8_t byte : data) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    return b << 16 | a;
}

uint32_t be32(const std::vector<uint8_t> &f, std::size_t at) {
    return static_cast<uint32_t>(f[at]) << 24 | static_cast<uint32_t>(f[at + 1]) << 16 |
           static_cast<uint32_t>(f[at + 2]) << 8 | f[at + 3];
}

struct decoded_png {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<std::size_t> block_sizes;
    std::vector<uint8_t> filtered;
};

// Checks every structural rule of the files this encoder writes (chunk
// order and lengths, CRCs, zlib header, stored block headers, Adler-32, no
// trailing bytes) and returns the filtered image it carries.
testing::AssertionResult decode(const std::vector<uint8_t> &f, decoded_png *out) {
    static const uint8_t sig[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    if (f.size() < 57 || std::memcmp(f.data(), sig, 8) != 0) {
        return testing::AssertionFailure() << "no signature, size " << f.size();
    }
    if (be32(f, 8) != 13 || std::memcmp(&f[12], "IHDR", 4) != 0) {
        return testing::AssertionFailure() << "IHDR header";
    }
    out->width = be32(f, 16);
    out->height = be32(f, 20);
    if (f[24] != 8 || f[25] != 6 || f[26] != 0 || f[27] != 0 || f[28] != 0) {
        return testing::AssertionFailure() << "IHDR fields";
    }
    if (be32(f, 29) != reference_crc32(&f[12], 17)) {
        return testing::AssertionFailure() << "IHDR CRC";
    }
    const std::size_t length = be32(f, 33);
    if (std::memcmp(&f[37], "IDAT", 4) != 0 || 57 + length != f.size()) {
        return testing::AssertionFailure() << "IDAT length " << length << " for a file of " << f.size();
    }
    if (be32(f, 41 + length) != reference_crc32(&f[37], length + 4)) {
        return testing::AssertionFailure() << "IDAT CRC";
    }
    if (f[41] != 0x78 || f[42] != 0x01 || (f[41] * 256 + f[42]) % 31 != 0) {
        return testing::AssertionFailure() << "zlib header";
    }
    const std::size_t adler_at = 41 + length - 4;
    std::size_t at = 43;
    bool final_seen = false;
    while (!final_seen) {
        if (at + 5 > adler_at) {
            return testing::AssertionFailure() << "blocks run into the checksum at " << at;
        }
        const uint8_t head = f[at];
        if ((head & ~1u) != 0) {
            return testing::AssertionFailure() << "block header byte " << int(head) << " at " << at;
        }
        final_seen = head == 1;
        const std::size_t len = f[at + 1] | static_cast<std::size_t>(f[at + 2]) << 8;
        const std::size_t nlen = f[at + 3] | static_cast<std::size_t>(f[at + 4]) << 8;
        if ((len ^ 0xFFFF) != nlen || len == 0) {
            return testing::AssertionFailure() << "LEN " << len << " NLEN " << nlen << " at " << at;
        }
        if (!final_seen && len != 65535) {
            return testing::AssertionFailure() << "short block before the last, LEN " << len;
        }
        if (at + 5 + len > adler_at) {
            return testing::AssertionFailure() << "block data runs past the stream";
        }
        out->block_sizes.push_back(len);
        out->filtered.insert(out->filtered.end(), f.begin() + static_cast<std::ptrdiff_t>(at + 5),
                             f.begin() + static_cast<std::ptrdiff_t>(at + 5 + len));
        at += 5 + len;
    }
    if (at != adler_at) {
        return testing::AssertionFailure() << "bytes between the last block and the checksum";
    }
    if (be32(f, adler_at) != reference_adler32(out->filtered)) {
        return testing::AssertionFailure() << "Adler-32";
    }
    static const uint8_t iend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    if (std::memcmp(&f[45 + length], iend, 12) != 0) {
        return testing::AssertionFailure() << "IEND";
    }
    return testing::AssertionSuccess();
}

// The filtered image an input should give: a 0 byte per row, then RGBA.
// How the writer reads a pixel: which entry it was given.
enum class order { rgba, bgra, bgrx };

std::vector<uint8_t> expected_filtered(int32_t width, int32_t height, const std::vector<uint8_t> &pixels,
                                       std::size_t stride, order o) {
    const bool bgra = o != order::rgba;
    std::vector<uint8_t> out;
    for (int32_t y = 0; y < height; ++y) {
        out.push_back(0);
        const uint8_t *row = pixels.data() + static_cast<std::size_t>(y) * stride;
        for (int32_t x = 0; x < width; ++x) {
            const uint8_t *p = row + x * 4;
            out.push_back(bgra ? p[2] : p[0]);
            out.push_back(p[1]);
            out.push_back(bgra ? p[0] : p[2]);
            out.push_back(o == order::bgrx ? 255 : p[3]);
        }
    }
    return out;
}

// Pixels where every byte differs from its neighbours, so a swapped, shifted
// or dropped byte is seen.
std::vector<uint8_t> noise(std::size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed;
    for (auto &b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

} // namespace

TEST(PngWriter, OnePixelFileIsByteExact) {
    temp_dir dir;
    const std::string path = dir.file("one.png");
    const uint8_t bgra[4] = {1, 2, 3, 4};
    ASSERT_EQ(write_png_bgra(path.c_str(), 1, 1, bgra, 0), 0);
    const std::vector<uint8_t> want = {
        0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A,                                           // signature
        0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, // IHDR
        0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1F, 0x15, 0xC4, 0x89,                               //
        0x00, 0x00, 0x00, 0x10, 0x49, 0x44, 0x41, 0x54, 0x78, 0x01, 0x01, 0x05, 0x00, 0xFA, 0xFF, // IDAT
        0x00, 0x03, 0x02, 0x01, 0x04, 0x00, 0x1D, 0x00, 0x0B, 0xB1, 0x54, 0xED, 0x41,             //
        0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82,                   // IEND
    };
    EXPECT_EQ(read_file_bytes(path), want);

    // The same bytes as RGBA are stored as they are.
    ASSERT_EQ(write_png_rgba(path.c_str(), 1, 1, bgra, 0), 0);
    const std::vector<uint8_t> rgba = read_file_bytes(path);
    ASSERT_EQ(rgba.size(), 73u);
    EXPECT_EQ(std::vector<uint8_t>(rgba.begin() + 48, rgba.begin() + 53),
              (std::vector<uint8_t>{0, 1, 2, 3, 4}));
    decoded_png png;
    EXPECT_TRUE(decode(rgba, &png));
}

TEST(PngWriter, BlockLayoutAndSizes) {
    struct size_case {
        int32_t width;
        int32_t height;
        std::size_t file_size;
        std::vector<std::size_t> blocks;
    };
    std::vector<std::size_t> full_hd(126, 65535);
    full_hd.push_back(8295480 - 126 * 65535);
    const size_case cases[] = {
        {100, 100, 40168, {40100}},
        {64, 255, 65603, {65535}},      // exactly one full block, which is the last
        {1, 13108, 65613, {65535, 5}},  // one byte past a block: a second block of 5
        {2, 7282, 65611, {65535, 3}},   // rows of 9 bytes: a block ends inside a row
        {1920, 1080, 8296178, full_hd}, // blocks end inside pixels
    };
    temp_dir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const std::string path = dir.file("size.png");
        const auto stride = static_cast<std::size_t>(c.width) * 4;
        const std::vector<uint8_t> pixels = noise(stride * static_cast<std::size_t>(c.height), 7u);
        ASSERT_EQ(write_png_bgra(path.c_str(), c.width, c.height, pixels.data(), 0), 0);
        const std::vector<uint8_t> file = read_file_bytes(path);
        EXPECT_EQ(file.size(), c.file_size);
        EXPECT_EQ(png_file_size(c.width, c.height), c.file_size);
        decoded_png png;
        ASSERT_TRUE(decode(file, &png));
        EXPECT_EQ(png.width, static_cast<uint32_t>(c.width));
        EXPECT_EQ(png.height, static_cast<uint32_t>(c.height));
        EXPECT_EQ(png.block_sizes, c.blocks);
        EXPECT_TRUE(png.filtered == expected_filtered(c.width, c.height, pixels, stride, order::bgra));
    }
    // The header bytes of the edge cases, as they stand in the file.
    const std::vector<uint8_t> pixels = noise(64 * 255 * 4, 1u); // enough for both images
    const std::string path = dir.file("blocks.png");
    ASSERT_EQ(write_png_bgra(path.c_str(), 64, 255, pixels.data(), 0), 0);
    std::vector<uint8_t> file = read_file_bytes(path);
    ASSERT_GE(file.size(), 48u);
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + 43, file.begin() + 48),
              (std::vector<uint8_t>{0x01, 0xFF, 0xFF, 0x00, 0x00}));
    ASSERT_EQ(write_png_bgra(path.c_str(), 1, 13108, pixels.data(), 0), 0);
    file = read_file_bytes(path);
    ASSERT_GE(file.size(), 43u + 65540 + 5);
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + 43, file.begin() + 48),
              (std::vector<uint8_t>{0x00, 0xFF, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + 43 + 65540, file.begin() + 43 + 65545),
              (std::vector<uint8_t>{0x01, 0x05, 0x00, 0xFA, 0xFF}));
}

TEST(PngWriter, StrideAndChannelOrder) {
    struct stride_case {
        const char *name;
        int32_t stride;         // as passed
        std::size_t row_stride; // as the rows are then read
        order o;
    };
    constexpr int32_t width = 37; // odd, so blocks end at varying places in rows and pixels
    constexpr int32_t height = 900;
    const stride_case cases[] = {
        {"stride 0 means width * 4", 0, width * 4, order::bgra},
        {"negative stride means width * 4", -8, width * 4, order::bgra},
        {"larger stride skips the bytes between rows", width * 4 + 12, width * 4 + 12, order::bgra},
        {"smaller positive stride is used unchanged", width * 4 - 8, width * 4 - 8, order::bgra},
        {"rgba with a larger stride", width * 4 + 3, width * 4 + 3, order::rgba},
        {"rgba with stride 0", 0, width * 4, order::rgba},
        // The fourth byte is noise and every stored alpha 255, also where a
        // block ends between a pixel's colour and its alpha.
        {"bgrx with a larger stride", width * 4 + 12, width * 4 + 12, order::bgrx},
        {"bgrx with stride 0", 0, width * 4, order::bgrx},
    };
    temp_dir dir;
    const std::string path = dir.file("stride.png");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Room for the widest row spacing; the bytes past each row are noise
        // that must not reach the file.
        const std::vector<uint8_t> pixels = noise(static_cast<std::size_t>(width * 4 + 12) * height, 99u);
        const int32_t rc =
            c.o == order::bgra   ? write_png_bgra(path.c_str(), width, height, pixels.data(), c.stride)
            : c.o == order::bgrx ? write_png_bgrx(path.c_str(), width, height, pixels.data(), c.stride)
                                 : write_png_rgba(path.c_str(), width, height, pixels.data(), c.stride);
        ASSERT_EQ(rc, 0);
        decoded_png png;
        ASSERT_TRUE(decode(read_file_bytes(path), &png));
        EXPECT_TRUE(png.filtered == expected_filtered(width, height, pixels, c.row_stride, c.o));
    }
}

TEST(PngWriter, AlphaIsStoredAsGiven) {
    temp_dir dir;
    const std::string path = dir.file("alpha.png");
    const uint8_t bgra[8] = {10, 20, 30, 0, 40, 50, 60, 128};
    ASSERT_EQ(write_png_bgra(path.c_str(), 2, 1, bgra, 0), 0);
    decoded_png png;
    ASSERT_TRUE(decode(read_file_bytes(path), &png));
    EXPECT_EQ(png.filtered, (std::vector<uint8_t>{0, 30, 20, 10, 0, 60, 50, 40, 128}));
}

TEST(PngWriter, BadArgumentsLeaveAnExistingFileUntouched) {
    struct bad_case {
        const char *name;
        bool null_path;
        int32_t width;
        int32_t height;
        bool null_pixels;
    };
    const bad_case cases[] = {
        {"null path", true, 4, 4, false},         {"width 0", false, 0, 4, false},
        {"height 0", false, 4, 0, false},         {"negative width", false, -4, 4, false},
        {"negative height", false, 4, -1, false}, {"null pixels", false, 4, 4, true},
    };
    temp_dir dir;
    const std::string path = dir.file("keep.png");
    write_file(path, "previous contents");
    const std::vector<uint8_t> pixels(64, 0xAB);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const char *p = c.null_path ? nullptr : path.c_str();
        const uint8_t *px = c.null_pixels ? nullptr : pixels.data();
        EXPECT_EQ(write_png_bgra(p, c.width, c.height, px, 0), -1);
        EXPECT_EQ(write_png_rgba(p, c.width, c.height, px, 0), -1);
        const std::vector<uint8_t> kept = read_file_bytes(path);
        EXPECT_EQ(std::string(kept.begin(), kept.end()), "previous contents");
    }
}

TEST(PngWriter, FileErrors) {
    temp_dir dir;
    const uint8_t pixel[4] = {1, 2, 3, 4};
    EXPECT_EQ(write_png_bgra(dir.file("missing-dir/x.png").c_str(), 1, 1, pixel, 0), -2);
    EXPECT_EQ(write_png_bgra(dir.path().c_str(), 1, 1, pixel, 0), -2); // a directory

    // An existing, longer file is replaced whole.
    const std::string path = dir.file("old.png");
    write_file(path, std::string(5000, 'x'));
    ASSERT_EQ(write_png_bgra(path.c_str(), 1, 1, pixel, 0), 0);
    EXPECT_EQ(read_file_bytes(path).size(), 73u);
}

TEST(PngWriter, ImageTooLargeForOneChunkIsRefused) {
    // 32768 x 16384 pixels would need an IDAT chunk longer than a PNG chunk
    // may be. The encoder refuses before it allocates or reads any pixel,
    // and leaves the signature and the header chunk.
    temp_dir dir;
    const std::string path = dir.file("huge.png");
    const uint8_t pixel[4] = {};
    EXPECT_EQ(write_png_bgra(path.c_str(), 32768, 16384, pixel, 0), -5);
    const std::vector<uint8_t> file = read_file_bytes(path);
    ASSERT_EQ(file.size(), 33u);
    EXPECT_EQ(be32(file, 16), 32768u);
    EXPECT_EQ(be32(file, 20), 16384u);
    EXPECT_EQ(be32(file, 29), reference_crc32(&file[12], 17));
    EXPECT_EQ(png_file_size(32768, 16384), 0u);
    EXPECT_EQ(png_file_size(0, 10), 0u);
}

// A caller that opens the file itself, ahead of the pixels, and reserves
// its room: the same bytes as by path, and a file that ends where its
// writes end.
TEST(PngWriter, IntoAFileOpenedAheadWithItsRoomReserved) {
    temp_dir dir;
    const std::vector<uint8_t> pixels = noise((300 * 4 + 40) * 17, 3u);
    const std::string by_path = dir.file("by-path.png");
    ASSERT_EQ(write_png_bgrx(by_path.c_str(), 300, 17, pixels.data(), 300 * 4 + 40), 0);
    const std::string opened = dir.file("opened.png");
    std::FILE *f = std::fopen(opened.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    platform_reserve_file(f, png_file_size(300, 17));
    ASSERT_EQ(write_png_bgrx_file(f, 300, 17, pixels.data(), 300 * 4 + 40), 0);
    EXPECT_TRUE(read_file_bytes(opened) == read_file_bytes(by_path));

    // More room than is written: the file is as long as its bytes.
    const std::string short_file = dir.file("short.bin");
    f = std::fopen(short_file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    platform_reserve_file(f, 1 << 20);
    std::fwrite("0123456789", 1, 10, f);
    std::fclose(f);
    EXPECT_EQ(read_file_bytes(short_file).size(), 10u);

    // No file, or arguments that cannot be written (the file is closed and
    // left empty).
    EXPECT_EQ(write_png_bgrx_file(nullptr, 1, 1, pixels.data(), 0), -1);
    const std::string refused = dir.file("refused.png");
    f = std::fopen(refused.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(write_png_bgrx_file(f, 0, 1, pixels.data(), 0), -1);
    EXPECT_EQ(read_file_bytes(refused).size(), 0u);
}

TEST(PngWriter, ConcurrentCallsDoNotInterfere) {
    // The encoder keeps no state between calls but its fixed CRC tables and
    // a processor check made once; threads writing at once all get exact
    // files (run alone, this is also the first use of that check).
    constexpr int kThreads = 4;
    temp_dir dir;
    std::vector<std::vector<uint8_t>> images;
    for (int i = 0; i < kThreads; ++i) {
        images.push_back(noise(std::size_t(300 + i) * 200 * 4, static_cast<uint32_t>(i + 40)));
    }
    std::vector<int32_t> results(kThreads, -100);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            const std::string path = dir.file("thread" + std::to_string(i) + ".png");
            results[static_cast<std::size_t>(i)] =
                write_png_bgra(path.c_str(), 300 + i, 200, images[i].data(), 0);
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    for (int i = 0; i < kThreads; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(results[static_cast<std::size_t>(i)], 0);
        decoded_png png;
        ASSERT_TRUE(decode(read_file_bytes(dir.file("thread" + std::to_string(i) + ".png")), &png));
        EXPECT_TRUE(png.filtered ==
                    expected_filtered(300 + i, 200, images[i], std::size_t(300 + i) * 4, order::bgra));
    }
}
