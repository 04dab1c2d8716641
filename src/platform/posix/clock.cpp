// Monotonic milliseconds and sleeping on CLOCK_MONOTONIC.
#include <cerrno>
#include <ctime>

#include "platform/platform.h"

int64_t platform_now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void platform_sleep_ms(int64_t ms) {
    if (ms <= 0) {
        return;
    }
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
    }
}
