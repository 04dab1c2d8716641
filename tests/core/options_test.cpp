#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>

#include "screenrecorder/options.h"
#include "support/sanitized.h"

namespace {

recording_options defaults() {
    recording_options o;
    std::memset(&o, 0, sizeof o);
    o.fps = 30;
    o.bitrate_kbps = 8000;
    std::memcpy(o.codec, "h264", 4);
    return o;
}

// Whole-record comparison, the codec field over all 16 bytes, so that a
// missing NUL fill or a stray byte after the name shows up.
bool same(const recording_options &a, const recording_options &b) {
    return a.display == b.display && a.has_region == b.has_region && a.region_x == b.region_x &&
           a.region_y == b.region_y && a.region_w == b.region_w && a.region_h == b.region_h &&
           a.fps == b.fps && a.bitrate_kbps == b.bitrate_kbps && a.gif == b.gif && a.audio == b.audio &&
           a.cursor == b.cursor && std::memcmp(a.codec, b.codec, sizeof a.codec) == 0 &&
           a.capture_audio == b.capture_audio;
}

std::string describe(const recording_options &o) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "{display %d, region %d (%d,%d %dx%d), fps %d, bitrate %d, gif %d, audio %d, cursor %d, "
                  "capture %d, codec "
                  "bytes",
                  o.display, o.has_region, o.region_x, o.region_y, o.region_w, o.region_h, o.fps,
                  o.bitrate_kbps, o.gif, o.audio, o.cursor, o.capture_audio);
    std::string s = text;
    for (unsigned char c : o.codec) {
        std::snprintf(text, sizeof text, " %u", static_cast<unsigned>(c));
        s += text;
    }
    s += "}";
    return s;
}

void set_codec(recording_options &o, const char *name) {
    std::memset(o.codec, 0, sizeof o.codec);
    std::memcpy(o.codec, name, std::strlen(name));
}

recording_options parsed(const char *json) {
    recording_options o;
    std::memset(&o, 0x5A, sizeof o); // every field must be written
    parse_options(json, &o);
    return o;
}

struct options_case {
    const char *name;
    const char *json;
    void (*expect)(recording_options &); // applied to the defaults; null: defaults
};

void check_cases(const options_case *cases, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const options_case &c = cases[i];
        recording_options want = defaults();
        if (c.expect != nullptr) {
            c.expect(want);
        }
        const recording_options got = parsed(c.json);
        EXPECT_TRUE(same(got, want)) << c.name << "\n  text: " << (c.json ? c.json : "(null)")
                                     << "\n  got:  " << describe(got) << "\n  want: " << describe(want);
    }
}

template <std::size_t N> void check_cases(const options_case (&cases)[N]) {
    check_cases(cases, N);
}

} // namespace

TEST(ParseOptions, TextsWithoutSettingsGiveDefaults) {
    const options_case cases[] = {
        {"null text", nullptr, nullptr},
        {"empty text", "", nullptr},
        {"empty object", "{}", nullptr},
        {"white space around an empty object", " \t\r\n{ }\n ", nullptr},
        {"unknown keys only", R"({"Fps": 10, "FPS": 10, "fps ": 10, "frame_rate": 10})", nullptr},
        {"root array", R"([{"fps": 10}])", nullptr},
        {"root string", R"("fps")", nullptr},
        {"root number", "10", nullptr},
        {"root true", "true", nullptr},
        {"root null", "null", nullptr},
    };
    check_cases(cases);
}

