// Real recordings on Linux, read back with ffprobe and ffmpeg: codec, size,
// frame count, rate, the silent AAC track, the container, the pattern that
// stands in without an X display, and real pixels from a private Xvfb.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include <rapidjson/document.h>
#include <xcb/xcb.h>

#include "kestrova/screenrecorder.h"
#include "posix/converters/converter_test_helpers.h"
#include "screenrecorder/job.h"
#include "screenrecorder/pattern.h"
#include "screenrecorder/worker.h"
#include "support/ffprobe_posix.h"
#include "support/temp_dir.h"
#include "support/x_window_posix.h"
#include "support/xvfb_posix.h"

namespace {

struct summary {
    bool ok = false;
    std::string output;
    double size_mb = 0;
    double duration_s = 0;
    int64_t frames = -1;
    int64_t dropped_frames = -1;
};

summary parse_summary(const char *text) {
    summary s;
    rapidjson::Document doc;
    doc.Parse(text);
    if (doc.HasParseError() || !doc.IsObject()) {
        return s;
    }
    s.output = doc["output"].GetString();
    s.size_mb = doc["size_mb"].GetDouble();
    s.duration_s = doc["duration_s"].GetDouble();
    s.frames = doc["frames"].GetInt64();
    s.dropped_frames = doc["dropped_frames"].GetInt64();
    s.ok = true;
    return s;
}

// Starts a job, lets it record for `ms` milliseconds and stops it.
summary record_for(const std::string &path, const std::string &options, int ms) {
    int32_t job = 0;
    if (screenrecorder_start(path.c_str(), options.c_str(), &job) != 0) {
        ADD_FAILURE() << "start failed: " << screenrecorder_last_error();
        return {};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    const char *text = nullptr;
    if (screenrecorder_stop(job, &text) != 0) {
        ADD_FAILURE() << "stop failed: " << screenrecorder_last_error();
        return {};
    }
    const std::string error = g_jobs[job - 1].error;
    EXPECT_EQ(error, "");
    return parse_summary(text);
}

std::string region(int x, int y, int w, int h) {
    return "\"region\":{\"x\":" + std::to_string(x) + ",\"y\":" + std::to_string(y) +
           ",\"w\":" + std::to_string(w) + ",\"h\":" + std::to_string(h) + "}";
}

// Mean absolute difference over the colour bytes (the fourth byte carries
// no meaning in a recording).
double mean_colour_error(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
    if (a.size() != b.size() || a.empty()) {
        return 1e9;
    }
    double total = 0;
    std::size_t n = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (i % 4 == 3) {
            continue;
        }
        total += std::abs(static_cast<int>(a[i]) - static_cast<int>(b[i]));
        ++n;
    }
    return total / static_cast<double>(n);
}

class RecordingFilesTest : public ::testing::Test {
  protected:
    temp_dir dir_;
    no_display_scope no_display_; // the pattern, unless a test starts Xvfb
};

TEST_F(RecordingFilesTest, VideoAndSilentAudioAreWhatTheJobAsked) {
    struct file_case {
        const char *codec;
        int region_w;
        int region_h;
        const char *codec_name;
        const char *codec_tag;
        int width;
        int height;
    };
    const file_case cases[] = {
        {"h264", 1001, 599, "h264", "avc1", 1000, 598},
        {"hevc", 10, 10, "hevc", "hvc1", 16, 16},
        // x265's coding units: 32 x 32 only where both sides allow it, padded to them
        {"hevc", 301, 20, "hevc", "hvc1", 300, 20},
        {"hevc", 101, 35, "hevc", "hvc1", 100, 34},
        {"HEVC", 64, 48, "h264", "avc1", 64, 48}, // only the exact word selects HEVC
    };
    for (const file_case &c : cases) {
        const std::string name =
            std::string(c.codec) + "-" + std::to_string(c.region_w) + "x" + std::to_string(c.region_h);
        SCOPED_TRACE(name);
        const std::string path = dir_.file(name + ".mp4");
        const summary s = record_for(
            path, "{\"codec\":\"" + std::string(c.codec) + "\"," + region(0, 0, c.region_w, c.region_h) + "}",
            1200);
        ASSERT_TRUE(s.ok);
        EXPECT_GT(s.frames, 0);
        EXPECT_DOUBLE_EQ(s.duration_s, std::round(static_cast<double>(s.frames) / 30.0 * 100.0) / 100.0);

        const probed_file f = probe_media(path);
        ASSERT_TRUE(f.ok);
        EXPECT_NE(f.format_name.find("mp4"), std::string::npos) << f.format_name;
        ASSERT_EQ(f.count("video"), 1);
        ASSERT_EQ(f.count("audio"), 1);
        const probed_stream &v = *f.video();
        EXPECT_EQ(v.codec_name, c.codec_name);
        EXPECT_EQ(v.codec_tag, c.codec_tag);
        EXPECT_EQ(v.width, c.width);
        EXPECT_EQ(v.height, c.height);
        EXPECT_EQ(v.pix_fmt, "yuv420p");
        EXPECT_EQ(v.field_order, "progressive");
        EXPECT_EQ(v.r_frame_rate, "30/1");
        EXPECT_EQ(v.avg_frame_rate, "30/1");
        EXPECT_EQ(v.frames, s.frames);
        EXPECT_DOUBLE_EQ(v.start_time, 0.0);
        EXPECT_NEAR(v.duration, static_cast<double>(s.frames) / 30.0, 1e-6);
        const probed_stream &a = *f.audio();
        EXPECT_EQ(a.codec_name, "aac");
        EXPECT_EQ(a.sample_rate, 44100);
        EXPECT_EQ(a.channels, 2);
        // The silence follows the frames: 1470 sample frames per frame at 30 fps.
        EXPECT_NEAR(a.duration, static_cast<double>(s.frames) * 1470.0 / 44100.0, 0.05);
    }
}

TEST_F(RecordingFilesTest, FrameRatesOtherThanThirtyAreStampedExactly) {
    for (const int fps : {1, 24, 60}) {
        SCOPED_TRACE(fps);
        const std::string path = dir_.file("rate" + std::to_string(fps) + ".mp4");
        const summary s =
            record_for(path, "{\"fps\":" + std::to_string(fps) + "," + region(0, 0, 32, 32) + "}",
                       fps == 1 ? 2500 : 1000);
        ASSERT_TRUE(s.ok);
        const probed_file f = probe_media(path);
        ASSERT_TRUE(f.ok);
        ASSERT_NE(f.video(), nullptr);
        EXPECT_EQ(f.video()->frames, s.frames);
        EXPECT_EQ(f.video()->r_frame_rate, std::to_string(fps) + "/1");
        EXPECT_NEAR(f.video()->duration, static_cast<double>(s.frames) / fps, 1e-6);
    }
}

TEST_F(RecordingFilesTest, ContainerFollowsTheFileName) {
    struct container_case {
        const char *name;
        const char *format;
    };
    const container_case cases[] = {
        {"a.mp4", "mp4"},        {"b.mkv", "matroska"}, {"c.mov", "mov"}, {"no-extension", "mp4"},
        {"d.unknownext", "mp4"}, {"e.wav", "mp4"}, // a container that cannot hold the streams
    };
    for (const container_case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir_.file(c.name);
        const summary s = record_for(path, "{" + region(0, 0, 16, 16) + "}", 300);
        ASSERT_TRUE(s.ok);
        const probed_file f = probe_media(path);
        ASSERT_TRUE(f.ok);
        EXPECT_NE(f.format_name.find(c.format), std::string::npos) << f.format_name;
        ASSERT_NE(f.video(), nullptr);
        EXPECT_EQ(f.video()->frames, s.frames);
        EXPECT_EQ(f.count("audio"), 1);
    }
}

// A colon in a name is part of the file name: nothing before it is read as a
// protocol (FFmpeg's "pipe:" would write to standard output, "tcp:" would
// dial out), and the container still follows the name's ending.
TEST_F(RecordingFilesTest, NamesWithAColonAreFileNames) {
    struct name_case {
        std::string name;
        const char *format;
    };
    const name_case cases[] = {
        {"rec-12:30.mp4", "mp4"},   {"2026-12-10 14:18:30.mp4", "mp4"},
        {":leading.mp4", "mp4"},    {"pipe:1.mp4", "mp4"},
        {"tcp:x.mp4", "mp4"},       {"file:y.mp4", "mp4"},
        {"clip:1.mkv", "matroska"}, {dir_.file("absolute:12:30.mov"), "mov"},
    };
    const gif_test::cwd_scope cwd(dir_.path());
    for (const name_case &c : cases) {
        SCOPED_TRACE(c.name);
        const summary s = record_for(c.name, "{" + region(0, 0, 16, 16) + "}", 300);
        ASSERT_TRUE(s.ok);
        EXPECT_GT(s.frames, 0);
        EXPECT_EQ(s.output, c.name);
        struct stat st {};
        ASSERT_EQ(stat(c.name.c_str(), &st), 0) << "no file of exactly that name";
        EXPECT_GT(st.st_size, 0);
        // ffprobe reads names the same way, so it is told the name is a file.
        const probed_file f = probe_media("file:" + c.name);
        ASSERT_TRUE(f.ok);
        EXPECT_NE(f.format_name.find(c.format), std::string::npos) << f.format_name;
        ASSERT_NE(f.video(), nullptr);
        EXPECT_EQ(f.video()->frames, s.frames);
        EXPECT_EQ(f.count("audio"), 1);
    }
}

TEST_F(RecordingFilesTest, WithoutAnXDisplayTheFramesAreThePattern) {
    const int w = 128;
    const int h = 64;
    const std::string path = dir_.file("pattern.mp4");
    const summary s = record_for(path, "{" + region(0, 0, w, h) + "}", 400);
    ASSERT_TRUE(s.ok);
    ASSERT_GE(s.frames, 2);
    std::vector<uint8_t> expected(static_cast<std::size_t>(w) * h * 4);
    for (const int index : {0, 1}) {
        SCOPED_TRACE(index);
        const std::vector<uint8_t> decoded = decode_video_frame(path, index, w, h);
        ASSERT_FALSE(decoded.empty());
        generate_pattern_frame(expected.data(), w, h, index);
        // Within the codec's error: 4:2:0 and 8 Mbit/s leave a few levels.
        EXPECT_LT(mean_colour_error(decoded, expected), 3.0);
    }
    // Frame 1 is the pattern of frame 1, not of frame 0.
    std::vector<uint8_t> frame0(expected.size());
    generate_pattern_frame(frame0.data(), w, h, 0);
    EXPECT_GT(mean_colour_error(decode_video_frame(path, 1, w, h), frame0), 3.0);
}

TEST_F(RecordingFilesTest, OnAnXDisplayTheFramesAreTheScreen) {
    xvfb_server x(320, 240);
    ASSERT_TRUE(x.ok());
    ASSERT_EQ(run_x_command("xsetroot -solid '#c02040'"), 0);
    const std::string path = dir_.file("screen.mp4");
    const summary s = record_for(path, "{" + region(16, 8, 64, 32) + "}", 400);
    ASSERT_TRUE(s.ok);
    const std::vector<uint8_t> decoded = decode_video_frame(path, 0, 64, 32);
    ASSERT_FALSE(decoded.empty());
    std::vector<uint8_t> solid(decoded.size());
    for (std::size_t i = 0; i < solid.size(); i += 4) {
        solid[i + 0] = 0x40;
        solid[i + 1] = 0x20;
        solid[i + 2] = 0xc0;
        solid[i + 3] = 255;
    }
    EXPECT_LT(mean_colour_error(decoded, solid), 3.0);
}

// BGRA bytes of one colour (0xRRGGBB), for `pixels` pixels.
std::vector<uint8_t> solid_bgra(uint32_t rgb, std::size_t pixels) {
    std::vector<uint8_t> v(pixels * 4);
    for (std::size_t i = 0; i < v.size(); i += 4) {
        v[i + 0] = static_cast<uint8_t>(rgb);
        v[i + 1] = static_cast<uint8_t>(rgb >> 8);
        v[i + 2] = static_cast<uint8_t>(rgb >> 16);
        v[i + 3] = 255;
    }
    return v;
}

// A window of one colour over part of the screen, shown while the object
// lives (it belongs to the object's own connection).
class colour_window {
  public:
    colour_window(int16_t x, int16_t y, uint16_t w, uint16_t h, uint32_t rgb)
        : c_(xcb_connect(nullptr, nullptr)) {
        if (xcb_connection_has_error(c_) != 0) {
            return;
        }
        xcb_screen_t *s = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        show_colour_window(c_, s, x, y, w, h, rgb);
        x_round_trip(c_);
        ok_ = xcb_connection_has_error(c_) == 0;
    }
    ~colour_window() { xcb_disconnect(c_); }
    colour_window(const colour_window &) = delete;
    colour_window &operator=(const colour_window &) = delete;
    bool ok() const { return ok_; }

