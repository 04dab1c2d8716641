#include "screenrecorder/gif.h"

// Placeholder until the GIF step lands.
void convert_to_gif(const recording_job *) {}
