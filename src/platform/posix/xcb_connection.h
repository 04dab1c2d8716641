// Opening an X connection from any thread.
#pragma once

#include <xcb/xcb.h>

// xcb_connect, one call at a time in the process: the authority lookup inside
// it (libXau's XauFileName) keeps the file name in an unguarded static buffer,
// and two workers connecting at once could free it under each other.
xcb_connection_t *posix_xcb_connect(const char *display_name, int *screen_number);
