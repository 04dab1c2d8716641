#include "screenrecorder/worker.h"

// Placeholder until the worker lands.
uint32_t record_job(recording_job *, const worker_env &) { return 0; }
uint32_t win32_record_thread(void *) { return 0; }
