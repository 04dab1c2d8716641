#include "kestrova/screenrecorder.h"

// Placeholder until the probe lands.
extern "C" int32_t screenrecorder_probe(const char **) { return -1; }
