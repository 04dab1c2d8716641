#include "platform/posix/xcb_connection.h"

#include <mutex>

xcb_connection_t *posix_xcb_connect(const char *display_name, int *screen_number) {
    static std::mutex connect_mutex;
    std::lock_guard<std::mutex> hold(connect_mutex);
    return xcb_connect(display_name, screen_number);
}
