// Starts the external GIF converter without a shell: the paths are handed over
// as arguments of their own, so no character in them has a meaning.
//
// Direct start: the distribution's converter at its fixed path, waited for up
// to the time limit. It is started through an intermediate process that exits
// at once, so the converter belongs to init and never becomes a zombie of the
// host, even when it is left running past the limit. Two close-on-exec pipes
// carry its news: one whose write end only the converter holds (its end shows
// as a hang-up), and one that brings the errno of a failed start.
//
// Fallback: the converter found through PATH, waited for without a limit.
#include "platform/posix/converter_spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "screenrecorder/gif.h"
#include "screenrecorder/job.h"

extern char **environ;

namespace {

constexpr char kDefaultDirectProgram[] = "/usr/bin/ffmpeg";
constexpr char kDefaultFallbackName[] = "ffmpeg";
constexpr int kDefaultTimeoutMs = 30000;

char g_converter_program[kPathSize] = "/usr/bin/ffmpeg";
char g_converter_fallback[kPathSize] = "ffmpeg";
int g_converter_timeout_ms = kDefaultTimeoutMs;

// The converter's argument vector: program, "-y", "-i", input,
// "-filter_complex", the filter graph, output. Built in place before any
// fork (the arguments may point into the record's own buffers).
struct converter_argv {
    char *args[8];
    char input_url[sizeof "file:" + kPathSize];
    char output_url[sizeof "file:" + kPathSize];
};

// ffmpeg reads a name that begins with letters, digits, '+', '-' or '.'
// followed by a colon as "protocol:target", and "-" as standard output. Such
// a path is handed over as "file:PATH", which names the same file; every
// other path goes as it is.
bool posix_converter_would_misread(const char *path) {
    if (std::strcmp(path, "-") == 0) {
        return true;
    }
    const std::size_t scheme =
        std::strspn(path, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.");
    return scheme > 0 && path[scheme] == ':';
}

char *posix_converter_path(const char *path, char *url, std::size_t cap) {
    if (!posix_converter_would_misread(path)) {
        return const_cast<char *>(path); // exec* never write through it
    }
    std::snprintf(url, cap, "file:%s", path);
    return url;
}

void posix_converter_argv(converter_argv *argv, const char *program, const char *input, const char *output) {
    char *const in = posix_converter_path(input, argv->input_url, sizeof argv->input_url);
    char *const out = posix_converter_path(output, argv->output_url, sizeof argv->output_url);
    // exec* take non-const pointers but never write through them.
    char *const args[8] = {const_cast<char *>(program),
                           const_cast<char *>("-y"),
                           const_cast<char *>("-i"),
                           in,
                           const_cast<char *>("-filter_complex"),
                           const_cast<char *>(kGifFilterGraph),
                           out,
                           nullptr};
    std::memcpy(argv->args, args, sizeof args);
}

void posix_close(int fd) {
    if (fd >= 0) {
        close(fd);
    }
}

// Moves a descriptor that landed on 0, 1 or 2 (a host that closed its standard
// streams) above them, so that redirecting the standard streams in the child
// cannot overwrite it. Keeps close-on-exec.
int posix_above_stdio(int fd) {
    if (fd < 0 || fd > 2) {
        return fd;
    }
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

void posix_reap(pid_t pid) {
    int status = 0;
    // ECHILD: the host ignores SIGCHLD and the kernel has reaped the child.
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

void posix_write_errno(int fd, int err) {
    while (write(fd, &err, sizeof err) < 0 && errno == EINTR) {
    }
}

// --- In the forked processes: async-signal-safe calls only. -----------------

void posix_close_range(int first, int last) {
    if (first > last) {
        return;
    }
    if (close_range(static_cast<unsigned>(first), static_cast<unsigned>(last), 0) == 0) {
        return;
    }
    for (int fd = first; fd <= last && fd < 65536; ++fd) {
        close(fd);
    }
}

[[noreturn]] void posix_exec_converter(const converter_argv &argv, int devnull, int done_w, int status_w) {
    // Default dispositions and an empty mask: nothing the host ignores or
    // blocks is handed on to the converter.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        sigaction(sig, &dfl, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    if (dup2(devnull, 0) < 0 || dup2(devnull, 1) < 0 || dup2(devnull, 2) < 0 ||
        fcntl(done_w, F_SETFD, 0) < 0) {
        posix_write_errno(status_w, errno);
        _exit(127);
    }
    // Only the standard streams and the two pipe ends stay open; the status
    // pipe closes itself when the program starts.
    int low = done_w < status_w ? done_w : status_w;
    int high = done_w < status_w ? status_w : done_w;
    posix_close_range(3, low - 1);
    posix_close_range(low + 1, high - 1);
    posix_close_range(high + 1, INT_MAX);

    execve(argv.args[0], argv.args, environ);
    posix_write_errno(status_w, errno);
    _exit(127);
}

[[noreturn]] void posix_converter_intermediate(const converter_argv &argv, int devnull, int done_w,
                                               int status_w) {
    // The intermediate has one thread: the bare fork without atfork handlers
    // is async-signal-safe.
    pid_t pid = _Fork();
    if (pid == 0) {
        posix_exec_converter(argv, devnull, done_w, status_w);
    }
    if (pid < 0) {
        posix_write_errno(status_w, errno);
    }
    _exit(pid < 0 ? 1 : 0);
}

// --- Back in the host. -------------------------------------------------------

// True when the converter's program started: the status pipe ends without a
// word. Returns once every writer has closed it.
bool posix_converter_started(int status_r) {
    int err = 0;
    std::size_t got = 0;
    for (;;) {
        ssize_t n = read(status_r, reinterpret_cast<char *>(&err) + got, sizeof err - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            if (got == sizeof err) {
                return false;
            }
        } else if (n == 0) {
            return got == 0;
        } else if (errno != EINTR) {
            return false;
        }
    }
}

// Waits until the converter has ended (its end of the pipe hangs up) or the
// limit has passed, whichever comes first.
void posix_wait_for_hangup(int done_r, int timeout_ms) {
    const int64_t deadline = platform_now_ms() + timeout_ms;
    for (;;) {
        const int64_t left = deadline - platform_now_ms();
        if (left <= 0) {
            return;
        }
        pollfd pfd{done_r, POLLIN, 0};
        int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready == 0) {
            return;
        }
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        // The converter knows nothing of this descriptor, but should it write
        // into it, the bytes are dropped until the end shows.
        char sink[64];
        ssize_t n = read(done_r, sink, sizeof sink);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            return;
        }
    }
}

} // namespace

