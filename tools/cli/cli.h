// The command line of kestrova-screenrecorder: parsing, the options document
// the friendly flags build, and the texts the program prints. Everything here
// is free of I/O so that it can be tested without a library or a screen.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

enum class command { none, help, version, probe, screenshot, record };

struct region {
    int32_t x = 0;
    int32_t y = 0;
    int32_t w = 0;
    int32_t h = 0;
};

// One parsed command line. The optional fields are those the user gave.
struct request {
    command cmd = command::none;
    bool help = false;   // --help after a command: that command's usage
    std::string library; // --library FILE, empty: the default search
    std::string file;    // the FILE of screenshot and record
    bool json = false;   // print the library's own texts
    std::optional<int32_t> display;
    std::optional<region> area;
    std::optional<int32_t> fps;
    std::optional<int32_t> bitrate_kbps;
    std::optional<std::string> codec;
    std::optional<std::string> options; // --options JSON, passed through as it is
    std::optional<double> duration_s;
    bool cursor = false;              // --cursor: the mouse pointer in the pictures
    std::optional<std::string> audio; // --audio: "system", "mic" or "both"
};

// Either a request or the message that explains why the line was refused.
struct parse_result {
    request req;
    std::string error;                // empty when the line was accepted
    command usage_of = command::none; // which usage text goes with the error
};

parse_result parse_command_line(const std::vector<std::string_view> &args);

// Strict decimal numbers: optional sign, digits only, nothing after them, and
// the value must fit. "30x", "", " 30", "+", "0x10" and overflow are refused.
std::optional<int64_t> parse_integer(std::string_view text);
std::optional<int32_t> parse_int32(std::string_view text);
// Seconds as digits with an optional fraction ("2", "0.5", "2.25"); no sign,
// exponent, hex, "inf" or "nan". The value must be above 0.
std::optional<double> parse_seconds(std::string_view text);
// "X,Y,W,H", four int32 values; W and H must be above 0.
std::optional<region> parse_region(std::string_view text);

// The last part of a path (after the last / or \\), which keeps the live
// status line short enough not to wrap.
std::string_view base_name(std::string_view path);

// Whether FILE names a GIF (ends in ".gif", any case).
bool is_gif_path(std::string_view path);

// The options document of a request: --options as it is, or the document the
// friendly flags describe ("" when none was given and no GIF is wanted).
std::string options_document(const request &req);

// Whether a document passed with --options sets "gif" to true (first key
// wins, as the library reads it).
bool document_requests_gif(const std::string &document);

// Usage texts: the program's, and one per command.
std::string usage(command cmd);

// Values of the library's texts, read back for the human-readable output.
struct status_values {
    double elapsed_s = 0;
    double size_mb = 0;
    int64_t dropped_frames = 0;
};
struct summary_values {
    std::string output;
    double size_mb = 0;
    double duration_s = 0;
    int64_t frames = 0;
    int64_t dropped_frames = 0;
};
std::optional<status_values> read_status(const char *json);
std::optional<summary_values> read_summary(const char *json);

// "0:03.2  1.25 MiB  0 dropped" (minutes:seconds.tenths; hours when needed).
std::string format_status(const status_values &s);
// "out.mp4: 1.25 MiB, 2.00 s, 60 frames, 0 dropped"
std::string format_summary(const summary_values &s);
// The probe text as a few readable lines, or nothing when it cannot be read.
std::optional<std::string> format_probe(const char *json);
// The screenshot text as one readable line, or nothing.
std::optional<std::string> format_screenshot(const char *json);

} // namespace cli
