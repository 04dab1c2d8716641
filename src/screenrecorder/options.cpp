#include "screenrecorder/options.h"

#include <cstring>

// Placeholder until the parser lands: defaults only.
void parse_options(const char *, recording_options *out) {
    std::memset(out, 0, sizeof *out);
    out->fps = 30;
    out->bitrate_kbps = 8000;
    std::memcpy(out->codec, "h264", 4);
}
