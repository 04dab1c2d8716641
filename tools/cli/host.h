// What the program needs of the operating system: loading the library by
// file name and looking up the seven exports, the stop signals, a sleep that
// a stop request cuts short, and whether the output is a terminal.
#pragma once

#include <cstdint>
#include <string>

namespace cli {

// The seven exports, looked up by name the way an embedding host does.
struct library_api {
    void *module = nullptr;
    const char *(*version)() = nullptr;
    const char *(*last_error)() = nullptr;
    int32_t (*probe)(const char **out_json) = nullptr;
    int32_t (*screenshot)(const char *output_path, const char *options_json, const char **out_json) = nullptr;
    int32_t (*start)(const char *output_path, const char *options_json, int32_t *out_job) = nullptr;
    int32_t (*status)(int32_t job, const char **out_json) = nullptr;
    int32_t (*stop)(int32_t job, const char **out_json) = nullptr;
};

// Fills every export of `api` through look_up(name, pointer), in header
// order; false at the first export the library does not have.
template <class LookUp> bool bind_exports(library_api &api, LookUp look_up) {
    return look_up("screenrecorder_version", api.version) &&
           look_up("screenrecorder_last_error", api.last_error) &&
           look_up("screenrecorder_probe", api.probe) &&
           look_up("screenrecorder_screenshot", api.screenshot) &&
           look_up("screenrecorder_start", api.start) && look_up("screenrecorder_status", api.status) &&
           look_up("screenrecorder_stop", api.stop);
}

#if defined(_WIN32)
// Loads `file`, or kestrova-screenrecorder.dll from the program's directory.
bool win32_load_library(const std::string &file, library_api &api, std::string &error);
void win32_unload_library(library_api &api);
// Ctrl-C, Ctrl-Break and closing the console ask the program to stop.
void win32_install_stop_handlers();
// Gives Ctrl-C back to the default handling and releases the stop event.
void win32_remove_stop_handlers();
bool win32_stop_requested();
// Sleeps up to `ms`, returning early when a stop is requested.
void win32_wait_ms(int64_t ms);
bool win32_stdout_is_terminal();

inline bool load_library(const std::string &f, library_api &a, std::string &e) {
    return win32_load_library(f, a, e);
}
inline void unload_library(library_api &a) {
    win32_unload_library(a);
}
inline void install_stop_handlers() {
    win32_install_stop_handlers();
}
inline void remove_stop_handlers() {
    win32_remove_stop_handlers();
}
inline bool stop_requested() {
    return win32_stop_requested();
}
inline void wait_ms(int64_t ms) {
    win32_wait_ms(ms);
}
inline bool stdout_is_terminal() {
    return win32_stdout_is_terminal();
}
#else
// Loads `file`, or libkestrova-screenrecorder.so.1 from the program's
// directory first and then through the normal library search.
bool posix_load_library(const std::string &file, library_api &api, std::string &error);
void posix_unload_library(library_api &api);
// SIGINT, SIGTERM and SIGHUP ask the program to stop; SIGPIPE is ignored so
// that a closed pipe cannot kill the program before the file is complete.
void posix_install_stop_handlers();
// Puts the default handling of those signals back.
void posix_remove_stop_handlers();
bool posix_stop_requested();
// Sleeps up to `ms`, returning early when a stop signal interrupts it. A
// signal taken by one of the library's threads instead is seen when the
// sleep ends, so callers keep their sleeps short (a second at most).
void posix_wait_ms(int64_t ms);
bool posix_stdout_is_terminal();

inline bool load_library(const std::string &f, library_api &a, std::string &e) {
    return posix_load_library(f, a, e);
}
inline void unload_library(library_api &a) {
    posix_unload_library(a);
}
inline void install_stop_handlers() {
    posix_install_stop_handlers();
}
inline void remove_stop_handlers() {
    posix_remove_stop_handlers();
}
inline bool stop_requested() {
    return posix_stop_requested();
}
inline void wait_ms(int64_t ms) {
    posix_wait_ms(ms);
}
inline bool stdout_is_terminal() {
    return posix_stdout_is_terminal();
}
#endif

} // namespace cli