TEST(ParseOptions, UnreadableTextsGiveDefaults) {
    const options_case cases[] = {
        {"text after the root object", R"({"fps": 10} x)", nullptr},
        {"second root object", R"({"fps": 10}{"fps": 20})", nullptr},
        {"trailing comma in the object", R"({"fps": 10,})", nullptr},
        {"trailing comma in an inner array", R"({"fps": 10, "list": [1,]})", nullptr},
        {"line comment", "{\"fps\": 10 // ten\n}", nullptr},
        {"block comment", R"({/* ten */ "fps": 10})", nullptr},
        {"NaN literal", R"({"fps": 10, "bitrate_kbps": NaN})", nullptr},
        {"Infinity literal", R"({"fps": 10, "bitrate_kbps": Infinity})", nullptr},
        {"negative Infinity literal", R"({"fps": 10, "bitrate_kbps": -Infinity})", nullptr},
        {"byte order mark", "\xEF\xBB\xBF{\"fps\": 10}", nullptr},
        {"invalid UTF-8 in a string value",
         "{\"fps\": 10, \"codec\": \"h\xFF"
         "264\"}",
         nullptr},
        {"invalid UTF-8 in an ignored key", "{\"fps\": 10, \"\xC3\": 1}", nullptr},
        {"overlong UTF-8 encoding", "{\"fps\": 10, \"codec\": \"\xC0\xAF\"}", nullptr},
        {"UTF-8 encoded surrogate", "{\"fps\": 10, \"codec\": \"\xED\xA0\x80\"}", nullptr},
        {"lone escaped high surrogate", R"({"fps": 10, "codec": "\uD800"})", nullptr},
        {"single-quoted string", R"({"fps": 10, "codec": 'hevc'})", nullptr},
        {"unquoted key", R"({fps: 10})", nullptr},
        {"leading zero", R"({"fps": 010})", nullptr},
        {"leading plus", R"({"fps": +10})", nullptr},
        {"hexadecimal number", R"({"fps": 0x10})", nullptr},
        {"number without fraction digits", R"({"fps": 10.})", nullptr},
        {"real beyond the double range", R"({"fps": 10, "bitrate_kbps": 1e400})", nullptr},
        {"raw control byte in a string", "{\"fps\": 10, \"codec\": \"a\tb\"}", nullptr},
        {"unterminated object", R"({"fps": 10)", nullptr},
        {"unterminated string", R"({"fps": 10, "codec": "hevc)", nullptr},
    };
    check_cases(cases);
}

