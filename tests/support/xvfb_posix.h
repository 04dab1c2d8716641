// Test helpers for the X display: a private Xvfb server per test (or per
// suite), and a scope in which there is no X display at all.
//
//   xvfb_server x(1280, 720);   // starts Xvfb on a free display number,
//                               // waits until it answers, sets DISPLAY
//   x.display();                // ":N"
//   x.ok();                     // false when Xvfb could not be started
//   ...                         // on destruction: Xvfb is killed and reaped,
//                               // DISPLAY is put back as it was
//
//   no_display_scope nd;        // DISPLAY unset until the scope ends
//
// Neither is copyable; they change the process environment, so use them from
// one thread (the test's) and do not nest them out of order.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

// Saves DISPLAY on construction and restores it (or its absence) on
// destruction.
class display_env_guard {
  public:
    display_env_guard();
    ~display_env_guard();
    display_env_guard(const display_env_guard &) = delete;
    display_env_guard &operator=(const display_env_guard &) = delete;

  private:
    std::optional<std::string> saved_;
};

class xvfb_server {
  public:
    // Starts `Xvfb -displayfd FD -screen 0 WxHxD -nolisten tcp -noreset`
    // (RandR and MIT-SHM are on by default) and waits up to 20 s for it.
    // With listen_tcp the server also takes TCP connections (tcp_display()),
    // which is how a client reaches a display on another machine.
    explicit xvfb_server(int width = 1920, int height = 1080, int depth = 24, bool listen_tcp = false);
    ~xvfb_server();
    xvfb_server(const xvfb_server &) = delete;
    xvfb_server &operator=(const xvfb_server &) = delete;

    // True when the server started and accepted a connection.
    bool ok() const { return !display_.empty(); }
    // The display name, ":N" (empty when not ok()).
    const std::string &display() const { return display_; }
    // "127.0.0.1:N", for a server started with listen_tcp.
    std::string tcp_display() const { return "127.0.0.1" + display_; }
    int width() const { return width_; }
    int height() const { return height_; }

  private:
    display_env_guard env_;
    pid_t pid_ = -1;
    int width_;
    int height_;
    std::string display_;
};

// Unsets DISPLAY for the scope, so code under test finds no X display.
class no_display_scope {
  public:
    no_display_scope();
    ~no_display_scope() = default;
    no_display_scope(const no_display_scope &) = delete;
    no_display_scope &operator=(const no_display_scope &) = delete;

  private:
    display_env_guard env_;
};

// Runs a shell command with DISPLAY as it currently is; returns its exit
// status (or -1 when it could not be run). Handy for xsetroot / xrandr.
int run_x_command(const std::string &command);
