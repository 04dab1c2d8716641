// Feeds arbitrary path bytes (and arbitrary counters) through json_escape_path
// and the three result texts that carry a path or counters: the screenshot
// text, the status text and the stop summary. Every buffer is a heap block of
// exactly its size, so ASan sees any write past it. A text that was not cut
// must parse as JSON, and the path read back from it must be the path's bytes
// (all of them, or the prefix that the escaping's bound allows).
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>
#include <rapidjson/document.h>

#include "screenrecorder/result_text.h"

namespace {

[[noreturn]] void fail(const char *what, const std::string &text) {
    std::fprintf(stderr, "result text fault: %s\ntext (%zu bytes): %s\n", what, text.size(), text.c_str());
    std::abort();
}

std::size_t escaped_length(unsigned char c) {
    if (c == '\\' || c == '"') {
        return 2;
    }
    return c < 0x20 ? 6 : 1;
}

// Strict UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool is_valid_utf8(const std::string &s) {
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    const unsigned char *end = p + s.size();
    while (p < end) {
        const unsigned c = *p;
        std::size_t n = 0;
        unsigned lo = 0x80;
        unsigned hi = 0xBF;
        if (c < 0x80) {
            ++p;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            lo = c == 0xE0 ? 0xA0 : 0x80;
            hi = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            lo = c == 0xF0 ? 0x90 : 0x80;
            hi = c == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) <= n || p[1] < lo || p[1] > hi) {
            return false;
        }
        for (std::size_t i = 2; i <= n; ++i) {
            if (p[i] < 0x80 || p[i] > 0xBF) {
                return false;
            }
        }
        p += n + 1;
    }
    return true;
}

// Parses `text`; strict UTF-8 checking when `strict` is set.
bool parse(rapidjson::Document &doc, const char *text, bool strict) {
    if (strict) {
        doc.Parse<rapidjson::kParseValidateEncodingFlag>(text);
    } else {
        doc.Parse(text);
    }
    return !doc.HasParseError();
}

// Checks one escape into a destination of `dest_size` bytes; returns the
// number of path bytes that the escape kept.
std::size_t check_escape(const std::string &path, std::size_t dest_size, std::string *escaped) {
    std::unique_ptr<char[]> dest(new char[dest_size]);
    std::memset(dest.get(), 0x7F, dest_size);
    json_escape_path(path.c_str(), dest.get(), dest_size);
    const std::size_t count = strnlen(dest.get(), dest_size);
    if (count >= dest_size) {
        fail("escape not terminated within its buffer", std::string(dest.get(), dest_size));
    }
    escaped->assign(dest.get(), count);

    // Between double quotes it must be one JSON string.
    const std::string quoted = "\"" + *escaped + "\"";
    rapidjson::Document doc;
    if (!parse(doc, quoted.c_str(), false) || !doc.IsString()) {
        fail("escaped path is not a JSON string", quoted);
    }
    const std::string decoded(doc.GetString(), doc.GetStringLength());
    if (decoded.size() > path.size() || path.compare(0, decoded.size(), decoded) != 0) {
        fail("escaped path does not read back as a prefix of the path", quoted);
    }
    if (decoded.size() < path.size()) {
        // Cut: only because the next byte's escape would not fit. A byte is
        // taken while count + 2 < size, a control byte needs its six.
        const auto next = static_cast<unsigned char>(path[decoded.size()]);
        const bool room = count + 2 < dest_size && count + escaped_length(next) < dest_size;
        if (room) {
            fail("escape dropped a byte that fitted", quoted);
        }
    }
    return decoded.size();
}

// Formats like the library does, into a heap block of exactly 1024 bytes.
template <typename... Args> std::string format_text(const char *format, Args... args) {
    std::unique_ptr<char[]> buffer(new char[kResultTextSize]);
    const int n = std::snprintf(buffer.get(), kResultTextSize, format, args...);
    const std::size_t length = strnlen(buffer.get(), kResultTextSize);
    if (length >= kResultTextSize) {
        fail("result text not terminated", std::string(buffer.get(), kResultTextSize));
    }
    std::string text(buffer.get(), length);
    if (n < 0 || static_cast<std::size_t>(n) != length) {
        // Cut at the bound: must be exactly 1023 characters.
        if (length != kResultTextSize - 1) {
            fail("cut result text not 1023 characters", text);
        }
        text.clear();
    }
    return text;
}

void check_output_member(const std::string &text, const std::string &path, std::size_t kept, bool strict) {
    if (text.empty()) {
        return; // cut at 1023 characters: not JSON, and said so
    }
    rapidjson::Document doc;
    if (!parse(doc, text.c_str(), strict) || !doc.IsObject()) {
        fail("result text is not a JSON object", text);
    }
    if (!doc.HasMember("output") || !doc["output"].IsString()) {
        fail("result text has no output string", text);
    }
    const rapidjson::Value &output = doc["output"];
    if (std::string(output.GetString(), output.GetStringLength()) != path.substr(0, kept)) {
        fail("output member does not read back as the path", text);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const auto dest_size = in.ConsumeIntegralInRange<std::size_t>(1, 2 * kResultTextSize);
    const auto frames = in.ConsumeIntegral<int64_t>();
    const auto dropped = in.ConsumeIntegral<int64_t>();
    const auto fps = in.ConsumeIntegralInRange<int32_t>(1, 120);
    const auto bytes = in.ConsumeIntegralInRange<int64_t>(0, INT64_MAX);
    const auto elapsed_ms = in.ConsumeIntegralInRange<int64_t>(0, INT64_MAX);
    const auto width = in.ConsumeIntegral<int32_t>();
    const auto height = in.ConsumeIntegral<int32_t>();
    std::string path = in.ConsumeBytesAsString(in.remaining_bytes());
    path.resize(strnlen(path.c_str(), path.size())); // a C string ends at its first NUL

    // Any destination size, then the one every caller passes.
    std::string escaped;
    check_escape(path, dest_size, &escaped);
    const std::size_t kept = check_escape(path, kResultTextSize, &escaped);
    const bool strict = kept == path.size() && is_valid_utf8(path);

    const std::string shot =
        format_text("{\"ok\":true,\"output\":\"%s\",\"width\":%d,\"height\":%d,\"size_bytes\":%lld}",
                    escaped.c_str(), width, height, static_cast<long long>(bytes));
    check_output_member(shot, path, kept, strict);

    const std::string summary = format_text(
        "{\"output\":\"%s\",\"size_mb\":%.2f,\"duration_s\":%.2f,\"frames\":%lld,\"dropped_frames\":%lld}",
        escaped.c_str(), bytes_to_mib(bytes), static_cast<double>(frames) / static_cast<double>(fps),
        static_cast<long long>(frames), static_cast<long long>(dropped));
    check_output_member(summary, path, kept, strict);

    // The status text carries no path and always fits.
    const std::string status = format_text(
        "{\"progress_percent\":0,\"elapsed_s\":%.2f,\"size_mb\":%.2f,\"dropped_frames\":%lld}",
        static_cast<double>(elapsed_ms) / 1000.0, bytes_to_mib(bytes), static_cast<long long>(dropped));
    rapidjson::Document doc;
    if (status.empty() || !parse(doc, status.c_str(), true) || !doc.IsObject()) {
        fail("status text is not a JSON object", status);
    }
    return 0;
}
