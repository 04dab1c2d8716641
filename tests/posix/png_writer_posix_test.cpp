// The encoder's files checked by independent decoders: zlib for the stream,
// its checksums and the chunk CRCs, and the ffmpeg program for the image as a
// whole. /dev/full shows that a failed write is reported.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>
#include <zlib.h>

#include "png_writer/png_writer.h"
#include "support/files.h"
#include "support/sanitized.h"
#include "support/temp_dir.h"

namespace {

uint32_t be32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

std::vector<uint8_t> noise(std::size_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed;
    for (auto &b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

// Walks the chunks, checks each CRC with zlib's crc32, and inflates the IDAT
// data with zlib's uncompress, which also checks the Adler-32.
testing::AssertionResult inflate_png(const std::vector<uint8_t> &file, std::size_t expected_size,
                                     std::vector<uint8_t> *filtered) {
    std::size_t at = 8;
    std::vector<uint8_t> idat;
    std::vector<std::string> types;
    while (at + 12 <= file.size()) {
        const uint32_t length = be32(&file[at]);
        if (at + 12 + length > file.size()) {
            return testing::AssertionFailure() << "chunk at " << at << " runs past the file";
        }
        const uint8_t *type = &file[at + 4];
        const auto crc = static_cast<uint32_t>(crc32(0L, type, length + 4));
        if (crc != be32(type + 4 + length)) {
            return testing::AssertionFailure() << "CRC of the chunk at " << at;
        }
        types.emplace_back(reinterpret_cast<const char *>(type), 4);
        if (types.back() == "IDAT") {
            idat.assign(type + 4, type + 4 + length);
        }
        at += 12 + length;
    }
    if (at != file.size() || types != std::vector<std::string>{"IHDR", "IDAT", "IEND"}) {
        return testing::AssertionFailure() << "chunk sequence";
    }
    filtered->assign(expected_size + 1, 0); // one spare byte: a longer stream shows up
    uLongf size = static_cast<uLongf>(filtered->size());
    const int rc = uncompress(filtered->data(), &size, idat.data(), static_cast<uLong>(idat.size()));
    if (rc != Z_OK) {
        return testing::AssertionFailure() << "uncompress: " << rc;
    }
    if (size != expected_size) {
        return testing::AssertionFailure() << "inflated " << size << " bytes, expected " << expected_size;
    }
    filtered->resize(size);
    return testing::AssertionSuccess();
}

// Runs a command and returns its standard output.
std::string run(const std::string &command) {
    std::string out;
    std::FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    char buf[65536];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, pipe)) > 0) {
        out.append(buf, got);
    }
    pclose(pipe);
    return out;
}

} // namespace

TEST(PngWriterZlib, LargeImagesInflateToTheirRows) {
    struct size_case {
        int32_t width;
        int32_t height;
        int32_t stride;
    };
    // Full HD; an odd size whose blocks end inside pixels at many offsets;
    // a padded stride; one column, where every filtered row is 5 bytes.
    const size_case cases[] = {{1920, 1080, 0}, {1021, 733, 0}, {640, 400, 640 * 4 + 64}, {1, 70000, 0}};
    temp_dir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const std::size_t stride =
            c.stride > 0 ? static_cast<std::size_t>(c.stride) : std::size_t(c.width) * 4;
        const std::vector<uint8_t> pixels = noise(stride * static_cast<std::size_t>(c.height), 3u);
        const std::string path = dir.file("large.png");
        ASSERT_EQ(write_png_bgra(path.c_str(), c.width, c.height, pixels.data(), c.stride), 0);
        const std::size_t n = static_cast<std::size_t>(c.height) * (1 + std::size_t(c.width) * 4);
        std::vector<uint8_t> filtered;
        ASSERT_TRUE(inflate_png(read_file_bytes(path), n, &filtered));
        std::size_t mismatches = 0;
        for (int32_t y = 0; y < c.height; ++y) {
            const uint8_t *in = pixels.data() + static_cast<std::size_t>(y) * stride;
            const uint8_t *out =
                filtered.data() + static_cast<std::size_t>(y) * (1 + std::size_t(c.width) * 4);
            mismatches += out[0] != 0;
            for (int32_t x = 0; x < c.width; ++x) {
                const uint8_t *p = in + x * 4;
                const uint8_t *q = out + 1 + x * 4;
                mismatches += q[0] != p[2] || q[1] != p[1] || q[2] != p[0] || q[3] != p[3];
            }
        }
        EXPECT_EQ(mismatches, 0u);
    }
}

