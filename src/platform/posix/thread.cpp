// Worker threads on pthreads. The pthread_t itself serves as the handle.
#include <pthread.h>

#include <cstring>

#include "platform/platform.h"
#include "screenrecorder/worker.h"

static_assert(sizeof(pthread_t) <= sizeof(thread_handle), "pthread_t must fit in a handle");

namespace {
void *posix_worker_main(void *job) {
    win32_record_thread(job);
    return nullptr;
}
} // namespace

thread_handle platform_start_worker(recording_job *job) {
    pthread_t thread{};
    if (pthread_create(&thread, nullptr, posix_worker_main, job) != 0) {
        return nullptr;
    }
    thread_handle handle = nullptr;
    std::memcpy(&handle, &thread, sizeof thread);
    return handle;
}

void platform_wait_thread(thread_handle handle) {
    pthread_t thread{};
    std::memcpy(&thread, &handle, sizeof thread);
    pthread_join(thread, nullptr);
}

// pthread_join has already released the thread; nothing is left to close.
void platform_close_thread(thread_handle) {}
