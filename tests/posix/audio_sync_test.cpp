// Sound and picture stay together in a long recording: a helper plays a
// click to the default output every two seconds and flashes the screen at the
// moment the click is heard. In the file, every click begins within one frame
// interval plus 20 ms of its flash's first frame, and the offset does not
// drift over the recording. Each flash begins with a ramp of grey whose level
// tells how long it had been shown when its first frame was grabbed, so the
// flash's moment is known within the frame and the drift is measured free of
// where the frames happened to fall.
#include <gtest/gtest.h>

#include <pulse/simple.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "kestrova/screenrecorder.h"
#include "screenrecorder/job.h"
#include "support/ffprobe_posix.h"
#include "support/pulse_posix.h"
#include "support/sanitized.h"
#include "support/temp_dir.h"
#include "support/xvfb_posix.h"

namespace {

using steady = std::chrono::steady_clock;

#if defined(KSR_SANITIZED)
constexpr int kRecordSeconds = 20;
#else
constexpr int kRecordSeconds = 60;
#endif
constexpr int kFps = 30;
constexpr int kBlockFrames = 441; // 10 ms pieces
constexpr int kClickEveryBlocks = 200;
// The first kRampMs of a flash are grey of level kRampBase + kRampSlope x ms
// (then white), so the level of its first frame tells its age.
constexpr double kRampMs = 45;
constexpr double kRampBase = 64;
constexpr double kRampSlope = 4;

// Plays silence with a 3 kHz click every two seconds and flashes the root
// window from the moment each click is heard (its playback latency accounted
// for) for a quarter of a second: the ramp of grey, then white.
class click_and_flash {
  public:
    explicit click_and_flash(const std::string &display) {
        x_ = xcb_connect(display.c_str(), nullptr);
        const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(x_)).data;
        root_ = screen->root;
        paint(0);
        player_ = std::thread([this] { play(); });
        flasher_ = std::thread([this] { flash(); });
    }
    ~click_and_flash() {
        stop_.store(true);
        player_.join();
        flasher_.join();
        xcb_disconnect(x_);
    }
    click_and_flash(const click_and_flash &) = delete;
    click_and_flash &operator=(const click_and_flash &) = delete;

    // Clicks are played from the next whole two seconds on.
    void begin() { armed_.store(true); }
    bool ok() const { return playing_.load(); }

  private:
    // Grey of `level` (0 black, 255 white) on the 24-bit true-colour screen.
    void paint(uint32_t level) {
        const uint32_t pixel = level * 0x010101u;
        xcb_change_window_attributes(x_, root_, XCB_CW_BACK_PIXEL, &pixel);
        xcb_clear_area(x_, 0, root_, 0, 0, 0, 0);
        // A round trip: the screen has changed when it returns.
        std::free(xcb_get_input_focus_reply(x_, xcb_get_input_focus(x_), nullptr));
    }

    void play() {
        const pa_sample_spec format{PA_SAMPLE_S16LE, 44100, 2};
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = 2 * kBlockFrames * 4;
        attr.prebuf = static_cast<uint32_t>(-1);
        attr.minreq = static_cast<uint32_t>(-1);
        attr.fragsize = static_cast<uint32_t>(-1);
        pa_simple *s = pa_simple_new(nullptr, "click and flash", PA_STREAM_PLAYBACK, nullptr, "clicks",
                                     &format, nullptr, &attr, nullptr);
        if (s == nullptr) {
            return;
        }
        int16_t silence[kBlockFrames * 2] = {};
        int16_t click[kBlockFrames * 2];
        for (int i = 0; i < kBlockFrames; ++i) {
            const double x = 0.8 * std::sin(2 * 3.14159265358979323846 * 3000.0 * i / 44100.0);
            click[i * 2] = click[i * 2 + 1] = static_cast<int16_t>(x * 32767);
        }
        int64_t block = 0;
        while (!stop_.load()) {
            const bool clicking = armed_.load() && block % kClickEveryBlocks == 0;
            if (pa_simple_write(s, clicking ? click : silence, sizeof silence, nullptr) < 0) {
                break;
            }
            playing_.store(true);
            if (clicking) {
                // The click is the last piece written: it starts being heard
                // one piece before the end of what is buffered.
                const pa_usec_t latency = pa_simple_get_latency(s, nullptr);
                const auto heard =
                    steady::now() + std::chrono::microseconds(latency) - std::chrono::milliseconds(10);
                std::lock_guard<std::mutex> lock(mutex_);
                flash_at_.push_back(heard);
            }
            ++block;
        }
        pa_simple_free(s);
    }

    void flash() {
        while (!stop_.load()) {
            steady::time_point at{};
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!flash_at_.empty()) {
                    at = flash_at_.front();
                    flash_at_.erase(flash_at_.begin());
                }
            }
            if (at == steady::time_point{}) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            std::this_thread::sleep_until(at);
            // The ramp follows the moment the flash is due, however late
            // this thread woke: the level always tells the flash's age.
            for (;;) {
                const double age = std::chrono::duration<double, std::milli>(steady::now() - at).count();
                if (age >= kRampMs) {
                    break;
                }
                paint(static_cast<uint32_t>(kRampBase + kRampSlope * age));
            }
            paint(255);
            std::this_thread::sleep_until(at + std::chrono::milliseconds(250));
            paint(0);
        }
    }

    xcb_connection_t *x_ = nullptr;
    xcb_window_t root_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> armed_{false};
    std::atomic<bool> playing_{false};
    std::mutex mutex_;
    std::vector<steady::time_point> flash_at_;
    std::thread player_;
    std::thread flasher_;
};