// Escapes and numbers at the edges of what a strict reader takes: a low
// surrogate needs a high one before it, a number must fit a double, and a zero
// is a zero whatever its exponent.
TEST(ParseOptions, SurrogatesAndNumberRangeAreReadStrictly) {
    static const std::string digits_2e308 = "2" + std::string(308, '0');
    static const std::string text_2e308 = R"({"fps": 10, "n": )" + digits_2e308 + "}";
    static const std::string digits_1e308 = "1" + std::string(308, '0');
    static const std::string text_1e308 = R"({"fps": 10, "n": )" + digits_1e308 + "}";
    static const std::string digits_max = "17976931348623157" + std::string(292, '0');
    static const std::string text_max = R"({"fps": 10, "n": [)" + digits_max + "]}";
    const auto fps10 = [](recording_options &o) { o.fps = 10; };
    const options_case cases[] = {
        // Unreadable: all defaults.
        {"lone low surrogate in an ignored value", R"({"fps": 10, "x": "\uDC00"})", nullptr},
        {"lone low surrogate as the codec", R"({"codec": "\uDC00"})", nullptr},
        {"lone low surrogate inside a word", R"({"fps": 10, "x": "ab\udfffcd"})", nullptr},
        {"lone low surrogate in a key", R"({"fps": 10, "\uDC00": 1})", nullptr},
        {"lone low surrogate deep inside", R"({"fps": 10, "a": [[{"b": "\uDD00"}]]})", nullptr},
        {"low surrogate before its high one", R"({"fps": 10, "x": "\uDC00\uD800"})", nullptr},
        {"low surrogate after a whole pair", R"({"fps": 10, "x": "\uD83D\uDE00\uDC00"})", nullptr},
        {"2e308", R"({"fps": 10, "n": 2e308})", nullptr},
        {"1.8e308", R"({"fps": 10, "n": 1.8e308})", nullptr},
        {"0.5e309", R"({"fps": 10, "n": 0.5e309})", nullptr},
        {"-1e400", R"({"fps": 10, "n": -1e400})", nullptr},
        {"just above the largest double", R"({"fps": 10, "n": 1.797693134862315808e308})", nullptr},
        {"2e308 written out", text_2e308.c_str(), nullptr},
        {"huge number inside an array", R"({"fps": 10, "n": [1, [2e999]]})", nullptr},
        // Readable: the document applies.
        {"surrogate pair", R"({"fps": 10, "x": "\uD83D\uDE00"})", fps10},
        {"escaped backslash before u", R"({"fps": 10, "x": "\\uDC00"})", fps10},
        {"0e400", R"({"fps": 10, "n": 0e400})", fps10},
        {"0.0e-999", R"({"fps": 10, "n": 0.0e-999})", fps10},
        {"-0.000E+999", R"({"fps": 10, "n": -0.000E+999})", fps10},
        {"1e-400 is a zero", R"({"fps": 10, "n": 1e-400})", fps10},
        {"the largest double", R"({"fps": 10, "n": 1.7976931348623157e308})", fps10},
        {"rounds down to the largest double", R"({"fps": 10, "n": 1.7976931348623158e308})", fps10},
        {"many leading zeros", R"({"fps": 10, "n": 0.001e310})", fps10},
        {"1e308 written out", text_1e308.c_str(), fps10},
        {"the largest double written out", text_max.c_str(), fps10},
        {"number-like text in strings", R"({"fps": 10, "codec": "1e400", "x": "0x10"})",
         [](recording_options &o) {
             o.fps = 10;
             set_codec(o, "1e400");
         }},
        // A zero with a huge exponent is a real: a wrong type, not a zero.
        {"0e400 as fps", R"({"fps": 0e400, "bitrate_kbps": 0.0e-999, "display": 0e400})", nullptr},
        {"reals beside integers",
         R"({"fps": 24, "display": -0.5e-3, "region": {"x": 1e300, "w": 64, "h": 2}})",
         [](recording_options &o) {
             o.fps = 24;
             o.region_w = 64;
             o.region_h = 2;
             o.has_region = 1;
         }},
    };
    check_cases(cases);
}

TEST(ParseOptions, TextEndsAtItsNul) {
    // Whatever follows the terminating NUL is not part of the text.
    const char text[] = "{\"fps\": 10}\0 garbage";
    EXPECT_EQ(parsed(text).fps, 10);
    const char cut[] = "{\"fps\": 10\0}";
    EXPECT_TRUE(same(parsed(cut), defaults()));
}

TEST(ParseOptions, TextEndingInsideAMultiByteCharacterIsNotReadPast) {
    // Each text sits at the very end of its own allocation, so that a read
    // past its NUL is caught by the address sanitizer build.
    const char *const texts[] = {
        "\"\xF3", "{\"codec\": \"\xF0", "{\"codec\": \"h\xE2\x82", "{\"fps\": 10, \"\xC3", "[\"\xF4\x8F",
    };
    for (const char *text : texts) {
        const std::size_t size = std::strlen(text) + 1;
        const std::unique_ptr<char[]> exact(new char[size]);
        std::memcpy(exact.get(), text, size);
        EXPECT_TRUE(same(parsed(exact.get()), defaults())) << text;
    }
}