  private:
    xcb_connection_t *c_;
    bool ok_ = false;
};

TEST_F(RecordingFilesTest, EachMonitorIsRecordedWhereItLiesUnlessARegionSaysWhere) {
    // A screen split into two monitors: the left one red, the right one green.
    xvfb_server x(320, 240);
    ASSERT_TRUE(x.ok());
    constexpr uint32_t kLeft = 0xc02040;
    constexpr uint32_t kRight = 0x40c060;
    ASSERT_EQ(run_x_command("xsetroot -solid '#c02040'"), 0);
    colour_window right(160, 0, 160, 240, kRight);
    ASSERT_TRUE(right.ok());
    ASSERT_EQ(run_x_command("xrandr --setmonitor L 160/42x240/64+0+0 none >/dev/null 2>&1"), 0);
    ASSERT_EQ(run_x_command("xrandr --setmonitor R 160/42x240/64+160+0 none >/dev/null 2>&1"), 0);
    struct monitor_case {
        const char *name;
        std::string options;
        int w, h;
        uint32_t rgb;
    };
    const monitor_case cases[] = {
        {"display 1", R"({"display":1})", 160, 240, kRight},
        {"display 0", R"({"display":0})", 160, 240, kLeft},
        // A region is in coordinates of the whole screen, whatever the display.
        {"display 0, region on the right", "{\"display\":0," + region(200, 40, 64, 32) + "}", 64, 32, kRight},
        {"display 1, region on the left", "{\"display\":1," + region(40, 40, 64, 32) + "}", 64, 32, kLeft},
    };
    for (const monitor_case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir_.file("monitor.mp4");
        const summary s = record_for(path, c.options, 300);
        ASSERT_TRUE(s.ok);
        const std::vector<uint8_t> decoded = decode_video_frame(path, 0, c.w, c.h);
        ASSERT_FALSE(decoded.empty());
        EXPECT_LT(mean_colour_error(decoded, solid_bgra(c.rgb, decoded.size() / 4)), 3.0);
    }
}

TEST_F(RecordingFilesTest, SetUpFailureNamesTheFailingCall) {
    int32_t job = 0;
    const std::string path = dir_.file("no/such/dir/out.mp4");
    ASSERT_EQ(screenrecorder_start(path.c_str(), "{}", &job), 0);
    const char *text = nullptr;
    ASSERT_EQ(screenrecorder_stop(job, &text), 0);
    const summary s = parse_summary(text);
    EXPECT_EQ(s.frames, 0);
    EXPECT_EQ(s.size_mb, 0.0);
    EXPECT_EQ(std::string(g_jobs[job - 1].error),
              "avio_open failed for '" + path + "': No such file or directory");
}

// The worker over the production environment, except that the GIF step only
// looks at the temporary file: a GIF job's intermediate MP4 has no audio.
probed_file g_temporary;
void probe_instead_of_converting(const recording_job *job) {
    g_temporary = probe_media(job->temp_path);
}

TEST_F(RecordingFilesTest, GifJobsTemporaryFileHasNoAudio) {
    recording_job job{};
    job.opts.fps = 30;
    job.opts.bitrate_kbps = 8000;
    job.opts.gif = 1;
    std::snprintf(job.opts.codec, sizeof job.opts.codec, "h264");
    job.width = 32;
    job.height = 32;
    const std::string out = dir_.file("out.gif");
    std::snprintf(job.output_path, sizeof job.output_path, "%s", out.c_str());
    std::snprintf(job.temp_path, sizeof job.temp_path, "%s.tmp.mp4", out.c_str());
    worker_env env = platform_worker_env();
    env.convert_to_gif = probe_instead_of_converting;
    std::thread worker([&] { record_job(&job, env); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    shared_store(job.stop_requested, int32_t{1});
    worker.join();
    ASSERT_TRUE(g_temporary.ok);
    EXPECT_EQ(g_temporary.count("audio"), 0);
    ASSERT_EQ(g_temporary.count("video"), 1);
    EXPECT_EQ(g_temporary.video()->frames, job.frames);
}

} // namespace
