// Small file helpers for the Windows tests, which run under Wine.
#pragma once

#include <string>

// The directory of the running test program, with a trailing backslash.
std::string program_directory();
// The whole file, or an empty text when it cannot be read.
std::string read_whole_file(const std::string &path);
bool file_exists(const std::string &path);
// A fresh scratch directory under the Windows temporary folder, with
// backslashes, removed with all it holds when the object goes.
class win32_temp_dir {
  public:
    win32_temp_dir();
    ~win32_temp_dir();
    win32_temp_dir(const win32_temp_dir &) = delete;
    win32_temp_dir &operator=(const win32_temp_dir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "\\" + name; }

  private:
    std::string path_;
};
