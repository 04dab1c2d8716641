// Worker threads on CreateThread. The thread's HANDLE serves as the handle.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/timer.h"
#include "screenrecorder/worker.h"

namespace {
DWORD WINAPI win32_worker_main(LPVOID job) {
    // One timer serves every pacing sleep of the job and ends with it.
    HANDLE timer = win32_create_sleep_timer();
    win32_set_thread_sleep_timer(timer);
    const uint32_t code = win32_record_thread(job);
    win32_set_thread_sleep_timer(nullptr);
    if (timer != nullptr) {
        CloseHandle(timer);
    }
    return code;
}
} // namespace

thread_handle platform_start_worker(recording_job *job) {
    return CreateThread(nullptr, 0, win32_worker_main, job, 0, nullptr);
}

void platform_wait_thread(thread_handle thread) {
    WaitForSingleObject(thread, INFINITE);
}

void platform_close_thread(thread_handle thread) {
    CloseHandle(thread);
}
