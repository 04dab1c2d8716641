#include "cli/cli.h"

#include <rapidjson/document.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace cli {
namespace {

// The flags a command accepts.
enum flag_bit : unsigned {
    f_json = 1u << 0,
    f_display = 1u << 1,
    f_region = 1u << 2,
    f_fps = 1u << 3,
    f_bitrate = 1u << 4,
    f_codec = 1u << 5,
    f_options = 1u << 6,
    f_duration = 1u << 7,
    f_cursor = 1u << 8,
    f_audio = 1u << 9,
};

struct flag_info {
    std::string_view name;
    flag_bit bit;
    bool takes_value;
};

constexpr flag_info k_flags[] = {
    {"--json", f_json, false},      {"--display", f_display, true},   {"--region", f_region, true},
    {"--fps", f_fps, true},         {"--bitrate", f_bitrate, true},   {"--codec", f_codec, true},
    {"--options", f_options, true}, {"--duration", f_duration, true}, {"--cursor", f_cursor, false},
    {"--audio", f_audio, true},
};

constexpr unsigned k_option_flags = f_display | f_region | f_fps | f_bitrate | f_codec | f_cursor | f_audio;

unsigned flags_of(command cmd) {
    switch (cmd) {
    case command::probe:
        return f_json;
    case command::screenshot:
        return f_json | f_display | f_region | f_cursor | f_options;
    case command::record:
        return f_json | f_display | f_region | f_fps | f_bitrate | f_codec | f_cursor | f_audio | f_options |
               f_duration;
    default:
        return 0;
    }
}

const char *name_of(command cmd) {
    switch (cmd) {
    case command::probe:
        return "probe";
    case command::screenshot:
        return "screenshot";
    case command::record:
        return "record";
    default:
        return "";
    }
}

std::optional<command> command_named(std::string_view word) {
    if (word == "probe")
        return command::probe;
    if (word == "screenshot")
        return command::screenshot;
    if (word == "record")
        return command::record;
    return std::nullopt;
}

std::string quoted(std::string_view text) {
    // Appended piece by piece: GCC 12 at -O3 warns falsely about the
    // overlap of "'" + std::string.
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('\'');
    out.append(text);
    out.push_back('\'');
    return out;
}

// Applies one flag's value to the request; an error text when it is refused.
std::string apply_flag(request &req, flag_bit bit, std::string_view name, std::string_view value) {
    auto bad = [&](const char *expected) {
        return "invalid " + std::string(name) + " value " + quoted(value) + ": expected " + expected;
    };
    switch (bit) {
    case f_display:
        if (auto v = parse_int32(value)) {
            req.display = *v;
            return {};
        }
        return bad("a display index (a whole number)");
    case f_region:
        if (auto v = parse_region(value)) {
            req.area = *v;
            return {};
        }
        return bad("X,Y,W,H (whole numbers, W and H above 0)");
    case f_fps:
        if (auto v = parse_int32(value); v && *v >= 1 && *v <= 120) {
            req.fps = *v;
            return {};
        }
        return bad("a whole number from 1 to 120");
    case f_bitrate:
        if (auto v = parse_int32(value); v && *v > 100) {
            req.bitrate_kbps = *v;
            return {};
        }
        return bad("kbit/s as a whole number from 101 to 2147483647");
    case f_codec:
        if (value == "h264" || value == "hevc") {
            req.codec = std::string(value);
            return {};
        }
        return bad("h264 or hevc");
    case f_audio:
        if (value == "system" || value == "mic" || value == "both") {
            req.audio = std::string(value);
            return {};
        }
        return bad("system, mic or both");
    case f_options:
        req.options = std::string(value);
        return {};
    case f_duration:
        if (auto v = parse_seconds(value)) {
            req.duration_s = *v;
            return {};
        }
        return bad("seconds above 0, such as 5 or 2.5");
    case f_json:
    case f_cursor:
        break;
    }
    return {};
}

parse_result fail(command cmd, std::string message) {
    parse_result r;
    r.req.cmd = cmd;
    r.error = std::move(message);
    r.usage_of = cmd;
    return r;
}

} // namespace

