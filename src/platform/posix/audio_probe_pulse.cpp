#include "platform/platform.h"

// Placeholder until the PulseAudio probe lands.
bool platform_default_capture_device_exists() { return false; }
