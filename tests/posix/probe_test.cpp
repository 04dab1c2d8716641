// The probe export on Linux: display 0's size from the X server (or the
// fallback), and the audio answer from a private PulseAudio server.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "kestrova/screenrecorder.h"
#include "platform/platform.h"
#include "support/process_posix.h"
#include "support/pulse_posix.h"
#include "support/temp_dir.h"
#include "support/xvfb_posix.h"

namespace {

struct audio_case {
    const char *name;
    std::vector<std::string> modules;
    bool expected;
};

TEST(ProbeAudio, DefaultSourceOfARealServer) {
    if (!has_pulseaudio()) {
        GTEST_SKIP() << "pulseaudio is not installed (scripts/install-deps)";
    }
    const audio_case cases[] = {
        {"capture_source", {"module-null-source source_name=mic"}, true},
        // The only source is the monitor of an output: nothing captures.
        {"only_a_monitor", {"module-null-sink sink_name=speakers"}, false},
        {"no_devices_at_all", {}, false},
        {"monitor_and_source_source_default",
         {"module-null-sink sink_name=speakers", "module-null-source source_name=mic"},
         true},
    };
    for (const audio_case &c : cases) {
        pulse_server server(c.modules);
        ASSERT_TRUE(server.ok()) << c.name;
        EXPECT_EQ(platform_default_capture_device_exists(), c.expected) << c.name;
    }
}

TEST(ProbeAudio, NoServerOrASilentOneIsFalse) {
    temp_dir dir;
    {
        env_scope e("PULSE_SERVER", "unix:" + dir.file("nobody-listens"));
        EXPECT_FALSE(platform_default_capture_device_exists());
    }
    {
        // A socket that accepts connections but never says a word: the
        // answer is false once the one-second deadline has passed, and the
        // call does not hang.
        silent_pulse_server silent(dir.file("silent"));
        ASSERT_TRUE(silent.bound());
        ASSERT_TRUE(silent.listening());
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(platform_default_capture_device_exists());
        const auto took = std::chrono::steady_clock::now() - t0;
        EXPECT_GE(took, std::chrono::milliseconds(900));
        EXPECT_LT(took, std::chrono::seconds(10)) << "the deadline was not kept";
    }
}

std::string probe_text(int32_t w, int32_t h, bool audio) {
    return "{\"displays\":[{\"index\":0,\"width\":" + std::to_string(w) + ",\"height\":" + std::to_string(h) +
           ",\"refresh_hz\":60}],\"capture_method\":\"dxgi\",\"can_audio\":" + (audio ? "true" : "false") +
           "}";
}

TEST(Probe, ReportsDisplayZeroAndTheAudioAnswer) {
    temp_dir dir;
    env_scope no_pulse("PULSE_SERVER", "unix:" + dir.file("none"));
    const char *first = nullptr;
    {
        xvfb_server x(1280, 720);
        ASSERT_TRUE(x.ok());
        ASSERT_EQ(screenrecorder_probe(&first), 0);
        EXPECT_STREQ(first, probe_text(1280, 720, false).c_str());

        // Two monitors: still one entry, display 0's.
        ASSERT_EQ(run_x_command("xrandr --setmonitor A 800/211x720/190+0+0 none >/dev/null 2>&1"), 0);
        ASSERT_EQ(run_x_command("xrandr --setmonitor B 480/127x600/159+800+0 none >/dev/null 2>&1"), 0);
        const char *second = nullptr;
        ASSERT_EQ(screenrecorder_probe(&second), 0);
        EXPECT_EQ(second, first) << "the probe text moved";
        EXPECT_STREQ(second, probe_text(800, 720, false).c_str());
    }
    {
        no_display_scope nd;
        const char *out = nullptr;
        ASSERT_EQ(screenrecorder_probe(&out), 0);
        EXPECT_STREQ(out, probe_text(1920, 1080, false).c_str());
    }
    if (has_pulseaudio()) {
        no_display_scope nd;
        pulse_server server({"module-null-source source_name=mic"});
        ASSERT_TRUE(server.ok());
        const char *out = nullptr;
        ASSERT_EQ(screenrecorder_probe(&out), 0);
        EXPECT_STREQ(out, probe_text(1920, 1080, true).c_str());
    }
}

TEST(Probe, NullOutJsonChangesNothingElse) {
    no_display_scope nd;
    temp_dir dir;
    env_scope no_pulse("PULSE_SERVER", "unix:" + dir.file("none"));
    const char *out = nullptr;
    ASSERT_EQ(screenrecorder_probe(&out), 0);
    const std::string before = out;
    {
        xvfb_server x(640, 480); // a different answer, were the probe to run
        EXPECT_EQ(screenrecorder_probe(nullptr), -1);
    }
    EXPECT_STREQ(screenrecorder_last_error(), "out_json pointer is NULL");
    EXPECT_EQ(std::string(out), before);
}

} // namespace