TEST(ParseOptions, IntegerRangeAndTypeRules) {
    const options_case cases[] = {
        // fps: 1..120, integers only.
        {"fps 1", R"({"fps": 1})", [](recording_options &o) { o.fps = 1; }},
        {"fps 120", R"({"fps": 120})", [](recording_options &o) { o.fps = 120; }},
        {"fps 121", R"({"fps": 121})", nullptr},
        {"fps 0", R"({"fps": 0})", nullptr},
        {"fps -0 is the integer 0", R"({"fps": -0})", nullptr},
        {"fps -5", R"({"fps": -5})", nullptr},
        {"fps 25.0 is a real", R"({"fps": 25.0})", nullptr},
        {"fps 30.0 is a real", R"({"fps": 30.0, "display": 30.0})", nullptr},
        {"fps 1e2 is a real", R"({"fps": 1e2})", nullptr},
        {"fps 2.5e1 is a real", R"({"fps": 2.5e1})", nullptr},
        {"fps as a string", R"({"fps": "25"})", nullptr},
        {"fps true", R"({"fps": true})", nullptr},
        {"fps null", R"({"fps": null})", nullptr},
        {"fps 2^32 + 25 keeps its low 32 bits", R"({"fps": 4294967321})",
         [](recording_options &o) { o.fps = 25; }},
        {"fps 2^32 is 0", R"({"fps": 4294967296})", nullptr},
        {"fps 2^64 - 1 is -1", R"({"fps": 18446744073709551615})", nullptr},
        {"fps 2^64 + 25 is a real", R"({"fps": 18446744073709551641})", nullptr},
        {"fps -2^32 + 25 keeps its low 32 bits", R"({"fps": -4294967271})",
         [](recording_options &o) { o.fps = 25; }},
        // bitrate_kbps: above 100, no upper bound, 32-bit sign applies.
        {"bitrate 100", R"({"bitrate_kbps": 100})", nullptr},
        {"bitrate 101", R"({"bitrate_kbps": 101})", [](recording_options &o) { o.bitrate_kbps = 101; }},
        {"bitrate 2^31 - 1", R"({"bitrate_kbps": 2147483647})",
         [](recording_options &o) { o.bitrate_kbps = 2147483647; }},
        {"bitrate 2^31 is negative in 32 bits", R"({"bitrate_kbps": 2147483648})", nullptr},
        {"bitrate 3000000000 is negative in 32 bits", R"({"bitrate_kbps": 3000000000})", nullptr},
        {"bitrate 2^32 + 5000", R"({"bitrate_kbps": 4294972296})",
         [](recording_options &o) { o.bitrate_kbps = 5000; }},
        {"bitrate 5000.5", R"({"bitrate_kbps": 5000.5})", nullptr},
        {"bitrate as a string", R"({"bitrate_kbps": "5000"})", nullptr},
        // display: any 32-bit value; another type sets 0.
        {"display -1", R"({"display": -1})", [](recording_options &o) { o.display = -1; }},
        {"display 3", R"({"display": 3})", [](recording_options &o) { o.display = 3; }},
        {"display 2^31 wraps to INT32_MIN", R"({"display": 2147483648})",
         [](recording_options &o) { o.display = INT32_MIN; }},
        {"display -2^63", R"({"display": -9223372036854775808})", nullptr},
        {"display -2^63 - 1 is a real", R"({"display": -9223372036854775809})", nullptr},
        {"display 1.0", R"({"display": 1.0})", nullptr},
        {"display as a string", R"({"display": "1"})", nullptr},
        {"display false", R"({"display": false})", nullptr},
        {"display object", R"({"display": {"index": 1}})", nullptr},
    };
    check_cases(cases);
}

