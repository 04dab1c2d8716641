#include "cli/host.h"

#include <dlfcn.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>

namespace cli {
namespace {

std::atomic<int> g_stop{0};
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is set from a signal handler");

void on_stop_signal(int) {
    g_stop.store(1);
}

// The handle is released at the end, but the library stays mapped: the media
// libraries it brings in (and theirs) keep static state that does not
// survive being unloaded.
constexpr int k_open_flags = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;

constexpr const char *k_library_names[] = {"libkestrova-screenrecorder.so.1",
                                           "libkestrova-screenrecorder.so"};

// The directory of the running program, with a trailing slash, or "".
std::string program_directory() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    std::string dir(path, static_cast<std::size_t>(n));
    std::size_t slash = dir.rfind('/');
    return slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
}

template <class F> bool look_up(void *module, const char *name, F &out, std::string &error) {
    void *sym = dlsym(module, name);
    if (sym == nullptr) {
        error = std::string("the library has no export ") + name;
        return false;
    }
    out = reinterpret_cast<F>(sym);
    return true;
}

} // namespace

bool posix_load_library(const std::string &file, library_api &api, std::string &error) {
    void *module = nullptr;
    if (!file.empty()) {
        module = dlopen(file.c_str(), k_open_flags);
        if (module == nullptr) {
            const char *why = dlerror();
            error = "cannot load " + file + ": " + (why ? why : "unknown error");
            return false;
        }
    } else {
        // Beside the program first, then wherever the loader looks (the
        // program's run path, LD_LIBRARY_PATH, the system's directories).
        std::string dir = program_directory();
        std::string first_failure;
        for (int pass = 0; pass < 2 && module == nullptr; ++pass) {
            if (pass == 0 && dir.empty())
                continue;
            for (const char *name : k_library_names) {
                std::string candidate = pass == 0 ? dir + name : std::string(name);
                module = dlopen(candidate.c_str(), k_open_flags);
                if (module != nullptr)
                    break;
                const char *why = dlerror();
                // A file that exists but does not load says more than the
                // names that were not found.
                if (first_failure.empty() && pass == 0 && access(candidate.c_str(), F_OK) == 0 && why) {
                    first_failure = why;
                }
                if (first_failure.empty() && pass == 1 && name == k_library_names[1] && why)
                    first_failure = why;
            }
        }
        if (module == nullptr) {
            error = std::string("cannot load ") + k_library_names[0] + " (looked beside the program in " +
                    (dir.empty() ? std::string("?") : dir) +
                    " and in the library search path): " + first_failure;
            return false;
        }
    }
    api.module = module;
    const bool ok =
        bind_exports(api, [&](const char *name, auto &out) { return look_up(module, name, out, error); });
    if (!ok)
        posix_unload_library(api);
    return ok;
}

void posix_unload_library(library_api &api) {
    if (api.module != nullptr)
        dlclose(api.module);
    api = library_api{};
}

void posix_install_stop_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: the signal cuts the sleep short
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

void posix_remove_stop_handlers() {
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaction(sig, &sa, nullptr);
}

bool posix_stop_requested() {
    return g_stop.load() != 0;
}

void posix_wait_ms(int64_t ms) {
    if (ms <= 0 || posix_stop_requested())
        return;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    // A stop signal interrupts the sleep with EINTR; any other wake-up
    // sleeps on for the rest of the time.
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        if (posix_stop_requested())
            return;
    }
}

bool posix_stdout_is_terminal() {
    return isatty(STDOUT_FILENO) == 1;
}

} // namespace cli
