#include "support/pulse_wine_win32.h"

#include <windows.h>

#include <cmath>
#include <cstdlib>

// The server's directory, or empty when the test has none (and skips).
std::string pulse_dir() {
    const char *dir = std::getenv("KSR_TEST_PULSE");
    if (dir == nullptr || dir[0] != '/') {
        return {};
    }
    return dir;
}

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

bool shell_run(const std::string &command) {
    return finish(start_shell(command));
}

// Plays a tone into the default output for `seconds` (a stereo 48000 Hz
// stream, the usual device rate), in the background.
shell_job play_tone(int hz, double seconds) {
    // From a file, so that the player never runs dry.
    const std::string file = pulse_dir() + "/tone" + std::to_string(hz) + ".wav";
    return start_shell("sox -n -r 48000 -c 2 -b 16 -e signed " + file + " synth " + std::to_string(seconds) +
                       " sine " + std::to_string(hz) + " vol 0.5 && paplay --latency-msec=40 " + file);
}

// Feeds a mono 44100 Hz tone into the pipe source, in the background.
shell_job feed_mic(int hz, double seconds) {
    return start_shell("sox -n -r 44100 -c 1 -b 16 -e signed -t raw - synth " + std::to_string(seconds) +
                       " sine " + std::to_string(hz) + " vol 0.5 > " + pulse_dir() + "/mic");
}

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
