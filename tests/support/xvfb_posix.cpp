#include "xvfb_posix.h"

#include <xcb/xcb.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

display_env_guard::display_env_guard() {
    if (const char *d = std::getenv("DISPLAY"))
        saved_ = d;
}

display_env_guard::~display_env_guard() {
    if (saved_)
        setenv("DISPLAY", saved_->c_str(), 1);
    else
        unsetenv("DISPLAY");
}

namespace {

// Reads the display number Xvfb writes to the pipe (terminated by a newline),
// waiting at most `timeout_ms` in total.
std::string posix_read_display_number(int fd, int timeout_ms) {
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return {};
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return {};
        char buf[32];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {};
        text.append(buf, static_cast<size_t>(n));
        auto nl = text.find('\n');
        if (nl != std::string::npos) {
            text.resize(nl);
            return text;
        }
    }
}

bool posix_x_answers(const std::string &display) {
    xcb_connection_t *c = xcb_connect(display.c_str(), nullptr);
    bool ok = c != nullptr && xcb_connection_has_error(c) == 0;
    if (ok) {
        // A round trip proves the server processes requests.
        xcb_get_input_focus_reply_t *r = xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr);
        ok = r != nullptr;
        std::free(r);
    }
    if (c != nullptr)
        xcb_disconnect(c);
    return ok;
}

} // namespace

xvfb_server::xvfb_server(int width, int height, int depth, bool listen_tcp) : width_(width), height_(height) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    std::string fd_text = std::to_string(fds[1]);
    std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
    pid_ = fork();
    if (pid_ == 0) {
        // Child: keep the write end open across exec, silence Xvfb's chatter.
        fcntl(fds[1], F_SETFD, 0);
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, STDOUT_FILENO);
            dup2(devnull, STDERR_FILENO);
        }
        execlp("Xvfb", "Xvfb", "-displayfd", fd_text.c_str(), "-screen", "0", screen.c_str(),
               listen_tcp ? "-listen" : "-nolisten", "tcp", "-noreset", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    if (pid_ < 0) {
        close(fds[0]);
        return;
    }
    std::string number = posix_read_display_number(fds[0], 20000);
    close(fds[0]);
    if (number.empty())
        return;
    std::string name = ":" + number;
    for (int i = 0; i < 200; ++i) {
        if (posix_x_answers(name)) {
            display_ = name;
            setenv("DISPLAY", display_.c_str(), 1);
            return;
        }
        usleep(10000);
    }
}

xvfb_server::~xvfb_server() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        // Reap it; after two seconds insist.
        for (int i = 0; i < 200; ++i) {
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_ || (r < 0 && errno != EINTR))
                return;
            usleep(10000);
        }
        kill(pid_, SIGKILL);
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    // env_ restores DISPLAY after this body.
}

no_display_scope::no_display_scope() {
    unsetenv("DISPLAY");
}

int run_x_command(const std::string &command) {
    int status = std::system(command.c_str());
    if (status < 0 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}
