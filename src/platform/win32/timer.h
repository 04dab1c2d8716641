// The sleep timer that a worker thread keeps for its whole life.
#pragma once

#include <windows.h>

// A high-resolution waitable timer where the system has one; null otherwise.
HANDLE win32_create_sleep_timer();
// Makes platform_sleep_ms on the calling thread wait on `timer` (null: none).
// The caller keeps ownership and closes it after clearing it here.
void win32_set_thread_sleep_timer(HANDLE timer);