// Frames where the picture turns bright.
std::vector<int64_t> flash_frames(const std::vector<double> &brightness) {
    std::vector<int64_t> out;
    for (std::size_t i = 1; i < brightness.size(); ++i) {
        if (brightness[i] > 32 && brightness[i - 1] <= 32) {
            out.push_back(static_cast<int64_t>(i));
        }
    }
    return out;
}

// When (in seconds of the file) the flash of first frame f began: its level
// against the black before it and the white within it tells how long the
// ramp had been shown.
double flash_moment(const std::vector<double> &brightness, int64_t f) {
    const auto at = static_cast<std::size_t>(f);
    const double black = brightness[at - 1];
    const double white = at + 3 < brightness.size() ? brightness[at + 3] : 255.0;
    const double level = 255.0 * (brightness[at] - black) / std::max(white - black, 1.0);
    const double age_ms = std::clamp((level - kRampBase) / kRampSlope, 0.0, kRampMs);
    return static_cast<double>(f) / kFps - age_ms / 1000.0;
}

// Sample frames where a click begins: loud after at least 100 ms of quiet.
std::vector<int64_t> click_onsets(const std::vector<int16_t> &s) {
    std::vector<int64_t> out;
    int64_t last_loud = -1000000;
    for (std::size_t i = 0; i < s.size() / 2; ++i) {
        if (std::abs(static_cast<int>(s[i * 2])) > 8000) {
            const auto at = static_cast<int64_t>(i);
            if (at - last_loud > 4410) {
                out.push_back(at);
            }
            last_loud = at;
        }
    }
    return out;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

} // namespace

TEST(AudioSync, ClicksStayWithTheirFlashesWithoutDrift) {
    if (!has_pulseaudio()) {
        GTEST_SKIP() << "pulseaudio is not installed (scripts/install-deps)";
    }
    temp_dir dir;
    xvfb_server x(320, 240);
    ASSERT_TRUE(x.ok());
    pulse_server server({"module-null-sink sink_name=speakers"});
    ASSERT_TRUE(server.ok());
    ASSERT_EQ(server.pactl("set-default-sink speakers"), 0);
    click_and_flash helper(x.display());
    pulse_listener speakers("speakers.monitor");
    ASSERT_TRUE(speakers.ok());
    ASSERT_TRUE(helper.ok());

    const std::string path = dir.file("sync.mp4");
    int32_t job = 0;
    ASSERT_EQ(screenrecorder_start(path.c_str(), R"({"fps":30,"capture_audio":true,"audio":"system"})", &job),
              0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    helper.begin();
    std::this_thread::sleep_for(std::chrono::seconds(kRecordSeconds));
    const char *text = nullptr;
    ASSERT_EQ(screenrecorder_stop(job, &text), 0);
    EXPECT_STREQ(g_jobs[job - 1].error, "");

    const std::vector<double> brightness = decode_video_brightness(path);
    const std::vector<int64_t> flashes = flash_frames(brightness);
    const std::vector<int64_t> clicks = click_onsets(decode_audio(path));
    ASSERT_GE(static_cast<int>(flashes.size()), kRecordSeconds / 2 - 2);
    EXPECT_EQ(clicks.size(), flashes.size());

    const double allowed = 1.0 / kFps + 0.020;
    std::vector<double> offsets; // click minus the flash's own moment
    for (const int64_t f : flashes) {
        const double flash_s = static_cast<double>(f) / kFps;
        double best = 1e9;
        for (const int64_t c : clicks) {
            const double d = static_cast<double>(c) / 44100.0 - flash_s;
            if (std::abs(d) < std::abs(best)) {
                best = d;
            }
        }
        EXPECT_LE(std::abs(best), allowed)
            << "the flash of frame " << f << " and its click are " << best * 1000 << " ms apart";
        offsets.push_back(best + flash_s - flash_moment(brightness, f));
    }
    ASSERT_GE(offsets.size(), 4u);
    // No drift: the clicks of the last third sit where those of the first
    // third did, against the flashes' own moments (the median of each, so
    // that one frame grabbed late on a busy machine does not count as drift).
    const std::size_t third = offsets.size() / 3;
    const double first = median(std::vector<double>(offsets.begin(), offsets.begin() + third));
    const double last = median(std::vector<double>(offsets.end() - third, offsets.end()));
    EXPECT_LE(std::abs(last - first), 0.010)
        << "first third " << first * 1000 << " ms, last " << last * 1000 << " ms";
    std::string all;
    for (const double o : offsets) {
        all += std::to_string(static_cast<int>(std::lround(o * 1000))) + " ";
    }
    std::printf("click minus flash, ms: %s\n", all.c_str());
}
