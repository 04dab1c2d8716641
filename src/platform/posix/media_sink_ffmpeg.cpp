#include "platform/media_sink.h"

// Placeholder until the FFmpeg sink lands.
const media_sink_ops &platform_media_sink() {
    static const media_sink_ops ops{};
    return ops;
}
