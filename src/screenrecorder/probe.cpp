// The probe export: display 0's size, the capture method and whether a
// default audio capture device exists.
#include "kestrova/screenrecorder.h"
#include "platform/platform.h"
#include "screenrecorder/display.h"
#include "screenrecorder/errors.h"

#include <cstdio>

namespace {

char g_probe_json[4096];

} // namespace

extern "C" int32_t screenrecorder_probe(const char **out_json) {
    if (out_json == nullptr) {
        set_last_error("out_json pointer is NULL");
        return -1;
    }
    int32_t width = 0;
    int32_t height = 0;
    int32_t refresh_hz = 0;
    // Display 0 always answers.
    win32_get_display_info(0, &width, &height, &refresh_hz);
    const bool can_audio = platform_default_capture_device_exists();
    std::snprintf(g_probe_json, sizeof g_probe_json,
                  "{\"displays\":[{\"index\":0,\"width\":%d,\"height\":%d,\"refresh_hz\":%d}],"
                  "\"capture_method\":\"%s\",\"can_audio\":%s}",
                  width, height, refresh_hz, "dxgi", can_audio ? "true" : "false");
    *out_json = g_probe_json;
    return 0;
}
