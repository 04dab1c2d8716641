// Helpers for the Windows sound tests, which run under Wine beside the
// private PulseAudio server that tests/win32/with-pulse starts: the
// server's directory, Unix commands started from inside Wine (to play and
// feed tones, and to ask the server), and what a captured sound holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

// The server's directory, or empty when the test has none (and skips).
std::string pulse_dir();

// A Unix shell command started from inside Wine. Wine runs a Unix program
// without giving a process handle for it, so the command touches a marker
// file when it ends, and waiting means watching for that file.
struct shell_job {
    std::string marker; // Windows name of the marker file; empty when nothing started
};

shell_job start_shell(const std::string &command);
// Waits up to 20 s for the command's end; false when it did not end.
bool finish(const shell_job &job);
// Runs a command to its end; false when it could not be started or did not end.
bool shell_run(const std::string &command);

// Plays a tone into the default output for `seconds` (a stereo 48000 Hz
// stream, the usual device rate), in the background.
shell_job play_tone(int hz, double seconds);
// Feeds a mono 44100 Hz tone into the pipe source, in the background.
shell_job feed_mic(int hz, double seconds);

struct tone_report {
    double frequency; // the strongest of 50 Hz .. 5 kHz in 10 Hz steps
    double rms;       // of the loudest half second
    bool sides_equal;
};

// Goertzel's power of `hz` in the left side of `n` stereo frames at 44100 Hz.
double goertzel_power(const int16_t *frames, std::size_t n, double hz);
// Finds the loudest half second of the left side and what it holds.
tone_report analyse(const std::vector<int16_t> &sound);

// A sine at half scale: its RMS is 0.5 / sqrt 2 of full scale.
constexpr double kHalfScaleRms = 0.5 * 32768 / std::numbers::sqrt2;
