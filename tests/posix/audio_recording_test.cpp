// Live sound in real recordings, from a private PulseAudio server: a 1 kHz
// tone played to the default output, a 440 Hz tone on the default input,
// both mixed; the design's silence without the key; silence and every frame
// when there is no server or it dies mid-recording. Read back with ffmpeg.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <rapidjson/document.h>

#include "kestrova/screenrecorder.h"
#include "screenrecorder/job.h"
#include "support/ffprobe_posix.h"
#include "support/pulse_posix.h"
#include "support/temp_dir.h"
#include "support/xvfb_posix.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

struct recorded {
    bool ok = false;
    int64_t frames = 0;
    std::vector<int16_t> samples; // interleaved stereo
};

recorded record(const std::string &path, const std::string &options, int ms,
                const std::function<void()> &meanwhile = nullptr) {
    recorded r;
    int32_t job = 0;
    if (screenrecorder_start(path.c_str(), options.c_str(), &job) != 0) {
        ADD_FAILURE() << "start failed: " << screenrecorder_last_error();
        return r;
    }
    if (meanwhile) {
        meanwhile();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    const char *text = nullptr;
    if (screenrecorder_stop(job, &text) != 0) {
        ADD_FAILURE() << "stop failed: " << screenrecorder_last_error();
        return r;
    }
    EXPECT_STREQ(g_jobs[job - 1].error, "");
    rapidjson::Document doc;
    doc.Parse(text);
    r.frames = doc["frames"].GetInt64();
    r.samples = decode_audio(path);
    r.ok = !r.samples.empty();
    return r;
}

// The amplitude (0..1 of full scale) of frequency f in the left channel of
// samples [from, to) (sample frames), by correlation.
double amplitude_at(const std::vector<int16_t> &s, std::size_t from, std::size_t to, double f) {
    double re = 0;
    double im = 0;
    for (std::size_t i = from; i < to; ++i) {
        const double x = s[i * 2] / 32768.0;
        re += x * std::cos(2 * kPi * f * static_cast<double>(i) / 44100.0);
        im += x * std::sin(2 * kPi * f * static_cast<double>(i) / 44100.0);
    }
    return 2 * std::sqrt(re * re + im * im) / static_cast<double>(to - from);
}

// The strongest frequency from 100 Hz to 4 kHz in steps of 20 Hz.
double dominant_frequency(const std::vector<int16_t> &s, std::size_t from, std::size_t to) {
    double best = 0;
    double best_f = 0;
    for (double f = 100; f <= 4000; f += 20) {
        const double a = amplitude_at(s, from, to, f);
        if (a > best) {
            best = a;
            best_f = f;
        }
    }
    return best_f;
}

bool all_zero(const std::vector<int16_t> &s) {
    for (const int16_t x : s) {
        if (x != 0) {
            return false;
        }
    }
    return true;
}

// The track holds floor(frames x 44100 / 30) sample frames; the AAC decoder
// may add up to one packet of its own at the end.
void expect_track_follows_frames(const recorded &r) {
    const auto expected = static_cast<double>(r.frames * 44100 / 30);
    EXPECT_NEAR(static_cast<double>(r.samples.size() / 2), expected, 1024.0);
}

// A null output playing a 1 kHz tone, and an input fed through a FIFO.
std::vector<std::string> devices(const temp_dir &dir) {
    return {"module-null-sink sink_name=speakers", "module-sine sink=speakers frequency=1000",
            "module-pipe-source source_name=microphone format=s16le rate=44100 channels=2 file=" +
                dir.file("microphone.fifo")};
}

class AudioRecordingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!has_pulseaudio()) {
            GTEST_SKIP() << "pulseaudio is not installed (scripts/install-deps)";
        }
    }
    std::string options(const std::string &extra) const {
        return R"({"fps":30,"region":{"x":0,"y":0,"w":32,"h":32})" + extra + "}";
    }
    temp_dir dir_;
    no_display_scope no_display_; // the pattern stands in for the screen
};

} // namespace

TEST_F(AudioRecordingTest, EachSourceIsInTheRecordingAtItsFrequencyAndLevel) {
    pulse_server server(devices(dir_));
    ASSERT_TRUE(server.ok());
    ASSERT_EQ(server.pactl("set-default-sink speakers"), 0);
    ASSERT_EQ(server.pactl("set-default-source microphone"), 0);
    pipe_source_feeder tone_440(dir_.file("microphone.fifo"), 440);
    pulse_listener speakers("speakers.monitor");
    ASSERT_TRUE(speakers.ok());

    struct source_case {
        const char *audio;
        bool tone_1k;
        bool tone_440;
    };
    const source_case cases[] = {{"system", true, false}, {"mic", false, true}, {"both", true, true}};
    for (const source_case &c : cases) {
        SCOPED_TRACE(c.audio);
        const std::string path = dir_.file(std::string(c.audio) + ".mp4");
        const recorded r =
            record(path, options(R"(,"capture_audio":true,"audio":")" + std::string(c.audio) + "\""), 2000);
        ASSERT_TRUE(r.ok);
        EXPECT_GE(r.frames, 50);
        expect_track_follows_frames(r);
        // Past the encoder's start, a second of the recording.
        const std::size_t from = 44100 / 2;
        const std::size_t to = std::min<std::size_t>(from + 44100, r.samples.size() / 2);
        ASSERT_GT(to, from + 22050);
        const double a1k = amplitude_at(r.samples, from, to, 1000);
        const double a440 = amplitude_at(r.samples, from, to, 440);
        EXPECT_EQ(a1k > 0.05, c.tone_1k) << "1 kHz amplitude " << a1k;
        EXPECT_EQ(a440 > 0.05, c.tone_440) << "440 Hz amplitude " << a440;
        if (c.tone_1k != c.tone_440) {
            EXPECT_EQ(dominant_frequency(r.samples, from, to), c.tone_1k ? 1000.0 : 440.0);
        }
    }
}

