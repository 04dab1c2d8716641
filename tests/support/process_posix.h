// Small views of the test process itself, for tests that check what the
// library leaves behind: environment scopes and counts of descriptors,
// threads and shared-memory segments.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

// Sets an environment variable for a scope and puts back what was there.
class env_scope {
  public:
    env_scope(const char *name, const std::string &value) : name_(name) {
        if (const char *old = std::getenv(name)) {
            saved_ = old;
        }
        setenv(name, value.c_str(), 1);
    }
    ~env_scope() {
        if (saved_) {
            setenv(name_, saved_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    env_scope(const env_scope &) = delete;
    env_scope &operator=(const env_scope &) = delete;

  private:
    const char *name_;
    std::optional<std::string> saved_;
};

// The entries of a /proc directory such as /proc/self/fd or /proc/self/task,
// without the descriptor that reading /proc/self/fd itself takes.
inline int count_entries(const char *dir) {
    int n = 0;
    if (DIR *d = opendir(dir)) {
        while (const dirent *e = readdir(d)) {
            if (e->d_name[0] != '.') {
                ++n;
            }
        }
        closedir(d);
    }
    return n - (std::string(dir) == "/proc/self/fd" ? 1 : 0);
}

inline int count_open_fds() {
    return count_entries("/proc/self/fd");
}
inline int count_threads() {
    return count_entries("/proc/self/task");
}

// System V segments this process created that still exist.
inline int count_own_shm_segments() {
    std::ifstream f("/proc/sysvipc/shm");
    std::string line;
    std::getline(f, line); // header
    int n = 0;
    const long me = getpid();
    while (std::getline(f, line)) {
        long key, id, size, cpid;
        unsigned long perms;
        if (std::sscanf(line.c_str(), "%ld %ld %lu %ld %ld", &key, &id, &perms, &size, &cpid) == 5 &&
            cpid == me) {
            ++n;
        }
    }
    return n;
}
