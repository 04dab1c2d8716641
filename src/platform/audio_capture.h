// Live sound for a recording that asks for it: the platform opens the
// requested source, converts what it captures to the track's format (44100 Hz,
// 2 channels, interleaved signed 16-bit) and hands over whatever has arrived,
// never blocking. Aligning that sound with the frames is the worker's work.
#pragma once

#include <cstddef>
#include <cstdint>

struct audio_capture; // each platform defines its own

// Opens the capture for `mode` (an audio_mode: audio_mic the default input,
// audio_system what the default output plays, audio_both the two mixed).
// Null when no source at all can be opened (no audio server, no device);
// the job then records silence. Never blocks for long (a server that does not
// answer is given up on within about a second).
audio_capture *audio_capture_open(int32_t mode);

// Moves up to `max_frames` sample frames (4 bytes each) of sound captured
// since the last call into `dst` and returns how many it moved; what does not
// fit stays for the next call. Never blocks. A source that has gone away (the
// server died, the device was unplugged) keeps returning 0.
std::size_t audio_capture_read(audio_capture *cap, int16_t *dst, std::size_t max_frames);

// How many sample frames the source holds back on its way to us (the device's
// and the server's buffering), so that the worker can place the sound where it
// was heard; 0 when unknown.
int64_t audio_capture_latency_frames(audio_capture *cap);

// Stops the capture and releases everything it holds; null is allowed.
void audio_capture_close(audio_capture *cap);
