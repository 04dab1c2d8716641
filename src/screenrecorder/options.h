// The options document of a request, parsed into a plain record.
#pragma once

#include <cstdint>

enum audio_mode : int32_t {
    audio_none = 0,
    audio_mic = 1,
    audio_system = 2,
    audio_both = 3,
};

inline constexpr int kCodecNameSize = 16;

struct recording_options {
    int32_t display;
    int32_t has_region;
    int32_t region_x;
    int32_t region_y;
    int32_t region_w;
    int32_t region_h;
    int32_t fps;
    int32_t bitrate_kbps;
    int32_t gif;
    int32_t audio; // an audio_mode; read only when capture_audio is set
    char codec[kCodecNameSize];
    int32_t cursor;        // 1: draw the mouse pointer into frames and screenshots
    int32_t capture_audio; // 1: record the source `audio` names instead of silence
};

// Fills `out` from the JSON text `json` (may be null). Never fails: anything
// unreadable, of the wrong type or out of range leaves the default.
void parse_options(const char *json, recording_options *out);
