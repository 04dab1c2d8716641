#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "cli/cli.h"

namespace {

using cli::command;

cli::parse_result parse(std::vector<std::string_view> args) {
    return cli::parse_command_line(args);
}

TEST(CliNumbers, IntegersAreStrict) {
    struct row {
        const char *text;
        bool ok;
        int32_t value;
    };
    const row rows[] = {
        {"0", true, 0},
        {"30", true, 30},
        {"+5", true, 5},
        {"-1", true, -1},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, INT32_MIN},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"4294967321", false, 0}, // would wrap to 25
        {"99999999999999999999", false, 0},
        {"30x", false, 0},
        {"x30", false, 0},
        {"", false, 0},
        {"+", false, 0},
        {"-", false, 0},
        {" 30", false, 0},
        {"30 ", false, 0},
        {"0x10", false, 0},
        {"1e3", false, 0},
        {"3.0", false, 0},
        {"--3", false, 0},
    };
    for (const row &r : rows) {
        auto v = cli::parse_int32(r.text);
        EXPECT_EQ(v.has_value(), r.ok) << "'" << r.text << "'";
        if (r.ok && v) {
            EXPECT_EQ(*v, r.value) << "'" << r.text << "'";
        }
    }
    EXPECT_EQ(cli::parse_integer("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(cli::parse_integer("-9223372036854775808"), INT64_MIN);
    EXPECT_FALSE(cli::parse_integer("9223372036854775808"));
    EXPECT_FALSE(cli::parse_integer("-9223372036854775809"));
}

TEST(CliNumbers, SecondsArePlainPositiveDecimals) {
    struct row {
        const char *text;
        double value; // 0: refused
    };
    const row rows[] = {
        {"5", 5},  {"2.5", 2.5}, {"0.001", 0.001}, {"0", 0},   {"0.0", 0},   {"-1", 0},
        {"+1", 0}, {"1e3", 0},   {"inf", 0},       {"nan", 0}, {".5", 0},    {"5.", 0},
        {"5s", 0}, {"0x10", 0},  {"", 0},          {" 5", 0},  {"1.2.3", 0}, {"99999999999", 0},
    };
    for (const row &r : rows) {
        auto v = cli::parse_seconds(r.text);
        EXPECT_EQ(v.has_value(), r.value != 0) << "'" << r.text << "'";
        if (v && r.value != 0) {
            EXPECT_DOUBLE_EQ(*v, r.value) << "'" << r.text << "'";
        }
    }
}

TEST(CliNumbers, RegionNeedsFourNumbersAndAPositiveSize) {
    auto r = cli::parse_region("-50,-20,640,480");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->x, -50);
    EXPECT_EQ(r->y, -20);
    EXPECT_EQ(r->w, 640);
    EXPECT_EQ(r->h, 480);
    for (const char *bad : {"1,2,3", "1,2,3,4,5", "1,2,0,4", "1,2,4,-4", "1,,3,4", "1,2,3,4,", ",1,2,3,4",
                            " 1,2,3,4", "1;2;3;4", "1,2,3,4x", "1,2,3,2147483648", ""}) {
        EXPECT_FALSE(cli::parse_region(bad)) << "'" << bad << "'";
    }
}