TEST_F(AudioRecordingTest, WithoutTheKeyOrASourceTheTrackIsExactSilence) {
    pulse_server server(devices(dir_));
    ASSERT_TRUE(server.ok());
    ASSERT_EQ(server.pactl("set-default-sink speakers"), 0);
    const char *cases[] = {R"(,"audio":"system")", R"(,"audio":"both","capture_audio":false)",
                           R"(,"capture_audio":true)", R"(,"capture_audio":"true","audio":"system")",
                           R"(,"capture_audio":true,"audio":"speakers")"};
    for (const char *c : cases) {
        SCOPED_TRACE(c);
        const recorded r = record(dir_.file("quiet.mp4"), options(c), 700);
        ASSERT_TRUE(r.ok);
        EXPECT_TRUE(all_zero(r.samples));
        // The design's chunks: 1470 sample frames per frame at 30 fps.
        EXPECT_NEAR(static_cast<double>(r.samples.size() / 2), static_cast<double>(r.frames * 1470), 1024.0);
    }
}

TEST_F(AudioRecordingTest, NoServerGivesSilenceAndEveryFrame) {
    {
        env_scope nobody("PULSE_SERVER", "unix:" + dir_.file("nobody-listens"));
        const recorded r =
            record(dir_.file("none.mp4"), options(R"(,"capture_audio":true,"audio":"both")"), 1500);
        ASSERT_TRUE(r.ok);
        EXPECT_GE(r.frames, 40);
        EXPECT_TRUE(all_zero(r.samples));
        expect_track_follows_frames(r);
    }
    {
        // A socket that accepts but never answers: the capture is given up
        // on within about a second, and the frames go on from then.
        silent_pulse_server silent(dir_.file("silent"));
        ASSERT_TRUE(silent.bound());
        ASSERT_TRUE(silent.listening());
        const recorded r =
            record(dir_.file("silent.mp4"), options(R"(,"capture_audio":true,"audio":"system")"), 2500);
        ASSERT_TRUE(r.ok);
        EXPECT_GE(r.frames, 30);
        EXPECT_TRUE(all_zero(r.samples));
        expect_track_follows_frames(r);
    }
}

TEST_F(AudioRecordingTest, AServerThatDiesMidRecordingLeavesSilenceAndThePictureGoesOn) {
    pulse_server server(devices(dir_));
    ASSERT_TRUE(server.ok());
    ASSERT_EQ(server.pactl("set-default-sink speakers"), 0);
    pulse_listener speakers("speakers.monitor");
    ASSERT_TRUE(speakers.ok());
    const recorded r =
        record(dir_.file("dies.mp4"), options(R"(,"capture_audio":true,"audio":"system")"), 1500, [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            server.kill_now();
        });
    ASSERT_TRUE(r.ok);
    // Three seconds of pictures in all, the last half of them without sound.
    EXPECT_GE(r.frames, 80);
    expect_track_follows_frames(r);
    const std::size_t frames = r.samples.size() / 2;
    EXPECT_GT(amplitude_at(r.samples, 22050, 44100, 1000), 0.05);
    EXPECT_LT(amplitude_at(r.samples, frames - 22050, frames, 1000), 0.001);
}

TEST_F(AudioRecordingTest, AServerThatStallsLeavesAGapAndTheSoundComesBack) {
    pulse_server server(devices(dir_));
    ASSERT_TRUE(server.ok());
    ASSERT_EQ(server.pactl("set-default-sink speakers"), 0);
    pulse_listener speakers("speakers.monitor");
    ASSERT_TRUE(speakers.ok());
    const auto begun = std::chrono::steady_clock::now();
    const recorded r =
        record(dir_.file("stall.mp4"), options(R"(,"capture_audio":true,"audio":"system")"), 2500, [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            server.pause(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            server.pause(false);
        });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    ASSERT_TRUE(r.ok);
    // The picture never waited for the sound.
    EXPECT_GE(static_cast<double>(r.frames), (seconds - 0.5) * 30 * 0.8);
    expect_track_follows_frames(r);
    const std::size_t frames = r.samples.size() / 2;
    EXPECT_GT(amplitude_at(r.samples, 11025, 33075, 1000), 0.05) << "before the stall";
    EXPECT_GT(amplitude_at(r.samples, frames - 33075, frames - 11025, 1000), 0.05) << "after the stall";
}
