#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include <rapidjson/document.h>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "kestrova/screenrecorder.h"
#include "screenrecorder/errors.h"
#include "screenrecorder/result_text.h"
#include "support/temp_dir.h"

namespace {

std::string escaped(const std::string &source, std::size_t dest_size = kResultTextSize) {
    std::string dest(dest_size + 16, '#'); // guard bytes past the destination
    json_escape_path(source.c_str(), dest.data(), dest_size);
    EXPECT_EQ(dest.substr(dest_size), std::string(16, '#')) << "wrote past the destination";
    return std::string(dest.c_str());
}

void write_file(const std::string &path, std::size_t size) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const std::string bytes(size, 'z');
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    ASSERT_EQ(std::fclose(f), 0);
}

} // namespace

TEST(SetLastError, FormatsAndCutsAt511Characters) {
    set_last_error("display index %d out of range", -3);
    EXPECT_STREQ(screenrecorder_last_error(), "display index -3 out of range");
    EXPECT_EQ(screenrecorder_last_error(), g_last_error);

    struct length_case {
        std::size_t path_length;
        std::size_t stored;
    };
    // "failed to write PNG file '" is 26 characters, "': rc -3" 8.
    const length_case cases[] = {{477, 511}, {478, 511}, {476, 510}, {2000, 511}};
    for (const auto &c : cases) {
        const std::string path(c.path_length, 'p');
        set_last_error("failed to write PNG file '%s': rc %d", path.c_str(), -3);
        const std::string full = "failed to write PNG file '" + path + "': rc -3";
        EXPECT_EQ(std::string(g_last_error), full.substr(0, c.stored)) << c.path_length;
    }
    // A shorter message after a long one leaves no trace of the long one.
    set_last_error("%s", "job pointer is NULL");
    EXPECT_STREQ(g_last_error, "job pointer is NULL");
}

TEST(JsonEscapePath, EscapesAndBounds) {
    struct escape_case {
        const char *name;
        std::string source;
        std::string result;
    };
    const std::string backslash(1, '\\');
    const escape_case cases[] = {
        {"plain path", "/tmp/shot.png", "/tmp/shot.png"},
        {"empty", "", ""},
        {"backslash between letters", "a\\b", "a\\\\b"},
        {"windows path", "C:\\Users\\x.png", "C:\\\\Users\\\\x.png"},
        {"double quote", "say \"hi\".png", "say \\\"hi\\\".png"},
        {"newline and tab", "a\nb\tc", "a\\u000ab\\u0009c"},
        {"byte 0x01 and 0x1f", "\x01\x1f", "\\u0001\\u001f"},
        {"DEL and high bytes unchanged", "\x7f\xc3\xa9", "\x7f\xc3\xa9"},
        {"slash unchanged", "a/b", "a/b"},
        // The bound: a byte is taken only while the count + 2 < 1024.
        {"1100 plain bytes keep 1022", std::string(1100, 'a'), std::string(1022, 'a')},
        {"600 backslashes give 1022 from 511", std::string(600, '\\'), std::string(1022, '\\')},
        {"1021 plain then a backslash: 1023", std::string(1021, 'a') + backslash,
         std::string(1021, 'a') + "\\\\"},
        {"1022 plain then a backslash: the backslash is dropped", std::string(1022, 'a') + backslash,
         std::string(1022, 'a')},
        {"1021 plain then a quote: 1023", std::string(1021, 'a') + "\"", std::string(1021, 'a') + "\\\""},
        // A six-character escape is stored whole or not at all, and nothing
        // after a dropped byte is stored.
        {"1017 plain then a control byte: 1023", std::string(1017, 'a') + "\n",
         std::string(1017, 'a') + "\\u000a"},
        {"1018 plain then a control byte: dropped with the rest", std::string(1018, 'a') + "\nbc",
         std::string(1018, 'a')},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(escaped(c.source), c.result) << c.name;
    }
}

TEST(JsonEscapePath, SmallDestinationsAndNullSource) {
    EXPECT_EQ(escaped("abc", 1), "");
    EXPECT_EQ(escaped("abc", 2), "");
    EXPECT_EQ(escaped("abc", 3), "a");
    EXPECT_EQ(escaped("\\bc", 3), "\\\\");
    EXPECT_EQ(escaped("\\bc", 4), "\\\\");
    EXPECT_EQ(escaped("\\bc", 5), "\\\\b");
    char dest[8] = "xxxxxxx";
    json_escape_path(nullptr, dest, sizeof dest);
    EXPECT_STREQ(dest, "");
}

TEST(JsonEscapePath, EveryByteMakesValidJsonThatReadsBack) {
    // A path made of every byte from 0x01 to 0x7f, set between double quotes,
    // parses as a JSON string and gives the path back.
    std::string path;
    for (int c = 1; c < 0x80; ++c) {
        path += static_cast<char>(c);
    }
    path += "/\xe2\x82\xac.png"; // a UTF-8 character stays as it is
    const std::string text = "{\"path\": \"" + escaped(path) + "\"}";
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseValidateEncodingFlag>(text.c_str());
    ASSERT_FALSE(doc.HasParseError()) << "offset " << doc.GetErrorOffset() << " in " << text;
    ASSERT_TRUE(doc.IsObject() && doc.HasMember("path") && doc["path"].IsString());
    EXPECT_EQ(std::string(doc["path"].GetString(), doc["path"].GetStringLength()), path);
}

TEST(MeasureFileSize, SmallFiles) {
    temp_dir dir;
    EXPECT_EQ(measure_file_size(dir.file("missing").c_str()), 0);
    EXPECT_EQ(measure_file_size(nullptr), 0);
    EXPECT_EQ(measure_file_size(""), 0);
    EXPECT_EQ(measure_file_size(dir.path().c_str()), 0); // a directory has no size to report
    write_file(dir.file("empty"), 0);
    EXPECT_EQ(measure_file_size(dir.file("empty").c_str()), 0);
    write_file(dir.file("some"), 12345);
    EXPECT_EQ(measure_file_size(dir.file("some").c_str()), 12345);
}

#if !defined(_WIN32)
// An output path that names a FIFO must not block a status call in open().
TEST(MeasureFileSize, FifoReadsZeroWithoutBlocking) {
    temp_dir dir;
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(measure_file_size(fifo.c_str()), 0);
}
#endif

TEST(MeasureFileSize, FilesPastTwoGibibytes) {
    // Sparse files: their size is set without writing data.
    temp_dir dir;
    const int64_t sizes[] = {(int64_t{1} << 31) - 1, int64_t{1} << 31, (int64_t{1} << 32) + 3};
    const std::string path = dir.file("large");
    write_file(path, 0);
    for (const int64_t size : sizes) {
        std::error_code ec;
        std::filesystem::resize_file(path, static_cast<std::uintmax_t>(size), ec);
        ASSERT_FALSE(ec) << ec.message();
        EXPECT_EQ(measure_file_size(path.c_str()), size);
    }
}
