// A private PulseAudio server for a test: its own runtime directory and
// socket, loaded with the modules the test names; PULSE_SERVER and
// PULSE_RUNTIME_PATH point at it for the scope, so the machine's own server
// is never touched.
//
//   pulse_server server({"module-null-sink sink_name=speakers"});
//   server.ok();                                   // false when it did not come up
//   server.pactl("set-default-sink speakers");     // 0 on success
#pragma once

#include <atomic>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "support/process_posix.h"
#include "support/temp_dir.h"

class pulse_server {
  public:
    explicit pulse_server(const std::vector<std::string> &modules);
    ~pulse_server();
    pulse_server(const pulse_server &) = delete;
    pulse_server &operator=(const pulse_server &) = delete;

    bool ok() const { return ready_; }
    // Runs `pactl ARGS` against this server; its exit status.
    int pactl(const std::string &args) const;
    // Stops the server at once (SIGKILL), as a crash would.
    void kill_now();
    // Freezes and thaws the server (SIGSTOP, SIGCONT).
    void pause(bool paused) const;

  private:
    bool answers() const;
    temp_dir dir_;
    std::string socket_;
    env_scope server_env_;
    env_scope runtime_env_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

bool has_pulseaudio();

// A Unix socket at `path` that accepts connections and never says a word, as
// a server that hangs would; PULSE_SERVER points at it for the scope.
class silent_pulse_server {
  public:
    explicit silent_pulse_server(const std::string &path);
    ~silent_pulse_server();
    silent_pulse_server(const silent_pulse_server &) = delete;
    silent_pulse_server &operator=(const silent_pulse_server &) = delete;

    bool bound() const { return bound_; }
    bool listening() const { return listening_; }

  private:
    env_scope server_env_;
    int fd_ = -1;
    bool bound_ = false;
    bool listening_ = false;
};

// A client that keeps listening to `device` at 10 ms pieces, as an
// application already running on the machine would. A test server's idle
// device otherwise works in blocks of seconds and only turns to short ones
// once its current block ends. ok() once sound has flowed.
class pulse_listener {
  public:
    explicit pulse_listener(const std::string &device);
    ~pulse_listener();
    pulse_listener(const pulse_listener &) = delete;
    pulse_listener &operator=(const pulse_listener &) = delete;
    bool ok() const { return flowing_.load(); }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> flowing_{false};
    std::thread thread_;
};

// Feeds a module-pipe-source's FIFO with a sine of `frequency` Hz at half of
// full scale, 44100 Hz stereo s16le, in 10 ms pieces at the pace of the
// clock, as a microphone would deliver it.
class pipe_source_feeder {
  public:
    pipe_source_feeder(const std::string &fifo, double frequency);
    ~pipe_source_feeder();
    pipe_source_feeder(const pipe_source_feeder &) = delete;
    pipe_source_feeder &operator=(const pipe_source_feeder &) = delete;

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
