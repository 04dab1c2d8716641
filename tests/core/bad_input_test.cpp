// Every export against hostile arguments: null, empty, over-long, non-UTF-8
// and control-character paths, malformed and hostile options documents, and
// job numbers at the edges. Each failure must return its documented code and
// message and write nothing through an out parameter; hostile input that is
// still usable must work and give well-formed result texts.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "kestrova/screenrecorder.h"
#include "support/temp_dir.h"

namespace {

enum class export_fn { probe, screenshot, start, status, stop };

// One call of one export. A null path, options text or out parameter is
// spelt with the matching flag; the out parameter is otherwise a sentinel
// that a failing call must leave alone.
struct call_case {
    std::string what = {};
    export_fn fn = export_fn::probe;
    std::string path = {};
    bool null_path = false;
    std::string options = {};
    bool null_options = true;
    int32_t job = 0;
    bool null_out = false;
    int32_t code = 0;
    std::string message = {};
};

const char kSentinelText[] = "untouched";
constexpr int32_t kSentinelJob = 0x5EE5EE;

struct call_result {
    int32_t code;
    const char *out_json;
    int32_t out_job;
};

call_result run(const call_case &c) {
    call_result r{0, kSentinelText, kSentinelJob};
    const char *path = c.null_path ? nullptr : c.path.c_str();
    const char *options = c.null_options ? nullptr : c.options.c_str();
    const char **out_json = c.null_out ? nullptr : &r.out_json;
    switch (c.fn) {
    case export_fn::probe:
        r.code = screenrecorder_probe(out_json);
        break;
    case export_fn::screenshot:
        r.code = screenrecorder_screenshot(path, options, out_json);
        break;
    case export_fn::start:
        r.code = screenrecorder_start(path, options, c.null_out ? nullptr : &r.out_job);
        break;
    case export_fn::status:
        r.code = screenrecorder_status(c.job, out_json);
        break;
    case export_fn::stop:
        r.code = screenrecorder_stop(c.job, out_json);
        break;
    }
    return r;
}

// The PNG failure message as the library formats it, cut where the
// last-error text is cut.
std::string png_failure(const std::string &path, int rc) {
    char text[512];
    std::snprintf(text, sizeof text, "failed to write PNG file '%s': rc %d", path.c_str(), rc);
    return text;
}

// A path of exactly `length` bytes under `prefix`: a directory that does not
// exist, followed by filler.
std::string path_of_length(const std::string &prefix, std::size_t length) {
    std::string path = prefix + "/missing/";
    while (path.size() < length) {
        // Components short enough that only the whole length matters.
        path += (path.size() % 100 == 99) ? '/' : 'a';
    }
    path.resize(length);
    if (path.back() == '/') {
        path.back() = 'b';
    }
    return path;
}

std::string nested(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

std::string with_display_one(const std::string &extra) {
    return "{\"display\":1," + extra + "}";
}

// Reads a result text; false when it is not one JSON object.
bool parse_object(const char *text, rapidjson::Document *doc) {
    doc->Parse(text);
    return !doc->HasParseError() && doc->IsObject();
}

TEST(BadInput, EveryFailureGivesItsCodeAndMessageAndWritesNoOutParameter) {
    temp_dir dir;
    const std::string missing = dir.path() + "/no-such-dir/out.png";
    const std::string ten_mb(10u << 20, 'x');
    const std::string ten_mb_spaces(10u << 20, ' ');

    std::vector<call_case> cases;
    auto add = [&cases](call_case c) { cases.push_back(std::move(c)); };

    // --- probe
    add({.what = "probe, null out",
         .fn = export_fn::probe,
         .null_out = true,
         .code = -1,
         .message = "out_json pointer is NULL"});

    // --- screenshot: the path
    const std::string shot_empty = "output PNG path cannot be empty";
    add({.what = "shot, null path",
         .fn = export_fn::screenshot,
         .null_path = true,
         .code = -1,
         .message = shot_empty});
    add({.what = "shot, empty path",
         .fn = export_fn::screenshot,
         .path = "",
         .code = -1,
         .message = shot_empty});
    add({.what = "shot, null path and bad display: the path is checked first",
         .fn = export_fn::screenshot,
         .null_path = true,
         .options = "{\"display\":7}",
         .null_options = false,
         .code = -1,
         .message = shot_empty});
    for (std::size_t length : {std::size_t{1023}, std::size_t{1024}, std::size_t{5000}}) {
        const std::string p = path_of_length(dir.path(), length);
        add({.what = "shot, path of " + std::to_string(length) + " bytes in a missing directory",
             .fn = export_fn::screenshot,
             .path = p,
             .code = -4,
             .message = png_failure(p, -2)});
    }
    const std::string not_utf8 = dir.path() + "/missing/\xff\xfe\xc3(\x80.png";
    add({.what = "shot, non-UTF-8 path in a missing directory",
         .fn = export_fn::screenshot,
         .path = not_utf8,
         .code = -4,
         .message = png_failure(not_utf8, -2)});
    const std::string controls = dir.path() + "/missing/a\tb\nc\x01\x1f\"q\".png";
    add({.what = "shot, control characters in a missing directory",
         .fn = export_fn::screenshot,
         .path = controls,
         .code = -4,
         .message = png_failure(controls, -2)});

    // --- screenshot and start: documents that are read, and whose display
    // index names no display. The message proves what was read.
    struct display_doc {
        const char *what;
        std::string options;
        int32_t display;
    };
    const std::vector<display_doc> display_docs = {
        {"display 1", "{\"display\":1}", 1},
        {"display -1", "{\"display\":-1}", -1},
        {"display 2^31 is INT32_MIN", "{\"display\":2147483648}", INT32_MIN},
        {"display 2^32 + 1 is 1", "{\"display\":4294967297}", 1},
        {"display INT32_MAX", "{\"display\":2147483647}", INT32_MAX},
        {"100000 levels of nesting beside it", with_display_one("\"deep\":" + nested(100000)), 1},
        {"a 10 MB string beside it", with_display_one("\"junk\":\"" + ten_mb + "\""), 1},
        {"a 10 MB key beside it", with_display_one("\"" + ten_mb + "\":0"), 1},
        {"10 MB of white space around it", ten_mb_spaces + "{\"display\":1}" + ten_mb_spaces, 1},
        {"huge numbers and wrong types beside it",
         with_display_one("\"fps\":1e300,\"bitrate_kbps\":-99999999999999999999999,\"gif\":\"true\","
                          "\"codec\":[],\"audio\":{},\"region\":\"all\""),
         1},
        {"the first of two display keys counts", "{\"display\":3,\"display\":0}", 3},
    };
    for (const auto &d : display_docs) {
        const std::string message = "display index " + std::to_string(d.display) + " out of range";
        add({.what = std::string("shot, ") + d.what,
             .fn = export_fn::screenshot,
             .path = missing,
             .options = d.options,
             .null_options = false,
             .code = -2,
             .message = message});
        add({.what = std::string("start, ") + d.what,
             .fn = export_fn::start,
             .path = dir.file("out.mp4"),
             .options = d.options,
             .null_options = false,
             .code = -2,
             .message = message});
    }

    // --- screenshot: documents that are unreadable or of the wrong shape give
    // the defaults (display 0), so they fail only at the missing directory.
    const std::vector<std::pair<const char *, std::string>> default_docs = {
        {"trailing comma", "{\"display\":1,}"},
        {"comment", "{\"display\":1 /* one */}"},
        {"byte order mark", "\xef\xbb\xbf{\"display\":1}"},
        {"trailing text", "{\"display\":1} {}"},
        {"NaN", "{\"display\":1,\"fps\":NaN}"},
        {"invalid UTF-8 in a string", "{\"display\":1,\"codec\":\"\xff\"}"},
        {"unterminated", "{\"display\":1"},
        {"unbalanced nesting", "{\"display\":1,\"deep\":" + std::string(200000, '[')},
        {"root array", "[{\"display\":1}]"},
        {"display as a string", "{\"display\":\"1\"}"},
        {"display as a real", "{\"display\":1.0}"},
        {"display beyond 64 bits", "{\"display\":184467440737095516160}"},
        {"display true", "{\"display\":true}"},
        {"key in capitals", "{\"DISPLAY\":1}"},
        {"10 MB of garbage", ten_mb},
    };
    for (const auto &[what, options] : default_docs) {
        add({.what = std::string("shot, defaults from ") + what,
             .fn = export_fn::screenshot,
             .path = missing,
             .options = options,
             .null_options = false,
             .code = -4,
             .message = png_failure(missing, -2)});
    }

    // --- start: the path and the out parameter
    const std::string start_empty = "output path cannot be empty";
    add({.what = "start, null path",
         .fn = export_fn::start,
         .null_path = true,
         .code = -1,
         .message = start_empty});
    add({.what = "start, empty path",
         .fn = export_fn::start,
         .path = "",
         .code = -1,
         .message = start_empty});
    add({.what = "start, empty path and null out_job: the path is checked first",
         .fn = export_fn::start,
         .path = "",
         .null_out = true,
         .code = -1,
         .message = start_empty});
    add({.what = "start, null out_job",
         .fn = export_fn::start,
         .path = dir.file("out.mp4"),
         .null_out = true,
         .code = -1,
         .message = "job pointer is NULL"});
    add({.what = "start, 5000-byte path and null out_job: out_job is checked first",
         .fn = export_fn::start,
         .path = path_of_length(dir.path(), 5000),
         .null_out = true,
         .code = -1,
         .message = "job pointer is NULL"});
    for (std::size_t length : {std::size_t{1024}, std::size_t{5000}}) {
        add({.what = "start, path of " + std::to_string(length) + " bytes",
             .fn = export_fn::start,
             .path = path_of_length(dir.path(), length),
             .code = -1,
             .message = "output path too long"});
    }
    add({.what = "start, GIF job with a path of 1016 bytes: its temporary name would not fit",
         .fn = export_fn::start,
         .path = path_of_length(dir.path(), 1016),
         .options = "{\"gif\":true}",
         .null_options = false,
         .code = -1,
         .message = "output path too long"});

    // --- status and stop: job numbers that name no job in progress
    add({.what = "status, null out and job 0: out_json is checked first",
         .fn = export_fn::status,
         .job = 0,
         .null_out = true,
         .code = -1,
         .message = "out_json pointer is NULL"});
    add({.what = "status, null out and job 1",
         .fn = export_fn::status,
         .job = 1,
         .null_out = true,
         .code = -1,
         .message = "out_json pointer is NULL"});
    for (int32_t job : {INT32_MIN, -1, 0, 1, 8, 9, INT32_MAX}) {
        const std::string message = "invalid job handle " + std::to_string(job);
        add({.what = "status, job " + std::to_string(job),
             .fn = export_fn::status,
             .job = job,
             .code = -1,
             .message = message});
        add({.what = "stop, job " + std::to_string(job),
             .fn = export_fn::stop,
             .job = job,
             .code = -1,
             .message = message});
        add({.what = "stop, job " + std::to_string(job) + ", null out",
             .fn = export_fn::stop,
             .job = job,
             .null_out = true,
             .code = -1,
             .message = message});
    }

    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const call_result r = run(c);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(std::string(screenrecorder_last_error()), c.message);
        EXPECT_EQ(r.out_json, kSentinelText) << "a failing call wrote through out_json";
        EXPECT_EQ(r.out_job, kSentinelJob) << "a failing call wrote through out_job";
    }

    // None of the failed starts kept a slot: the next job is the first.
    int32_t job = kSentinelJob;
    ASSERT_EQ(screenrecorder_start(dir.file("after.mp4").c_str(), "{\"region\":{\"w\":64,\"h\":48}}", &job),
              0)
        << screenrecorder_last_error();
    EXPECT_EQ(job, 1);
    EXPECT_EQ(screenrecorder_stop(job, nullptr), 0);
}

TEST(BadInput, VersionAndLastErrorNeverReturnNull) {
    // Whatever failed before, both always answer with a terminated text.
    EXPECT_EQ(screenrecorder_probe(nullptr), -1);
    ASSERT_NE(screenrecorder_last_error(), nullptr);
    EXPECT_LT(std::strlen(screenrecorder_last_error()), 512u);
    ASSERT_NE(screenrecorder_version(), nullptr);
    EXPECT_STREQ(screenrecorder_version(), "1.0.0");
}

// Hostile but usable paths are taken, and the summary stays a JSON object
// whose output member reads back as the path's bytes.
TEST(BadInput, HostilePathsThatAreUsableGiveWellFormedSummaries) {
    static const char kSmall[] = "{\"region\":{\"w\":64,\"h\":48}}";
    temp_dir dir;
    struct path_case {
        const char *what;
        std::string path;
        const char *options;
    };
    const std::vector<path_case> cases = {
        {"control characters and quotes", dir.path() + "/missing/a\tb\nc\x01\x1f\"q\"\\.mp4", kSmall},
        {"non-UTF-8 bytes", dir.path() + "/missing/\xff\xfe\xc3(\x80.mp4", kSmall},
        {"a path of 1023 bytes", path_of_length(dir.path(), 1023), kSmall},
        {"a GIF job with a path of 1015 bytes", path_of_length(dir.path(), 1015),
         "{\"region\":{\"w\":64,\"h\":48},\"gif\":true}"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        int32_t job = kSentinelJob;
        ASSERT_EQ(screenrecorder_start(c.path.c_str(), c.options, &job), 0) << screenrecorder_last_error();
        ASSERT_GE(job, 1);
        ASSERT_LE(job, 8);
        const char *status = kSentinelText;
        ASSERT_EQ(screenrecorder_status(job, &status), 0);
        rapidjson::Document doc;
        EXPECT_TRUE(parse_object(status, &doc)) << status;

        const char *summary = kSentinelText;
        ASSERT_EQ(screenrecorder_stop(job, &summary), 0);
        ASSERT_NE(summary, kSentinelText);
        const std::size_t length = std::strlen(summary);
        EXPECT_LT(length, 1024u);
        if (c.path.size() < 900) {
            // Short enough to fit whole: one JSON object with the path in it.
            ASSERT_TRUE(parse_object(summary, &doc)) << summary;
            ASSERT_TRUE(doc.HasMember("output") && doc["output"].IsString());
            EXPECT_EQ(std::string(doc["output"].GetString(), doc["output"].GetStringLength()), c.path);
            EXPECT_EQ(doc["frames"].GetInt64(), 0) << "the file cannot be created: no frame";
        }
        // The job is gone: a second stop fails.
        EXPECT_EQ(screenrecorder_stop(job, nullptr), -1);
    }
}

#if !defined(_WIN32)
// A file name may hold any byte but '/' and NUL on Linux: a screenshot there
// is written, and its result text escapes what JSON requires.
TEST(BadInput, ScreenshotToAControlCharacterNameGivesValidJson) {
    temp_dir dir;
    const std::string path = dir.path() + "/a\tb\x01\"q\"\\\xff.png";
    const char *text = kSentinelText;
    ASSERT_EQ(screenrecorder_screenshot(path.c_str(), "{\"region\":{\"w\":16,\"h\":8}}", &text), 0)
        << screenrecorder_last_error();
    rapidjson::Document doc;
    ASSERT_TRUE(parse_object(text, &doc)) << text;
    EXPECT_EQ(std::string(doc["output"].GetString(), doc["output"].GetStringLength()), path);
    EXPECT_EQ(doc["width"].GetInt(), 16);
    EXPECT_EQ(doc["height"].GetInt(), 8);
    std::FILE *f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
}
#endif

} // namespace