TEST(ParseOptions, GifAudioAndCodecRules) {
    const options_case cases[] = {
        {"gif true", R"({"gif": true})", [](recording_options &o) { o.gif = 1; }},
        {"gif false", R"({"gif": false})", nullptr},
        {"gif number 1", R"({"gif": 1})", nullptr},
        {"gif string true", R"({"gif": "true"})", nullptr},
        {"gif null", R"({"gif": null})", nullptr},
        {"audio mic", R"({"audio": "mic"})", [](recording_options &o) { o.audio = audio_mic; }},
        {"audio system", R"({"audio": "system"})", [](recording_options &o) { o.audio = audio_system; }},
        {"audio both", R"({"audio": "both"})", [](recording_options &o) { o.audio = audio_both; }},
        {"audio MIC", R"({"audio": "MIC"})", nullptr},
        {"audio other word", R"({"audio": "speakers"})", nullptr},
        {"audio empty string", R"({"audio": ""})", nullptr},
        {"audio mic with a suffix", R"({"audio": "mic2"})", nullptr},
        {"audio number", R"({"audio": 1})", nullptr},
        {"audio is taken up to its first NUL", R"({"audio": "mic\u0000phone"})",
         [](recording_options &o) { o.audio = audio_mic; }},
        {"codec hevc", R"({"codec": "hevc"})", [](recording_options &o) { set_codec(o, "hevc"); }},
        {"codec empty string", R"({"codec": ""})", nullptr},
        {"codec beginning with an escaped NUL", R"({"codec": "\u0000hevc"})", nullptr},
        {"codec number", R"({"codec": 265})", nullptr},
        {"codec null", R"({"codec": null})", nullptr},
        {"codec of 20 bytes keeps 15", R"({"codec": "abcdefghijklmnopqrst"})",
         [](recording_options &o) { set_codec(o, "abcdefghijklmno"); }},
        {"codec of exactly 15 bytes", R"({"codec": "abcdefghijklmno"})",
         [](recording_options &o) { set_codec(o, "abcdefghijklmno"); }},
        {"codec up to an escaped NUL", R"({"codec": "av1\u0000xyz"})",
         [](recording_options &o) { set_codec(o, "av1"); }},
        {"codec with escapes decoded", R"({"codec": "h\u0032\u00e9"})",
         [](recording_options &o) { set_codec(o, "h2\xC3\xA9"); }},
        {"codec ending in a multi-byte character cut at 15 bytes", "{\"codec\": \"abcdefghijklmn\xC3\xA9\"}",
         [](recording_options &o) { set_codec(o, "abcdefghijklmn\xC3"); }},
    };
    check_cases(cases);
}

TEST(ParseOptions, CursorTakesOnlyTheLiteralTrue) {
    const auto on = [](recording_options &o) { o.cursor = 1; };
    const options_case cases[] = {
        {"cursor true", R"({"cursor": true})", on},
        {"cursor false", R"({"cursor": false})", nullptr},
        {"cursor number 1", R"({"cursor": 1})", nullptr},
        {"cursor string true", R"({"cursor": "true"})", nullptr},
        {"cursor null", R"({"cursor": null})", nullptr},
        {"cursor object", R"({"cursor": {"show": true}})", nullptr},
        {"Cursor in capitals", R"({"Cursor": true})", nullptr},
        {"cursor true then false", R"({"cursor": true, "cursor": false})", on},
        {"cursor string first, true second", R"({"cursor": "true", "cursor": true})", nullptr},
        {"cursor beside the other keys",
         R"({"region": {"x": 1, "y": 2, "w": 30, "h": 40}, "cursor": true, "gif": true, "fps": 12})",
         [](recording_options &o) {
             o.cursor = 1;
             o.gif = 1;
             o.fps = 12;
             o.has_region = 1;
             o.region_x = 1;
             o.region_y = 2;
             o.region_w = 30;
             o.region_h = 40;
         }},
        {"cursor true in an unreadable text", R"({"cursor": true,})", nullptr},
    };
    check_cases(cases);
}

TEST(ParseOptions, CaptureAudioTakesOnlyTheLiteralTrue) {
    const options_case cases[] = {
        {"true", R"({"capture_audio": true})", [](recording_options &o) { o.capture_audio = 1; }},
        {"false", R"({"capture_audio": false})", nullptr},
        {"number 1", R"({"capture_audio": 1})", nullptr},
        {"string true", R"({"capture_audio": "true"})", nullptr},
        {"null", R"({"capture_audio": null})", nullptr},
        {"capitals are another key", R"({"Capture_Audio": true})", nullptr},
        {"first occurrence wins", R"({"capture_audio": true, "capture_audio": false})",
         [](recording_options &o) { o.capture_audio = 1; }},
        {"unusable first occurrence wins", R"({"capture_audio": 1, "capture_audio": true})", nullptr},
    };
    check_cases(cases);
}

