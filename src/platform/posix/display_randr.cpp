#include "screenrecorder/display.h"

// Placeholder until the RandR enumerator lands.
namespace {
void *no_factory() { return nullptr; }
void no_metrics(int32_t *w, int32_t *h) { *w = 0; *h = 0; }
const display_enumerator kPosixEnumerator{no_factory, nullptr, nullptr, nullptr, nullptr,
                                          nullptr,    nullptr, no_metrics};
} // namespace

const display_enumerator &platform_display_enumerator() { return kPosixEnumerator; }
