#include "kestrova/screenrecorder.h"

// Placeholders until recording control lands.
extern "C" int32_t screenrecorder_start(const char *, const char *, int32_t *) { return -1; }
extern "C" int32_t screenrecorder_status(int32_t, const char **) { return -1; }
extern "C" int32_t screenrecorder_stop(int32_t, const char **) { return -1; }