TEST(ParseOptions, EveryAudioValueWithAndWithoutCapture) {
    struct audio_value {
        const char *json;
        int32_t mode;
    };
    const audio_value values[] = {{R"("mic")", audio_mic},   {R"("system")", audio_system},
                                  {R"("both")", audio_both}, {R"("")", audio_none},
                                  {R"("MIC")", audio_none},  {"3", audio_none}};
    for (const audio_value &v : values) {
        for (const char *capture : {"", R"(, "capture_audio": true)", R"(, "capture_audio": false)"}) {
            const std::string json = std::string(R"({"audio": )") + v.json + capture + "}";
            recording_options want = defaults();
            want.audio = v.mode;
            want.capture_audio = std::strstr(capture, "true") != nullptr ? 1 : 0;
            const recording_options got = parsed(json.c_str());
            EXPECT_TRUE(same(got, want)) << json << "\n  got:  " << describe(got);
        }
    }
}

TEST(ParseOptions, RegionObject) {
    const options_case cases[] = {
        {"origin only", R"({"region": {"x": 10, "y": 20}})",
         [](recording_options &o) {
             o.region_x = 10;
             o.region_y = 20;
         }},
        {"zero height", R"({"region": {"w": 640, "h": 0}})", [](recording_options &o) { o.region_w = 640; }},
        {"negative width", R"({"region": {"w": -640, "h": 480}})",
         [](recording_options &o) {
             o.region_w = -640;
             o.region_h = 480;
         }},
        {"negative origin, positive size", R"({"region": {"x": -50, "y": -50, "w": 100, "h": 100}})",
         [](recording_options &o) {
             o.region_x = -50;
             o.region_y = -50;
             o.region_w = 100;
             o.region_h = 100;
             o.has_region = 1;
         }},
        {"real x gives 0", R"({"region": {"x": 1.5, "y": 7, "w": 8, "h": 9}})",
         [](recording_options &o) {
             o.region_y = 7;
             o.region_w = 8;
             o.region_h = 9;
             o.has_region = 1;
         }},
        {"string width gives 0 and no region", R"({"region": {"w": "640", "h": 480}})",
         [](recording_options &o) { o.region_h = 480; }},
        {"width 2^32 + 640 keeps its low bits", R"({"region": {"w": 4294967936, "h": 1}})",
         [](recording_options &o) {
             o.region_w = 640;
             o.region_h = 1;
             o.has_region = 1;
         }},
        {"empty region", R"({"region": {}, "fps": 12})", [](recording_options &o) { o.fps = 12; }},
        {"other keys ignored", R"({"region": {"X": 5, "width": 5, "w": 2, "h": 3}})",
         [](recording_options &o) {
             o.region_w = 2;
             o.region_h = 3;
             o.has_region = 1;
         }},
        {"array region ignored, other keys apply", R"({"region": [0, 0, 100, 100], "fps": 15, "gif": true})",
         [](recording_options &o) {
             o.fps = 15;
             o.gif = 1;
         }},
        {"region null ignored", R"({"region": null, "fps": 15})", [](recording_options &o) { o.fps = 15; }},
        {"first x in the region wins", R"({"region": {"x": 1, "x": 2, "w": 4, "w": "a", "h": 5}})",
         [](recording_options &o) {
             o.region_x = 1;
             o.region_w = 4;
             o.region_h = 5;
             o.has_region = 1;
         }},
        {"first region wins", R"({"region": {"x": 1}, "region": {"x": 2, "w": 3, "h": 3}})",
         [](recording_options &o) { o.region_x = 1; }},
        {"first region unusable, second not taken", R"({"region": 5, "region": {"w": 3, "h": 3}})", nullptr},
        {"nested region keys are not the region's", R"({"region": {"inner": {"w": 3, "h": 3}}})", nullptr},
    };
    check_cases(cases);
}

