#include "png_writer/png_writer.h"

// Placeholder until the encoder lands.
int32_t write_png_bgra(const char *, int32_t, int32_t, const uint8_t *, int32_t) { return -1; }
int32_t write_png_rgba(const char *, int32_t, int32_t, const uint8_t *, int32_t) { return -1; }
