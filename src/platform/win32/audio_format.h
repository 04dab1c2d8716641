// Reading an endpoint's mix format as the sound converter's source format.
#pragma once

#include <windows.h>

#include <mmreg.h>

#include "screenrecorder/audio_convert.h"

// The sample layout, channels (with their speaker positions) and rate of
// `wf`, a WAVEFORMATEX or WAVEFORMATEXTENSIBLE; false for a layout the
// converter cannot read (8-bit, 64-bit float, a compressed or unknown
// sub-format).
bool win32_audio_source_format(const WAVEFORMATEX *wf, audio_source_format *out);
