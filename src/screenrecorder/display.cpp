#include "screenrecorder/display.h"

// Placeholder until display numbering lands.
int32_t get_display_info_from(const display_enumerator &, int32_t index, int32_t *width, int32_t *height,
                              int32_t *refresh_hz) {
    if (index != 0) {
        return -1;
    }
    *width = 1920;
    *height = 1080;
    *refresh_hz = kRefreshHz;
    return 0;
}

int32_t win32_get_display_info(int32_t index, int32_t *width, int32_t *height, int32_t *refresh_hz) {
    return get_display_info_from(platform_display_enumerator(), index, width, height, refresh_hz);
}
