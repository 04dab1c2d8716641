// The seam between the library's own logic and the operating system. Each
// platform folder (win32/, posix/) implements these and nothing else is
// needed of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct recording_job;
using thread_handle = void *;

// --- Time -------------------------------------------------------------------
// A monotonic millisecond clock, shared by the workers and the status call.
int64_t platform_now_ms();
// Sleeps at least `ms` milliseconds (nothing for 0 or below).
void platform_sleep_ms(int64_t ms);

// --- Threads ----------------------------------------------------------------
// Starts win32_record_thread(job) on a thread of its own, running at once.
// Null when the thread cannot be created.
thread_handle platform_start_worker(recording_job *job);
// Waits without a limit until the thread has ended.
void platform_wait_thread(thread_handle thread);
// Releases the handle.
void platform_close_thread(thread_handle thread);

// --- Files ------------------------------------------------------------------
// Reserves room for the first `bytes` bytes of a file just opened for
// writing, where the file system can, so that the writes that follow find
// it ready; the file's size stays as it is until they come.
void platform_reserve_file(std::FILE *file, uint64_t bytes);

// --- Probe ------------------------------------------------------------------
// Whether a default audio capture endpoint (not a monitor of an output) exists.
bool platform_default_capture_device_exists();

// --- GIF converter ----------------------------------------------------------
// Runs the converter directly from its fixed location on `input` to `output`
// and waits up to the time limit. False when it cannot be started at all.
bool platform_run_converter_direct(const char *input, const char *output);
// Runs the converter found by name, waiting for it without a limit.
void platform_run_converter_fallback(const char *input, const char *output);