// Accepted command lines and the options document each one hands over.
TEST(CliCommandLine, FlagsBuildTheOptionsDocument) {
    struct row {
        std::vector<std::string_view> args;
        command cmd;
        const char *file;
        const char *document;
    };
    const row rows[] = {
        {{"record", "out.mp4"}, command::record, "out.mp4", ""},
        {{"record", "out.gif"}, command::record, "out.gif", R"({"gif":true})"},
        {{"record", "OUT.GIF", "--fps", "10"}, command::record, "OUT.GIF", R"({"fps":10,"gif":true})"},
        {{"record", "--fps=60", "out.mp4", "--display", "1", "--region", "-5,6,640,480", "--bitrate", "4000",
          "--codec", "hevc", "--duration", "2.5"},
         command::record,
         "out.mp4",
         R"({"display":1,"region":{"x":-5,"y":6,"w":640,"h":480},"fps":60,"bitrate_kbps":4000,"codec":"hevc"})"},
        {{"record", "--options", R"({"fps":5, "codec":"x"})", "out.mp4"},
         command::record,
         "out.mp4",
         R"({"fps":5, "codec":"x"})"},
        {{"record", "a.gif", "--options", R"({"gif":true,"fps":5})"},
         command::record,
         "a.gif",
         R"({"gif":true,"fps":5})"},
        // A screenshot named .gif is still a PNG request: no GIF key.
        {{"screenshot", "shot.gif", "--region", "0,0,10,10"},
         command::screenshot,
         "shot.gif",
         R"({"region":{"x":0,"y":0,"w":10,"h":10}})"},
        {{"screenshot", "--display=-1", "shot.png"}, command::screenshot, "shot.png", R"({"display":-1})"},
        {{"record", "--", "-odd.mp4"}, command::record, "-odd.mp4", ""},
        {{"screenshot", "--cursor", "shot.png"}, command::screenshot, "shot.png", R"({"cursor":true})"},
        {{"record", "clip.gif", "--cursor", "--region", "0,0,64,64"},
         command::record,
         "clip.gif",
         R"({"region":{"x":0,"y":0,"w":64,"h":64},"gif":true,"cursor":true})"},
        {{"record", "a.mp4", "--audio", "system"},
         command::record,
         "a.mp4",
         R"({"audio":"system","capture_audio":true})"},
        {{"record", "--audio=mic", "a.mp4", "--fps", "24"},
         command::record,
         "a.mp4",
         R"({"fps":24,"audio":"mic","capture_audio":true})"},
        {{"record", "a.mp4", "--audio", "both"},
         command::record,
         "a.mp4",
         R"({"audio":"both","capture_audio":true})"},
        {{"record", "-"}, command::record, "-", ""},
    };
    for (const row &r : rows) {
        auto p = parse(r.args);
        ASSERT_EQ(p.error, "") << r.args[0] << " " << r.file;
        EXPECT_EQ(p.req.cmd, r.cmd);
        EXPECT_EQ(p.req.file, r.file);
        EXPECT_EQ(cli::options_document(p.req), r.document) << r.file;
    }

    auto p = parse({"--library", "/opt/lib.so", "probe", "--json"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.req.cmd, command::probe);
    EXPECT_EQ(p.req.library, "/opt/lib.so");
    EXPECT_TRUE(p.req.json);

    p = parse({"record", "x.mp4", "--duration", "2.5"});
    ASSERT_TRUE(p.req.duration_s);
    EXPECT_DOUBLE_EQ(*p.req.duration_s, 2.5);
}

TEST(CliCommandLine, RefusesBadLinesWithAClearMessage) {
    struct row {
        std::vector<std::string_view> args;
        const char *message; // a part of the error text
        command usage_of;
    };
    const row rows[] = {
        {{}, "no command given", command::none},
        {{"film", "x.mp4"}, "unknown command 'film'", command::none},
        {{"--bogus"}, "unknown option '--bogus'", command::none},
        {{"record"}, "record: FILE is missing", command::record},
        {{"record", ""}, "FILE cannot be empty", command::record},
        {{"record", "a.mp4", "b.mp4"}, "unexpected argument 'b.mp4'", command::record},
        {{"probe", "extra"}, "probe: unexpected argument 'extra'", command::probe},
        {{"record", "a.mp4", "--fps", "30x"}, "invalid --fps value '30x'", command::record},
        {{"record", "a.mp4", "--fps", "0"}, "invalid --fps value '0'", command::record},
        {{"record", "a.mp4", "--fps", "121"}, "invalid --fps value '121'", command::record},
        {{"record", "a.mp4", "--fps", "4294967326"}, "invalid --fps value", command::record},
        {{"record", "a.mp4", "--fps"}, "--fps needs a value", command::record},
        {{"record", "a.mp4", "--bitrate", "100"}, "invalid --bitrate value '100'", command::record},
        {{"record", "a.mp4", "--codec", "vp9"}, "invalid --codec value 'vp9'", command::record},
        {{"record", "a.mp4", "--region", "1,2,3"}, "invalid --region value '1,2,3'", command::record},
        {{"record", "a.mp4", "--display", "one"}, "invalid --display value 'one'", command::record},
        {{"record", "a.mp4", "--duration", "0"}, "invalid --duration value '0'", command::record},
        {{"record", "a.mp4", "--duration", "5s"}, "invalid --duration value '5s'", command::record},
        {{"record", "a.mp4", "--fps", "10", "--fps=20"}, "--fps given twice", command::record},
        {{"record", "a.mp4", "--bogus"}, "record: unknown option '--bogus'", command::record},
        {{"record", "a.mp4", "--json=yes"}, "--json takes no value", command::record},
        {{"record", "a.mp4", "--cursor=true"}, "--cursor takes no value", command::record},
        {{"record", "a.mp4", "--cursor", "--cursor"}, "--cursor given twice", command::record},
        {{"screenshot", "a.png", "--options", "{}", "--cursor"}, "cannot be combined", command::screenshot},
        {{"probe", "--cursor"}, "probe: unknown option '--cursor'", command::probe},
        {{"record", "a.mp4", "--audio", "System"}, "invalid --audio value 'System'", command::record},
        {{"record", "a.mp4", "--audio"}, "--audio needs a value", command::record},
        {{"record", "a.mp4", "--audio", "mic", "--audio", "mic"}, "--audio given twice", command::record},
        {{"record", "a.gif", "--audio", "mic"}, "a GIF has no sound", command::record},
        {{"record", "a.mp4", "--options", "{}", "--audio", "mic"}, "cannot be combined", command::record},
        {{"screenshot", "a.png", "--audio", "mic"},
         "screenshot: unknown option '--audio'",
         command::screenshot},
        {{"screenshot", "a.png", "--fps", "10"}, "screenshot: unknown option '--fps'", command::screenshot},
        {{"probe", "--duration", "1"}, "probe: unknown option '--duration'", command::probe},
        {{"record", "a.mp4", "--options", "{}", "--fps", "10"}, "cannot be combined", command::record},
        {{"record", "a.gif", "--options", R"({"fps":5})"}, "must set \"gif\":true", command::record},
        // The first "gif" key is the one the library reads.
        {{"record", "a.gif", "--options", R"({"gif":false,"gif":true})"},
         "must set \"gif\":true",
         command::record},
        {{"record", "a.mp4", "--library"}, "--library needs a file name", command::record},
        {{"help", "film"}, "unknown command 'film'", command::none},
    };
    for (const row &r : rows) {
        auto p = parse(r.args);
        std::string line;
        for (auto a : r.args)
            line += std::string(a) + " ";
        EXPECT_NE(p.error.find(r.message), std::string::npos) << line << "-> '" << p.error << "'";
        EXPECT_EQ(p.usage_of, r.usage_of) << line;
    }
}

TEST(CliCommandLine, HelpForTheProgramAndEachCommand) {
    auto p = parse({"--help"});
    EXPECT_EQ(p.error, "");
    EXPECT_EQ(p.req.cmd, command::help);

    for (auto cmd : {command::probe, command::screenshot, command::record}) {
        const char *name = cmd == command::probe ? "probe" : cmd == command::record ? "record" : "screenshot";
        for (auto line :
             {std::vector<std::string_view>{name, "--help"}, std::vector<std::string_view>{"help", name},
              std::vector<std::string_view>{name, "-h", "--bogus"}}) {
            p = parse(line);
            EXPECT_EQ(p.error, "") << name;
            EXPECT_EQ(p.req.cmd, cmd) << name;
            EXPECT_TRUE(p.req.help) << name;
        }
        EXPECT_NE(cli::usage(cmd).find(std::string("kestrova-screenrecorder ") + name), std::string::npos);
    }
    // Every flag a command takes is in its usage text.
    for (const char *flag : {"--duration", "--display", "--region", "--fps", "--bitrate", "--codec",
                             "--cursor", "--options", "--json"}) {
        EXPECT_NE(cli::usage(command::record).find(flag), std::string::npos) << flag;
    }
    for (const char *flag : {"--display", "--region", "--cursor", "--options", "--json"}) {
        EXPECT_NE(cli::usage(command::screenshot).find(flag), std::string::npos) << flag;
    }
}

TEST(CliTexts, BaseNameOfUnixAndWindowsPaths) {
    EXPECT_EQ(cli::base_name("/home/me/rec/out.mp4"), "out.mp4");
    EXPECT_EQ(cli::base_name("C:\\rec\\out.mp4"), "out.mp4");
    EXPECT_EQ(cli::base_name("out.mp4"), "out.mp4");
    EXPECT_EQ(cli::base_name("dir/"), "");
}

TEST(CliTexts, ReadsAndFormatsTheLibrarysTexts) {
    auto s = cli::read_status(R"({"progress_percent":0,"elapsed_s":3.27,"size_mb":1.25,"dropped_frames":2})");
    ASSERT_TRUE(s);
    EXPECT_EQ(cli::format_status(*s), "0:03.2  1.25 MiB  2 dropped");
    EXPECT_EQ(cli::format_status({3725.9, 2048.5, 0}), "1:02:05.9  2048.50 MiB  0 dropped");
    EXPECT_EQ(cli::format_status({-1, 0, 0}), "0:00.0  0.00 MiB  0 dropped");

    // Sizes past 2 GiB and 64-bit counters come through whole.
    auto m = cli::read_summary(R"({"output":"C:\\rec\\a \"b\".mp4","size_mb":4096.00,"duration_s":10.00,)"
                               R"("frames":5000000000,"dropped_frames":1})");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->output, "C:\\rec\\a \"b\".mp4");
    EXPECT_EQ(m->frames, 5000000000);
    EXPECT_EQ(cli::format_summary(*m),
              "C:\\rec\\a \"b\".mp4: 4096.00 MiB, 10.00 s, 5000000000 frames, 1 dropped");

    auto probe = cli::format_probe(R"({"displays":[{"index":0,"width":1920,"height":1080,"refresh_hz":60}],)"
                                   R"("capture_method":"dxgi","can_audio":false})");
    ASSERT_TRUE(probe);
    EXPECT_EQ(*probe, "display 0: 1920x1080, 60 Hz\ncapture method: dxgi\naudio capture device: no\n");

    auto shot = cli::format_screenshot(
        R"({"ok":true,"output":"s.png","width":300,"height":200,"size_bytes":240173})");
    ASSERT_TRUE(shot);
    EXPECT_EQ(*shot, "s.png: 300x200, 240173 bytes");

    // A text that is not what was expected (cut at 1023 characters, say) is
    // not read; the program then prints it as it is.
    EXPECT_FALSE(cli::read_summary(R"({"output":"aaaa)"));
    EXPECT_FALSE(cli::read_status(nullptr));
    EXPECT_FALSE(cli::read_status(R"({"elapsed_s":"1","size_mb":0,"dropped_frames":0})"));
    EXPECT_FALSE(cli::format_probe(R"({"displays":{},"capture_method":"x","can_audio":true})"));
}

} // namespace
