#include "files_win32.h"

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <random>

std::string program_directory() {
    char path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    const auto slash = dir.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".\\") : dir.substr(0, slash + 1);
}

std::string read_whole_file(const std::string &path) {
    std::string data;
    if (FILE *f = std::fopen(path.c_str(), "rb"); f != nullptr) {
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) {
            data.append(chunk, n);
        }
        std::fclose(f);
    }
    return data;
}

bool file_exists(const std::string &path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

win32_temp_dir::win32_temp_dir() {
    char base[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, base);
    std::random_device rd;
    for (;;) {
        std::string candidate = std::string(base) + "ksr-test-" + std::to_string(rd());
        if (CreateDirectoryA(candidate.c_str(), nullptr)) {
            path_ = candidate;
            break;
        }
    }
}

win32_temp_dir::~win32_temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}
