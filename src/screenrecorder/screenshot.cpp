#include "kestrova/screenrecorder.h"

// Placeholder until the screenshot lands.
extern "C" int32_t screenrecorder_screenshot(const char *, const char *, const char **) { return -1; }
