#include "screenrecorder/job.h"

recording_job g_jobs[kMaxJobs];