TEST(PngWriterZlib, FfmpegDecodesThePixels) {
    // A decoder that knows nothing of this encoder reads the same RGBA back.
    constexpr int32_t width = 333;
    constexpr int32_t height = 211;
    const std::vector<uint8_t> bgra = noise(std::size_t(width) * height * 4, 11u);
    temp_dir dir;
    const std::string path = dir.file("ffmpeg.png");
    ASSERT_EQ(write_png_bgra(path.c_str(), width, height, bgra.data(), 0), 0);
    const std::string rgba =
        run("ffmpeg -v error -nostdin -i '" + path + "' -f rawvideo -pix_fmt rgba - 2>/dev/null");
    ASSERT_EQ(rgba.size(), bgra.size()) << "ffmpeg could not decode the file";
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < bgra.size(); i += 4) {
        mismatches += static_cast<uint8_t>(rgba[i]) != bgra[i + 2] ||
                      static_cast<uint8_t>(rgba[i + 1]) != bgra[i + 1] ||
                      static_cast<uint8_t>(rgba[i + 2]) != bgra[i] ||
                      static_cast<uint8_t>(rgba[i + 3]) != bgra[i + 3];
    }
    EXPECT_EQ(mismatches, 0u);
    const std::string probe =
        run("ffprobe -v error -show_entries stream=codec_name,width,height,pix_fmt -of csv=p=0 '" + path +
            "' 2>/dev/null");
    EXPECT_EQ(probe, "png,333,211,rgba\n");
}

TEST(PngWriterZlib, FullDeviceReportsAFailedWrite) {
    // A small image fits the stream buffer, so only the close sees the
    // failure; a large one fails in the IDAT write itself.
    struct full_case {
        int32_t width;
        int32_t height;
    };
    const full_case cases[] = {{1, 1}, {16, 16}, {1920, 1080}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const std::vector<uint8_t> pixels(std::size_t(c.width) * c.height * 4, 0x40);
        EXPECT_EQ(write_png_bgra("/dev/full", c.width, c.height, pixels.data(), 0), -3);
        EXPECT_EQ(write_png_rgba("/dev/full", c.width, c.height, pixels.data(), 0), -3);
    }
}

TEST(PngWriterZlib, OutOfMemoryLeavesTheHeader) {
#if defined(KSR_SANITIZED)
    GTEST_SKIP() << "the sanitizers reserve address space, so a memory limit cannot be set";
#else
    // In a child process with its address space capped just above what it
    // holds, the encoder's staging buffer (a quarter MiB for a large image)
    // cannot be had: -4, with the signature and header written.
    temp_dir dir;
    const std::string path = dir.file("oom.png");
    constexpr int32_t width = 1024;
    constexpr int32_t height = 512;
    // A fresh process for the child, so that its heap holds no freed memory
    // from earlier tests that the buffer could come from.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::vector<uint8_t> pixels(std::size_t(width) * height * 4, 0x11);
    EXPECT_EXIT(
        {
            rlimit limit{};
            getrlimit(RLIMIT_AS, &limit);
            // Whatever the process holds now plus a margin smaller than the
            // staging buffer.
            std::FILE *statm = std::fopen("/proc/self/statm", "r");
            unsigned long pages = 0;
            if (statm == nullptr || std::fscanf(statm, "%lu", &pages) != 1) {
                std::_Exit(100);
            }
            std::fclose(statm);
            limit.rlim_cur = pages * 4096ul + (64ul << 10);
            if (setrlimit(RLIMIT_AS, &limit) != 0) {
                std::_Exit(101);
            }
            const int32_t rc = write_png_bgra(path.c_str(), width, height, pixels.data(), 0);
            const std::size_t size = read_file_bytes(path).size();
            // The child ends without unwinding, so it removes its own folder.
            std::error_code ec;
            std::filesystem::remove_all(dir.path(), ec);
            std::_Exit(rc != -4 ? 50 + rc : size != 33 ? 60 : 0);
        },
        testing::ExitedWithCode(0), "");
#endif
}
