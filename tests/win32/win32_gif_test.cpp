// The GIF step on Windows: the converter started directly from its fixed
// location (a stand-in the test places there inside the Wine prefix), the
// fallback through the command interpreter when nothing is there, and the
// 30 s limit for a converter that hangs. The temporary file goes every time.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "screenrecorder/gif.h"
#include "screenrecorder/job.h"
#include "support/files_win32.h"

namespace {

constexpr const char *kFixedDir[] = {"C:\\codebases", "C:\\codebases\\ffmpeg-lgpl-shared",
                                     "C:\\codebases\\ffmpeg-lgpl-shared\\bin"};
constexpr char kFixedConverter[] = "C:\\codebases\\ffmpeg-lgpl-shared\\bin\\ffmpeg.exe";
constexpr char kFilter[] = "\"[0:v] split [a][b]; [a] palettegen [p]; [b][p] paletteuse\"";

// Puts a stand-in (or nothing) at the converter's fixed path for the scope,
// and takes away whatever it put there afterwards.
class fixed_converter {
  public:
    explicit fixed_converter(const char *stand_in) {
        DeleteFileA(kFixedConverter);
        if (stand_in == nullptr) {
            return;
        }
        for (const char *dir : kFixedDir) {
            CreateDirectoryA(dir, nullptr);
        }
        placed_ = CopyFileA((program_directory() + stand_in).c_str(), kFixedConverter, FALSE) != 0;
    }
    ~fixed_converter() {
        DeleteFileA(kFixedConverter);
        for (int i = 2; i >= 0; --i) {
            RemoveDirectoryA(kFixedDir[i]);
        }
    }
    fixed_converter(const fixed_converter &) = delete;
    fixed_converter &operator=(const fixed_converter &) = delete;
    bool placed() const { return placed_; }

  private:
    bool placed_ = false;
};

// Sets an environment variable for the scope, in the runtime's copy and the
// process's block, so that both CreateProcessA and system() children see it.
class env_var {
  public:
    env_var(const char *name, const std::string &value) : name_(name) {
        if (const char *old = std::getenv(name); old != nullptr) {
            had_ = true;
            old_ = old;
        }
        _putenv_s(name, value.c_str());
    }
    ~env_var() { _putenv_s(name_, had_ ? old_.c_str() : ""); }
    env_var(const env_var &) = delete;
    env_var &operator=(const env_var &) = delete;

  private:
    const char *name_;
    bool had_ = false;
    std::string old_;
};

struct gif_job {
    recording_job job{};
    gif_job(const std::string &output) {
        std::snprintf(job.output_path, sizeof job.output_path, "%s", output.c_str());
        std::snprintf(job.temp_path, sizeof job.temp_path, "%s.tmp.mp4", output.c_str());
        job.opts.gif = 1;
        // The finalised recording the step converts; the stand-ins ignore it.
        if (FILE *f = std::fopen(job.temp_path, "wb"); f != nullptr) {
            std::fputs("not really an mp4", f);
            std::fclose(f);
        }
    }
};

bool starts_with(const std::string &s, const std::string &prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

TEST(GifConversion, DirectStartRunsTheFixedConverterWithTheExactCommandLine) {
    fixed_converter fixed("ksr_fake_converter.exe");
    ASSERT_TRUE(fixed.placed());
    win32_temp_dir dir;
    // A folder with spaces: each path stands in quotation marks.
    const std::string folder = dir.file("my recordings");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    const std::string log = dir.file("command.txt");
    env_var log_var("KSR_CONVERTER_LOG", log);
    gif_job g(folder + "\\clip one.gif");
    ASSERT_TRUE(file_exists(g.job.temp_path));

    convert_to_gif(&g.job);

    EXPECT_EQ(read_whole_file(log), std::string(kFixedConverter) + " -y -i \"" + g.job.temp_path +
                                        "\" -filter_complex " + kFilter + " \"" + g.job.output_path + "\"");
    EXPECT_TRUE(starts_with(read_whole_file(g.job.output_path), "GIF89a"));
    EXPECT_FALSE(file_exists(g.job.temp_path));
}

TEST(GifConversion, WithoutTheFixedConverterTheFallbackFindsFfmpegByName) {
    fixed_converter nothing(nullptr);
    ASSERT_FALSE(file_exists(kFixedConverter));
    win32_temp_dir dir;
    // "ffmpeg" on the search path of the command interpreter.
    const std::string bin = dir.file("bin");
    ASSERT_TRUE(CreateDirectoryA(bin.c_str(), nullptr));
    ASSERT_TRUE(CopyFileA((program_directory() + "ksr_fake_converter.exe").c_str(),
                          (bin + "\\ffmpeg.exe").c_str(), FALSE));
    const char *path = std::getenv("PATH");
    env_var path_var("PATH", bin + ";" + (path != nullptr ? path : ""));
    const std::string log = dir.file("command.txt");
    env_var log_var("KSR_CONVERTER_LOG", log);
    gif_job g(dir.file("fallback.gif"));

    convert_to_gif(&g.job);

    // The interpreter may name the program as it found it; what follows the
    // name is the fallback line as formatted.
    const std::string command = read_whole_file(log);
    const std::string args = " -y -i \"" + std::string(g.job.temp_path) + "\" -filter_complex " + kFilter +
                             " \"" + g.job.output_path + "\"";
    ASSERT_GE(command.size(), args.size()) << command;
    EXPECT_EQ(command.substr(command.size() - args.size()), args) << command;
    EXPECT_NE(command.find("ffmpeg"), std::string::npos) << command;
    EXPECT_EQ(command.find("codebases"), std::string::npos) << command;
    EXPECT_TRUE(starts_with(read_whole_file(g.job.output_path), "GIF89a"));
    EXPECT_FALSE(file_exists(g.job.temp_path));
}

TEST(GifConversion, NoConverterAnywhereStillRemovesTheTemporaryFile) {
    fixed_converter nothing(nullptr);
    win32_temp_dir dir;
    // An empty search path: the interpreter finds no ffmpeg at all.
    env_var path_var("PATH", dir.path());
    gif_job g(dir.file("nothing.gif"));

    convert_to_gif(&g.job);

    EXPECT_FALSE(file_exists(g.job.output_path));
    EXPECT_FALSE(file_exists(g.job.temp_path));
}

TEST(GifConversion, AConverterPastTheLimitIsLeftRunningAndTheStepGoesOn) {
    fixed_converter fixed("ksr_slow_converter.exe");
    ASSERT_TRUE(fixed.placed());
    win32_temp_dir dir;
    const std::string marks = dir.file("slow");
    env_var log_var("KSR_CONVERTER_LOG", marks);
    gif_job g(dir.file("slow.gif"));

    const ULONGLONG begin = GetTickCount64();
    convert_to_gif(&g.job);
    const ULONGLONG waited = GetTickCount64() - begin;

    EXPECT_TRUE(file_exists(marks + ".started"));
    EXPECT_FALSE(file_exists(marks + ".ended")) << "the step waited for the converter to end";
    // The wait gives up at 30 s (the clock steps about 16 ms).
    EXPECT_GE(waited, 29900u);
    EXPECT_FALSE(file_exists(g.job.temp_path));
    EXPECT_FALSE(file_exists(g.job.output_path));

    // Let the stand-in end before its folder and file go.
    for (int i = 0; i < 200 && !file_exists(marks + ".ended"); ++i) {
        Sleep(50);
    }
    Sleep(200);
}

} // namespace
