// Helpers of the GIF step's tests on Linux: the stand-in converters' folder,
// small file and process utilities, and scopes that change how the host
// process treats signals, its working directory or PATH.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/process_posix.h"

extern char **environ;

namespace gif_test {

inline const std::string kConverters = KSR_SOURCE_DIR "/tests/posix/converters";

inline bool exists(const std::string &path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

inline void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline std::vector<std::string> read_lines(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Runs a program (found through PATH) with its own arguments, no shell, with
// standard input from /dev/null and standard output into `stdout_path` (or
// /dev/null). Returns its exit status, or -1 when it could not be run.
inline int run_program(const std::vector<std::string> &args, const std::string &stdout_path = "/dev/null") {
    std::vector<char *> argv;
    for (const std::string &a : args) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A one-second MP4 of the converter's own test picture.
inline bool make_test_mp4(const std::string &path, int width, int height) {
    const std::string source =
        "testsrc=size=" + std::to_string(width) + "x" + std::to_string(height) + ":rate=10";
    return run_program({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", source, "-t", "1",
                        "-pix_fmt", "yuv420p", path}) == 0;
}

// "codec,width,height" of the file's first video stream, as ffprobe reads it.
inline std::string probe_video(const std::string &path) {
    const std::string report = path + ".probe";
    if (run_program({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                     "stream=codec_name,width,height", "-of", "csv=p=0", path},
                    report) != 0) {
        return "(ffprobe failed)";
    }
    std::string text = read_file(report);
    std::filesystem::remove(report);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

struct proc_stat {
    char state = '\0'; // '\0': no such process
    pid_t ppid = 0;
};

inline proc_stat read_proc_stat(pid_t pid) {
    const std::string text = read_file("/proc/" + std::to_string(pid) + "/stat");
    proc_stat st;
    // "pid (comm) state ppid ...", where comm may itself hold spaces and ')'.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos || close + 4 > text.size()) {
        return st;
    }
    std::istringstream rest(text.substr(close + 2));
    rest >> st.state >> st.ppid;
    return st;
}

// Children of this process that have ended and were never reaped.
inline std::vector<pid_t> zombie_children() {
    std::vector<pid_t> zombies;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) {
        return zombies;
    }
    while (dirent *entry = readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') {
            continue;
        }
        const proc_stat st = read_proc_stat(static_cast<pid_t>(pid));
        if (st.ppid == getpid() && st.state == 'Z') {
            zombies.push_back(static_cast<pid_t>(pid));
        }
    }
    closedir(proc);
    return zombies;
}

// The process id a stand-in converter noted in `path`; waits up to 10 s for
// the note. 0 when none came.
inline pid_t wait_for_pid_file(const std::string &path) {
    for (int i = 0; i < 1000 && !exists(path); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::istringstream in(read_file(path));
    pid_t pid = 0;
    in >> pid;
    return pid;
}

class path_scope : public env_scope {
  public:
    explicit path_scope(const std::string &value) : env_scope("PATH", value) {}
};

class cwd_scope {
  public:
    explicit cwd_scope(const std::string &dir) : saved_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~cwd_scope() {
        std::error_code ec;
        std::filesystem::current_path(saved_, ec);
    }
    cwd_scope(const cwd_scope &) = delete;
    cwd_scope &operator=(const cwd_scope &) = delete;

  private:
    std::filesystem::path saved_;
};

// The host ignores SIGCHLD: the kernel reaps its children by itself.
class sigchld_ignored_scope {
  public:
    sigchld_ignored_scope() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGCHLD, &ignore, &saved_);
    }
    ~sigchld_ignored_scope() { sigaction(SIGCHLD, &saved_, nullptr); }
    sigchld_ignored_scope(const sigchld_ignored_scope &) = delete;
    sigchld_ignored_scope &operator=(const sigchld_ignored_scope &) = delete;

  private:
    struct sigaction saved_ {};
};

// A signal every millisecond, with a handler installed without SA_RESTART, so
// that every blocking call of the scope's thread keeps failing with EINTR.
class signal_storm_scope {
  public:
    signal_storm_scope() {
        struct sigaction on_alarm {};
        on_alarm.sa_handler = [](int) {};
        sigaction(SIGALRM, &on_alarm, &saved_);
        itimerval every_ms{{0, 1000}, {0, 1000}};
        setitimer(ITIMER_REAL, &every_ms, nullptr);
    }
    ~signal_storm_scope() {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        // Drops a signal still pending before the old disposition returns.
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGALRM, &ignore, nullptr);
        sigaction(SIGALRM, &saved_, nullptr);
    }
    signal_storm_scope(const signal_storm_scope &) = delete;
    signal_storm_scope &operator=(const signal_storm_scope &) = delete;

  private:
    struct sigaction saved_ {};
};

// The host ignores SIGPIPE and its thread blocks SIGUSR1.
class sigpipe_ignored_and_usr1_blocked_scope {
  public:
    sigpipe_ignored_and_usr1_blocked_scope() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &saved_pipe_);
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &usr1, &saved_mask_);
    }
    ~sigpipe_ignored_and_usr1_blocked_scope() {
        pthread_sigmask(SIG_SETMASK, &saved_mask_, nullptr);
        sigaction(SIGPIPE, &saved_pipe_, nullptr);
    }
    sigpipe_ignored_and_usr1_blocked_scope(const sigpipe_ignored_and_usr1_blocked_scope &) = delete;
    sigpipe_ignored_and_usr1_blocked_scope &
    operator=(const sigpipe_ignored_and_usr1_blocked_scope &) = delete;

  private:
    struct sigaction saved_pipe_ {};
    sigset_t saved_mask_{};
};

} // namespace gif_test