TEST(ParseOptions, FirstOccurrenceOfAKeyWins) {
    const options_case cases[] = {
        {"fps 10 then 20", R"({"fps": 10, "fps": 20})", [](recording_options &o) { o.fps = 10; }},
        {"string fps first, usable second", R"({"fps": "25", "fps": 20})", nullptr},
        {"fps out of range first", R"({"fps": 500, "fps": 20})", nullptr},
        {"gif false then true", R"({"gif": false, "gif": true})", nullptr},
        {"codec empty first", R"({"codec": "", "codec": "hevc"})", nullptr},
        {"display string first", R"({"display": "2", "display": 2})", nullptr},
        {"audio other first", R"({"audio": "MIC", "audio": "mic"})", nullptr},
        {"keys in any order",
         R"({"gif": true, "codec": "hevc", "display": 1, "fps": 60, "bitrate_kbps": 4000})",
         [](recording_options &o) {
             o.gif = 1;
             set_codec(o, "hevc");
             o.display = 1;
             o.fps = 60;
             o.bitrate_kbps = 4000;
         }},
        {"a key holding a NUL is not the plain key", R"({"fps\u0000": 10})", nullptr},
    };
    check_cases(cases);
}

TEST(ParseOptions, LargeAndDeepTextsDoNotCrash) {
    // Deep nesting is parsed without recursion: a valid but deep value inside
    // the document must not cost the options beside it, and an unclosed one
    // makes the text unreadable.
    constexpr std::size_t depth = 1000000;
    std::string deep = R"({"fps": 24, "deep": )";
    deep.append(depth, '[');
    deep.append(depth, ']');
    deep += "}";
    EXPECT_EQ(parsed(deep.c_str()).fps, 24);

    std::string unclosed = R"({"fps": 24, "deep": )";
    for (std::size_t i = 0; i < depth / 8; ++i) {
        unclosed += R"({"a":)";
    }
    EXPECT_TRUE(same(parsed(unclosed.c_str()), defaults()));

    // About 10 MB of members, the usable keys at the far end.
    std::string large = "{";
    while (large.size() < 10u * 1024u * 1024u) {
        large += R"("padding": "0123456789abcdef0123456789abcdef0123456789abcdef", )";
    }
    large += R"("fps": 50, "codec": "hevc"})";
    const recording_options got = parsed(large.c_str());
    EXPECT_EQ(got.fps, 50);
    EXPECT_STREQ(got.codec, "hevc");
}

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

TEST(ParseOptions, RunningOutOfMemoryGivesDefaults) {
#if defined(_WIN32) || defined(KSR_SANITIZED)
    GTEST_SKIP() << "needs an address-space limit, which only a plain POSIX build can set";
#else
    // A document whose tree needs far more memory than the child process may
    // still take: the parse runs out part-way and must leave the defaults.
    std::string text = R"({"fps": 24, "codec": "hevc", "padding": [)";
    for (int i = 0; i < 4000000; ++i) {
        text += "1,";
    }
    text += "1]}";
    EXPECT_EXIT(
        {
            std::FILE *statm = std::fopen("/proc/self/statm", "r");
            unsigned long pages = 0;
            if (statm == nullptr || std::fscanf(statm, "%lu", &pages) != 1) {
                std::_Exit(100);
            }
            std::fclose(statm);
            rlimit limit{};
            getrlimit(RLIMIT_AS, &limit);
            limit.rlim_cur = pages * 4096ul + (32ul << 20);
            if (setrlimit(RLIMIT_AS, &limit) != 0) {
                std::_Exit(101);
            }
            recording_options o;
            parse_options(text.c_str(), &o);
            std::_Exit(same(o, defaults()) ? 0 : 102);
        },
        testing::ExitedWithCode(0), "");
#endif
}