void posix_set_converter_for_tests(const char *direct_program, const char *fallback_name, int timeout_ms) {
    std::snprintf(g_converter_program, sizeof g_converter_program, "%s",
                  direct_program != nullptr ? direct_program : kDefaultDirectProgram);
    std::snprintf(g_converter_fallback, sizeof g_converter_fallback, "%s",
                  fallback_name != nullptr ? fallback_name : kDefaultFallbackName);
    g_converter_timeout_ms = timeout_ms > 0 ? timeout_ms : kDefaultTimeoutMs;
}

bool platform_run_converter_direct(const char *input, const char *output) {
    converter_argv argv;
    posix_converter_argv(&argv, g_converter_program, input, output);

    int devnull = posix_above_stdio(open("/dev/null", O_RDWR | O_CLOEXEC));
    int done[2] = {-1, -1};
    int status[2] = {-1, -1};
    if (pipe2(done, O_CLOEXEC) == 0) {
        done[0] = posix_above_stdio(done[0]);
        done[1] = posix_above_stdio(done[1]);
    }
    if (pipe2(status, O_CLOEXEC) == 0) {
        status[0] = posix_above_stdio(status[0]);
        status[1] = posix_above_stdio(status[1]);
    }
    pid_t intermediate = -1;
    if (devnull >= 0 && done[0] >= 0 && done[1] >= 0 && status[0] >= 0 && status[1] >= 0) {
        // No handler of the host may run in the forked processes before they
        // have reset the dispositions.
        sigset_t all;
        sigset_t old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        intermediate = fork();
        if (intermediate == 0) {
            posix_converter_intermediate(argv, devnull, done[1], status[1]);
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
    // From here on only the converter holds the pipes' write ends.
    posix_close(devnull);
    posix_close(done[1]);
    posix_close(status[1]);

    bool started = false;
    if (intermediate > 0) {
        posix_reap(intermediate);
        started = posix_converter_started(status[0]);
        if (started) {
            posix_wait_for_hangup(done[0], g_converter_timeout_ms);
        }
    }
    posix_close(status[0]);
    posix_close(done[0]);
    return started;
}

void platform_run_converter_fallback(const char *input, const char *output) {
    converter_argv argv;
    posix_converter_argv(&argv, g_converter_fallback, input, output);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        return;
    }
    if (posix_spawnattr_init(&attr) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return;
    }
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    bool ready = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
                 posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0) == 0 &&
                 posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0) == 0 &&
                 posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0 &&
                 posix_spawnattr_setsigmask(&attr, &none) == 0 &&
                 posix_spawnattr_setsigdefault(&attr, &all) == 0 &&
                 posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
    pid_t pid = -1;
    if (ready && posix_spawnp(&pid, argv.args[0], &actions, &attr, argv.args, environ) == 0) {
        posix_reap(pid);
    }
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
}
