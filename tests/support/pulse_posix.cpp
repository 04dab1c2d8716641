#include "support/pulse_posix.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

silent_pulse_server::silent_pulse_server(const std::string &path)
    : server_env_("PULSE_SERVER", "unix:" + path), fd_(socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    bound_ = bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    listening_ = bound_ && listen(fd_, 4) == 0;
}

silent_pulse_server::~silent_pulse_server() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

pulse_server::pulse_server(const std::vector<std::string> &modules)
    : socket_(dir_.file("native")), server_env_("PULSE_SERVER", "unix:" + socket_),
      runtime_env_("PULSE_RUNTIME_PATH", dir_.path()) {
    std::vector<std::string> args = {"pulseaudio",         "-n",
                                     "--daemonize=no",     "--exit-idle-time=-1",
                                     "--use-pid-file=no",  "--disable-shm=yes",
                                     "--log-target=stderr"};
    for (const std::string &m : modules) {
        args.push_back("-L");
        args.push_back(m);
    }
    // The socket last: once it answers, every device module is loaded.
    args.push_back("-L");
    args.push_back("module-native-protocol-unix socket=" + socket_ + " auth-anonymous=1");
    std::vector<char *> argv;
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const std::string home = dir_.path();
    pid_ = fork();
    if (pid_ == 0) {
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", home.c_str(), 1);
        setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
        unsetenv("DISPLAY");
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, STDOUT_FILENO);
            dup2(devnull, STDERR_FILENO);
        }
        execvp("pulseaudio", argv.data());
        _exit(127);
    }
    // Ready once the socket accepts a connection.
    for (int i = 0; i < 500 && pid_ > 0; ++i) {
        if (answers()) {
            ready_ = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

pulse_server::~pulse_server() {
    if (pid_ > 0) {
        kill(pid_, SIGCONT);
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

int pulse_server::pactl(const std::string &args) const {
    const std::string command = "pactl " + args + " >/dev/null 2>&1";
    const int rc = std::system(command.c_str());
    return rc == -1 || !WIFEXITED(rc) ? -1 : WEXITSTATUS(rc);
}

void pulse_server::kill_now() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

void pulse_server::pause(bool paused) const {
    if (pid_ > 0) {
        kill(pid_, paused ? SIGSTOP : SIGCONT);
    }
}

bool pulse_server::answers() const {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, socket_.c_str(), sizeof a.sun_path - 1);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

bool has_pulseaudio() {
    return std::system("command -v pulseaudio >/dev/null 2>&1") == 0;
}

pulse_listener::pulse_listener(const std::string &device) {
    thread_ = std::thread([this, device] {
        const pa_sample_spec format{PA_SAMPLE_S16LE, 44100, 2};
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.fragsize = 441 * 4;
        pa_simple *s = pa_simple_new(nullptr, "test listener", PA_STREAM_RECORD, device.c_str(), "listen",
                                     &format, nullptr, &attr, nullptr);
        if (s == nullptr) {
            return;
        }
        char buf[441 * 4];
        while (!stop_.load()) {
            if (pa_simple_read(s, buf, sizeof buf, nullptr) < 0) {
                break;
            }
            flowing_.store(true);
        }
        pa_simple_free(s);
    });
    for (int i = 0; i < 400 && !flowing_.load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

pulse_listener::~pulse_listener() {
    stop_.store(true);
    thread_.join();
}

pipe_source_feeder::pipe_source_feeder(const std::string &fifo, double frequency) {
    thread_ = std::thread([this, fifo, frequency] {
        // Non-blocking, so a server that is gone cannot hold the thread.
        const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        int16_t piece[441 * 2];
        int64_t n = 0;
        timespec next{};
        clock_gettime(CLOCK_MONOTONIC, &next);
        while (!stop_.load()) {
            for (int i = 0; i < 441; ++i, ++n) {
                const double x =
                    0.5 * std::sin(2 * 3.14159265358979323846 * frequency * static_cast<double>(n) / 44100.0);
                piece[i * 2] = piece[i * 2 + 1] = static_cast<int16_t>(x * 32767);
            }
            if (write(fd, piece, sizeof piece) < 0) {
                // A full pipe: the reader is behind; the piece is lost.
            }
            next.tv_nsec += 10000000;
            if (next.tv_nsec >= 1000000000) {
                next.tv_nsec -= 1000000000;
                ++next.tv_sec;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        }
        close(fd);
    });
}

pipe_source_feeder::~pipe_source_feeder() {
    stop_.store(true);
    thread_.join();
}
