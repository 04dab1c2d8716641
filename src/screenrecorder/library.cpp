// The two exports that need no platform: the version and the last error.
#include "kestrova/screenrecorder.h"
#include "screenrecorder/errors.h"

extern "C" const char *screenrecorder_version(void) {
    static const char version[] = "1.0.0";
    return version;
}

extern "C" const char *screenrecorder_last_error(void) { return g_last_error; }
