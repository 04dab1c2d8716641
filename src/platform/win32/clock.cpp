// The millisecond clock from the performance counter, and sleeping on a
// high-resolution waitable timer. GetTickCount64 moves in steps of about
// 15.6 ms and Sleep rounds up to the scheduler tick, both too coarse to pace
// 60 or 120 frames a second.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/timer.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {
// The worker thread's own timer, owned by the thread's entry (thread.cpp);
// null on every other thread.
thread_local HANDLE t_sleep_timer = nullptr;

int64_t win32_counter_frequency() {
    static const int64_t frequency = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return f.QuadPart > 0 ? static_cast<int64_t>(f.QuadPart) : int64_t{1000};
    }();
    return frequency;
}

// Waits `ms` milliseconds on `timer`; false when the timer cannot be armed.
bool win32_wait_on_timer(HANDLE timer, int64_t ms) {
    LARGE_INTEGER due{};
    due.QuadPart = -ms * 10000; // relative, in 100-nanosecond units
    if (!SetWaitableTimerEx(timer, &due, 0, nullptr, nullptr, nullptr, 0)) {
        return false;
    }
    return WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
}

// The longest single wait; platform_sleep_ms repeats for longer sleeps, so
// neither the timer's due time nor Sleep's DWORD (where INFINITE lives) can
// overflow.
constexpr int64_t kLongestWaitMs = 86400000;

void win32_wait_ms(int64_t ms) {
    ms = ms < kLongestWaitMs ? ms : kLongestWaitMs;
    HANDLE timer = t_sleep_timer;
    bool own = false;
    if (timer == nullptr) {
        timer = win32_create_sleep_timer();
        own = timer != nullptr;
    }
    if (timer == nullptr || !win32_wait_on_timer(timer, ms)) {
        Sleep(static_cast<DWORD>(ms));
    }
    if (own) {
        CloseHandle(timer);
    }
}
} // namespace

HANDLE win32_create_sleep_timer() {
    return CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
}

void win32_set_thread_sleep_timer(HANDLE timer) {
    t_sleep_timer = timer;
}

int64_t platform_now_ms() {
    LARGE_INTEGER c{};
    QueryPerformanceCounter(&c);
    const int64_t counter = static_cast<int64_t>(c.QuadPart);
    const int64_t frequency = win32_counter_frequency();
    // Split so that counter x 1000 cannot overflow on a long uptime.
    return counter / frequency * 1000 + counter % frequency * 1000 / frequency;
}

void platform_sleep_ms(int64_t ms) {
    if (ms <= 0) {
        return;
    }
    // A timer may wake a fraction early against the truncated millisecond
    // clock; wait again for what is left so that the sleep lasts at least ms.
    const int64_t until = platform_now_ms() + ms;
    for (int64_t left = ms; left > 0; left = until - platform_now_ms()) {
        win32_wait_ms(left);
    }
}
