#include "platform/platform.h"

// Placeholder until the converter launch lands.
bool platform_run_converter_direct(const char *, const char *) { return false; }
void platform_run_converter_fallback(const char *, const char *) {}
