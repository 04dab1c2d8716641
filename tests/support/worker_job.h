// The job the worker tests record with fakes: the first slot, active, a
// 16 x 16 H.264 MP4 named "out.mp4" at 30 fps and 8000 kbit/s.
#pragma once

#include "screenrecorder/job.h"

void worker_test_job(recording_job *job);
