#include "screenrecorder/pattern.h"

// Placeholder until the pattern lands.
void generate_pattern_frame(uint8_t *, int32_t, int32_t, int64_t) {}