std::optional<int64_t> parse_integer(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size())
        return std::nullopt;
    // Accumulate as a negative number so that INT64_MIN fits.
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c < '0' || c > '9')
            return std::nullopt;
        int digit = c - '0';
        if (value < (std::numeric_limits<int64_t>::min() + digit) / 10)
            return std::nullopt;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == std::numeric_limits<int64_t>::min())
            return std::nullopt;
        value = -value;
    }
    return value;
}

std::optional<int32_t> parse_int32(std::string_view text) {
    auto v = parse_integer(text);
    if (!v || *v < std::numeric_limits<int32_t>::min() || *v > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<int32_t>(*v);
}

std::optional<double> parse_seconds(std::string_view text) {
    std::size_t i = 0;
    std::size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i, ++digits;
    if (digits == 0)
        return std::nullopt;
    if (i < text.size() && text[i] == '.') {
        ++i;
        std::size_t fraction = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i, ++fraction;
        if (fraction == 0)
            return std::nullopt;
    }
    if (i != text.size())
        return std::nullopt;
    std::string copy(text);
    errno = 0;
    double value = std::strtod(copy.c_str(), nullptr);
    // A year is far beyond any sensible recording and keeps the
    // millisecond arithmetic far from overflow.
    if (errno != 0 || !std::isfinite(value) || value <= 0 || value > 366.0 * 86400.0)
        return std::nullopt;
    return value;
}

std::optional<region> parse_region(std::string_view text) {
    int32_t parts[4];
    std::size_t start = 0;
    for (int n = 0; n < 4; ++n) {
        std::size_t comma = text.find(',', start);
        bool last = n == 3;
        if (last != (comma == std::string_view::npos))
            return std::nullopt;
        std::string_view piece = text.substr(start, last ? std::string_view::npos : comma - start);
        auto v = parse_int32(piece);
        if (!v)
            return std::nullopt;
        parts[n] = *v;
        start = comma + 1;
    }
    if (parts[2] <= 0 || parts[3] <= 0)
        return std::nullopt;
    return region{parts[0], parts[1], parts[2], parts[3]};
}

std::string_view base_name(std::string_view path) {
    std::size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool is_gif_path(std::string_view path) {
    if (path.size() < 4)
        return false;
    std::string_view ext = path.substr(path.size() - 4);
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return ext[0] == '.' && lower(ext[1]) == 'g' && lower(ext[2]) == 'i' && lower(ext[3]) == 'f';
}

bool document_requests_gif(const std::string &document) {
    rapidjson::Document doc;
    doc.Parse(document.c_str());
    if (doc.HasParseError() || !doc.IsObject())
        return false;
    auto it = doc.FindMember("gif");
    return it != doc.MemberEnd() && it->value.IsTrue();
}

std::string options_document(const request &req) {
    if (req.options)
        return *req.options;
    std::string doc;
    auto member = [&doc](const char *key, const std::string &value) {
        doc += doc.empty() ? "{" : ",";
        doc += "\"";
        doc += key;
        doc += "\":";
        doc += value;
    };
    if (req.display)
        member("display", std::to_string(*req.display));
    if (req.area) {
        const region &r = *req.area;
        member("region", "{\"x\":" + std::to_string(r.x) + ",\"y\":" + std::to_string(r.y) +
                             ",\"w\":" + std::to_string(r.w) + ",\"h\":" + std::to_string(r.h) + "}");
    }
    if (req.fps)
        member("fps", std::to_string(*req.fps));
    if (req.bitrate_kbps)
        member("bitrate_kbps", std::to_string(*req.bitrate_kbps));
    // The codec is one of a fixed set of plain words, so it needs no escaping.
    if (req.codec)
        member("codec", "\"" + *req.codec + "\"");
    if (req.cmd == command::record && is_gif_path(req.file))
        member("gif", "true");
    if (req.cursor)
        member("cursor", "true");
    // The source is one of a fixed set of plain words, so it needs no escaping.
    if (req.audio) {
        member("audio", "\"" + *req.audio + "\"");
        member("capture_audio", "true");
    }
    if (!doc.empty())
        doc += "}";
    return doc;
}

parse_result parse_command_line(const std::vector<std::string_view> &args) {
    parse_result result;
    request &req = result.req;
    unsigned seen = 0;
    bool only_positional = false;
    std::vector<std::string_view> positional;

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        bool looks_like_flag = !only_positional && arg.size() > 1 && arg[0] == '-';
        if (!looks_like_flag) {
            if (req.cmd == command::none) {
                if (arg == "help") {
                    req.cmd = command::help;
                    continue;
                }
                auto cmd = command_named(arg);
                if (!cmd)
                    return fail(command::none, "unknown command " + quoted(arg));
                req.cmd = *cmd;
                continue;
            }
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            only_positional = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            if (req.cmd == command::none)
                req.cmd = command::help;
            else
                req.help = true;
            return result;
        }
        if (arg == "--version" && req.cmd == command::none) {
            req.cmd = command::version;
            continue;
        }

        // --flag VALUE or --flag=VALUE
        std::string_view name = arg;
        std::optional<std::string_view> inline_value;
        if (auto eq = arg.find('='); eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            inline_value = arg.substr(eq + 1);
        }
        auto value_of = [&](std::string_view &out) -> bool {
            if (inline_value) {
                out = *inline_value;
                return true;
            }
            if (i + 1 >= args.size())
                return false;
            out = args[++i];
            return true;
        };

        if (name == "--library") {
            std::string_view value;
            if (!value_of(value) || value.empty())
                return fail(req.cmd, "--library needs a file name");
            req.library = std::string(value);
            continue;
        }

        const flag_info *flag = nullptr;
        for (const flag_info &f : k_flags) {
            if (f.name == name)
                flag = &f;
        }
        if (flag == nullptr || req.cmd == command::none || req.cmd == command::help ||
            req.cmd == command::version || (flags_of(req.cmd) & flag->bit) == 0) {
            if (req.cmd == command::none || req.cmd == command::help || req.cmd == command::version) {
                return fail(command::none, "unknown option " + quoted(arg));
            }
            return fail(req.cmd, std::string(name_of(req.cmd)) + ": unknown option " + quoted(name));
        }
        if (seen & flag->bit) {
            return fail(req.cmd, std::string(name_of(req.cmd)) + ": " + std::string(name) + " given twice");
        }
        seen |= flag->bit;
        if (!flag->takes_value) {
            if (inline_value) {
                return fail(req.cmd,
                            std::string(name_of(req.cmd)) + ": " + std::string(name) + " takes no value");
            }
            if (flag->bit == f_cursor)
                req.cursor = true;
            else
                req.json = true;
            continue;
        }
        std::string_view value;
        if (!value_of(value)) {
            return fail(req.cmd, std::string(name_of(req.cmd)) + ": " + std::string(name) + " needs a value");
        }
        if (std::string e = apply_flag(req, flag->bit, name, value); !e.empty()) {
            return fail(req.cmd, std::string(name_of(req.cmd)) + ": " + e);
        }
    }

    switch (req.cmd) {
    case command::none:
        return fail(command::none, "no command given");
    case command::version:
        if (!positional.empty())
            return fail(command::none, "unexpected argument " + quoted(positional[0]));
        return result;
    case command::help:
        if (positional.size() > 1)
            return fail(command::none, "help takes one command name");
        if (positional.size() == 1) {
            auto cmd = command_named(positional[0]);
            if (!cmd)
                return fail(command::none, "unknown command " + quoted(positional[0]));
            req.cmd = *cmd;
            req.help = true;
        }
        return result;
    case command::probe:
        if (!positional.empty()) {
            return fail(req.cmd, "probe: unexpected argument " + quoted(positional[0]));
        }
        return result;
    case command::screenshot:
    case command::record:
        break;
    }

    const char *name = name_of(req.cmd);
    if (positional.empty())
        return fail(req.cmd, std::string(name) + ": FILE is missing");
    if (positional.size() > 1) {
        return fail(req.cmd, std::string(name) + ": unexpected argument " + quoted(positional[1]));
    }
    if (positional[0].empty())
        return fail(req.cmd, std::string(name) + ": FILE cannot be empty");
    req.file = std::string(positional[0]);

    if (req.options && (seen & k_option_flags) != 0) {
        return fail(req.cmd, std::string(name) +
                                 ": --options passes a whole document; it cannot be combined with "
                                 "--display, --region, --fps, --bitrate, --codec, --cursor or --audio");
    }
    if (req.audio && is_gif_path(req.file)) {
        return fail(req.cmd, "record: a GIF has no sound; --audio needs an MP4 FILE");
    }
    // The file name decides the format; a document that asks for an MP4
    // would leave MP4 data in a file named .gif.
    if (req.cmd == command::record && req.options && is_gif_path(req.file) &&
        !document_requests_gif(*req.options)) {
        return fail(req.cmd, "record: FILE ends in .gif, so the --options document must set \"gif\":true");
    }
    return result;
}

std::string usage(command cmd) {
    switch (cmd) {
    case command::probe:
        return "usage: kestrova-screenrecorder probe [--json]\n"
               "\n"
               "Prints the first display's size, the capture method and whether a\n"
               "default audio capture device exists.\n"
               "\n"
               "  --json     print the library's probe text as it is\n";
    case command::screenshot:
        return "usage: kestrova-screenrecorder screenshot FILE [options]\n"
               "\n"
               "Writes one picture of the screen to the PNG file FILE.\n"
               "\n"
               "  --display N          display index (default 0)\n"
               "  --region X,Y,W,H     rectangle to take (default: the whole display)\n"
               "  --cursor             show the mouse pointer in the picture\n"
               "  --options JSON       pass this options document as it is\n"
               "                       (instead of --display, --region and --cursor)\n"
               "  --json               print the library's result text as it is\n";
    case command::record:
        return "usage: kestrova-screenrecorder record FILE [options]\n"
               "\n"
               "Records the screen into FILE: an MP4 (H.264 or HEVC with an AAC track,\n"
               "silent unless --audio names a source), or a GIF when FILE ends in\n"
               ".gif. Runs until --duration has passed or until Ctrl-C (SIGINT) or\n"
               "SIGTERM, then finishes the file and prints the summary.\n"
               "\n"
               "  --duration SECONDS   stop after this long (such as 5 or 2.5)\n"
               "  --display N          display index (default 0)\n"
               "  --region X,Y,W,H     rectangle to record (default: the whole display)\n"
               "  --fps N              frames per second, 1 to 120 (default 30)\n"
               "  --bitrate KBPS       video bit rate in kbit/s, above 100 (default 8000)\n"
               "  --codec h264|hevc    video codec (default h264)\n"
               "  --cursor             show the mouse pointer in the recording\n"
               "  --audio SOURCE       record sound instead of silence: system (what the\n"
               "                       machine plays), mic (the default input) or both\n"
               "  --options JSON       pass this options document as it is\n"
               "                       (instead of the seven flags above)\n"
               "  --json               print the library's status and summary texts,\n"
               "                       one per line\n";
    default:
        return "usage: kestrova-screenrecorder [--library FILE] COMMAND [ARGS]\n"
               "\n"
               "Commands:\n"
               "  probe                 show the display, capture method and audio device\n"
               "  screenshot FILE       write a PNG picture of the screen\n"
               "  record FILE           record the screen into an MP4 or GIF file\n"
               "  help [COMMAND]        show this text, or a command's options\n"
               "\n"
               "  --library FILE        load this library file instead of searching for it\n"
               "  --version             print the program's and the library's version\n"
               "  --help                show this text\n";
    }
}

std::optional<status_values> read_status(const char *json) {
    if (json == nullptr)
        return std::nullopt;
    rapidjson::Document doc;
    doc.Parse(json);
    if (doc.HasParseError() || !doc.IsObject())
        return std::nullopt;
    auto e = doc.FindMember("elapsed_s");
    auto s = doc.FindMember("size_mb");
    auto d = doc.FindMember("dropped_frames");
    if (e == doc.MemberEnd() || s == doc.MemberEnd() || d == doc.MemberEnd() || !e->value.IsNumber() ||
        !s->value.IsNumber() || !d->value.IsInt64()) {
        return std::nullopt;
    }
    return status_values{e->value.GetDouble(), s->value.GetDouble(), d->value.GetInt64()};
}

std::optional<summary_values> read_summary(const char *json) {
    if (json == nullptr)
        return std::nullopt;
    rapidjson::Document doc;
    doc.Parse(json);
    if (doc.HasParseError() || !doc.IsObject())
        return std::nullopt;
    auto o = doc.FindMember("output");
    auto s = doc.FindMember("size_mb");
    auto t = doc.FindMember("duration_s");
    auto f = doc.FindMember("frames");
    auto d = doc.FindMember("dropped_frames");
    auto end = doc.MemberEnd();
    if (o == end || s == end || t == end || f == end || d == end || !o->value.IsString() ||
        !s->value.IsNumber() || !t->value.IsNumber() || !f->value.IsInt64() || !d->value.IsInt64()) {
        return std::nullopt;
    }
    return summary_values{std::string(o->value.GetString(), o->value.GetStringLength()), s->value.GetDouble(),
                          t->value.GetDouble(), f->value.GetInt64(), d->value.GetInt64()};
}

std::string format_status(const status_values &s) {
    // Tenths of a second, cut rather than rounded so the clock never runs ahead.
    auto tenths = static_cast<long long>(s.elapsed_s > 0 ? s.elapsed_s * 10 : 0);
    long long seconds = tenths / 10;
    char clock[48];
    if (seconds >= 3600) {
        std::snprintf(clock, sizeof clock, "%lld:%02lld:%02lld.%lld", seconds / 3600, seconds / 60 % 60,
                      seconds % 60, tenths % 10);
    } else {
        std::snprintf(clock, sizeof clock, "%lld:%02lld.%lld", seconds / 60, seconds % 60, tenths % 10);
    }
    char buf[128];
    std::snprintf(buf, sizeof buf, "%s  %.2f MiB  %lld dropped", clock, s.size_mb,
                  static_cast<long long>(s.dropped_frames));
    return buf;
}

std::string format_summary(const summary_values &s) {
    char buf[160];
    std::snprintf(buf, sizeof buf, ": %.2f MiB, %.2f s, %lld frames, %lld dropped", s.size_mb, s.duration_s,
                  static_cast<long long>(s.frames), static_cast<long long>(s.dropped_frames));
    return s.output + buf;
}

std::optional<std::string> format_probe(const char *json) {
    if (json == nullptr)
        return std::nullopt;
    rapidjson::Document doc;
    doc.Parse(json);
    if (doc.HasParseError() || !doc.IsObject())
        return std::nullopt;
    auto displays = doc.FindMember("displays");
    auto method = doc.FindMember("capture_method");
    auto audio = doc.FindMember("can_audio");
    auto end = doc.MemberEnd();
    if (displays == end || method == end || audio == end || !displays->value.IsArray() ||
        !method->value.IsString() || !audio->value.IsBool()) {
        return std::nullopt;
    }
    std::string text;
    for (const auto &d : displays->value.GetArray()) {
        if (!d.IsObject())
            return std::nullopt;
        auto idx = d.FindMember("index");
        auto w = d.FindMember("width");
        auto h = d.FindMember("height");
        auto hz = d.FindMember("refresh_hz");
        if (idx == d.MemberEnd() || w == d.MemberEnd() || h == d.MemberEnd() || hz == d.MemberEnd() ||
            !idx->value.IsInt() || !w->value.IsInt() || !h->value.IsInt() || !hz->value.IsInt()) {
            return std::nullopt;
        }
        char line[96];
        std::snprintf(line, sizeof line, "display %d: %dx%d, %d Hz\n", idx->value.GetInt(), w->value.GetInt(),
                      h->value.GetInt(), hz->value.GetInt());
        text += line;
    }
    text += "capture method: ";
    text.append(method->value.GetString(), method->value.GetStringLength());
    text += "\naudio capture device: ";
    text += audio->value.GetBool() ? "yes\n" : "no\n";
    return text;
}

std::optional<std::string> format_screenshot(const char *json) {
    if (json == nullptr)
        return std::nullopt;
    rapidjson::Document doc;
    doc.Parse(json);
    if (doc.HasParseError() || !doc.IsObject())
        return std::nullopt;
    auto o = doc.FindMember("output");
    auto w = doc.FindMember("width");
    auto h = doc.FindMember("height");
    auto s = doc.FindMember("size_bytes");
    auto end = doc.MemberEnd();
    if (o == end || w == end || h == end || s == end || !o->value.IsString() || !w->value.IsInt() ||
        !h->value.IsInt() || !s->value.IsInt64()) {
        return std::nullopt;
    }
    char buf[96];
    std::snprintf(buf, sizeof buf, ": %dx%d, %lld bytes", w->value.GetInt(), h->value.GetInt(),
                  static_cast<long long>(s->value.GetInt64()));
    return std::string(o->value.GetString(), o->value.GetStringLength()) + buf;
}

} // namespace cli
