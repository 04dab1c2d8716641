// Faults from outside: the X server dies during a recording, the disk fills
// up, the output directory is missing or not a directory or read-only, and
// no audio server answers. Nothing may crash, hang or report a failure as a
// success. (The converter missing, failing or hanging is covered by the GIF
// step's own tests.)
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "kestrova/screenrecorder.h"
#include "png_writer/png_writer.h"
#include "screenrecorder/pattern.h"
#include "support/ffprobe_posix.h"
#include "support/process_posix.h"
#include "support/temp_dir.h"
#include "support/xvfb_posix.h"

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

rapidjson::Document parse_json(const char *text) {
    rapidjson::Document doc;
    doc.Parse(text);
    EXPECT_FALSE(doc.HasParseError()) << text;
    EXPECT_TRUE(doc.IsObject()) << text;
    return doc;
}

// The pid of this process's Xvfb child (the one xvfb_server started).
int find_xvfb_child() {
    const int self = getpid();
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) {
            continue;
        }
        const auto close = line.rfind(')');
        if (close == std::string::npos || line.find("(Xvfb)") == std::string::npos) {
            continue;
        }
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        int ppid = 0;
        rest >> state >> ppid;
        if (ppid == self) {
            return std::stoi(entry.path().filename());
        }
    }
    return -1;
}

// The exact PNG that a screenshot of the test pattern writes.
std::string pattern_png(const temp_dir &dir, int32_t width, int32_t height) {
    std::vector<uint8_t> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
    generate_pattern_frame(pixels.data(), width, height, 0);
    const std::string path = dir.file("expected-pattern.png");
    EXPECT_EQ(write_png_bgra(path.c_str(), width, height, pixels.data(), width * 4), 0);
    return read_file(path);
}

// Frame `index` of a video, decoded to BGRA by ffmpeg.
std::vector<uint8_t> decode_frame(const std::string &video, long long index, int32_t width, int32_t height) {
    const std::string raw = video + ".frame.bgra";
    const std::string command = "ffmpeg -v error -y -i '" + video + "' -vf 'select=eq(n\\," +
                                std::to_string(index) + ")' -frames:v 1 -f rawvideo -pix_fmt bgra '" + raw +
                                "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    const std::string bytes = read_file(raw);
    std::filesystem::remove(raw);
    if (bytes.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4) {
        return {};
    }
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

double mean_abs_colour_difference(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = 0; i + 3 < a.size() && i + 3 < b.size(); i += 4) {
        for (std::size_t c = 0; c < 3; ++c) {
            sum += std::abs(int{a[i + c]} - int{b[i + c]});
            ++n;
        }
    }
    return n == 0 ? 1e9 : sum / static_cast<double>(n);
}

TEST(Faults, XServerDiesDuringARecording) {
    temp_dir dir;
    const auto x = std::make_unique<xvfb_server>(320, 240);
    ASSERT_TRUE(x->ok());
    const int xvfb = find_xvfb_child();
    ASSERT_GT(xvfb, 0);

    const std::string video = dir.file("dies.mp4");
    int32_t job = 0;
    ASSERT_EQ(screenrecorder_start(video.c_str(), "{\"fps\":20,\"region\":{\"w\":64,\"h\":48}}", &job), 0)
        << screenrecorder_last_error();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    // The server goes away without warning; DISPLAY still names it.
    ASSERT_EQ(kill(xvfb, SIGKILL), 0);
    const auto killed_at = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const char *text = nullptr;
    ASSERT_EQ(screenrecorder_status(job, &text), 0);
    parse_json(text);

    const char *summary = nullptr;
    ASSERT_EQ(screenrecorder_stop(job, &summary), 0);
    const double after_kill_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - killed_at).count();
    const rapidjson::Document doc = parse_json(summary);
    const long long frames = doc["frames"].GetInt64();
    // The job went on after the server was gone: at 20 fps the first half
    // second holds at most 11 frames, and a second more was recorded after.
    EXPECT_GT(frames, 16) << summary << " after " << after_kill_s << " s without the server";

    // The file is complete and its last frame is the pattern of its number.
    const std::vector<uint8_t> last = decode_frame(video, frames - 1, 64, 48);
    ASSERT_FALSE(last.empty());
    std::vector<uint8_t> expected(64 * 48 * 4);
    generate_pattern_frame(expected.data(), 64, 48, frames - 1);
    EXPECT_LT(mean_abs_colour_difference(last, expected), 4.0) << "the last frame is not the pattern";

    // With the server gone, a screenshot is the pattern, byte for byte. A
    // new Xvfb elsewhere on this machine may take over the freed display
    // number, so the display is now named by TCP, where no Xvfb listens.
    setenv("DISPLAY", ("127.0.0.1" + x->display()).c_str(), 1);
    const std::string shot = dir.file("after.png");
    ASSERT_EQ(screenrecorder_screenshot(shot.c_str(), "{\"region\":{\"w\":40,\"h\":30}}", &text), 0)
        << screenrecorder_last_error();
    EXPECT_TRUE(read_file(shot) == pattern_png(dir, 40, 30)) << "the screenshot is not the pattern";
}

TEST(Faults, DevFullMakesTheScreenshotFail) {
    no_display_scope no_x;
    const char *text = "untouched";
    EXPECT_EQ(screenrecorder_screenshot("/dev/full", "{\"region\":{\"w\":64,\"h\":48}}", &text), -4);
    EXPECT_STREQ(screenrecorder_last_error(), "failed to write PNG file '/dev/full': rc -3");
    EXPECT_STREQ(text, "untouched");
}

// A small tmpfs of our own; skipped where this process may not mount.
class small_tmpfs {
  public:
    small_tmpfs(const std::string &where, const char *options) : path_(where) {
        std::filesystem::create_directories(path_);
        mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", 0, options) == 0;
    }
    ~small_tmpfs() {
        if (mounted_) {
            umount2(path_.c_str(), MNT_DETACH);
        }
    }
    small_tmpfs(const small_tmpfs &) = delete;
    small_tmpfs &operator=(const small_tmpfs &) = delete;
    bool mounted() const { return mounted_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
    bool mounted_ = false;
};

TEST(Faults, FullDiskKeepsWhatWasWrittenCountsItAndFailsTheScreenshot) {
    no_display_scope no_x; // the pattern moves every frame: the file keeps growing
    temp_dir dir;
    small_tmpfs disk(dir.file("disk"), "size=96k");
    if (!disk.mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    }
    // An MP4 job writes until the disk is full, then a GIF job starts on the
    // full disk. An MP4 is written in fragments, so what the disk took before
    // it filled still plays, and the summary counts exactly those frames.
    const std::string video = disk.file("full.mp4");
    const std::string gif = disk.file("full.gif");
    const std::vector<std::pair<std::string, const char *>> jobs = {
        {video, "{\"bitrate_kbps\":1000,\"region\":{\"w\":160,\"h\":120}}"},
        {gif, "{\"gif\":true,\"region\":{\"w\":160,\"h\":120}}"},
    };
    for (const auto &[file, options] : jobs) {
        int32_t job = 0;
        ASSERT_EQ(screenrecorder_start(file.c_str(), options, &job), 0);
        const char *text = nullptr;
        for (int i = 0; i < 25; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            ASSERT_EQ(screenrecorder_status(job, &text), 0);
        }
        const char *summary = nullptr;
        ASSERT_EQ(screenrecorder_stop(job, &summary), 0);
        std::printf("full disk: %s\n", summary);
        const rapidjson::Document doc = parse_json(summary);
        EXPECT_LE(doc["size_mb"].GetDouble(), 0.1) << "more than the disk holds";
        const long long frames = doc["frames"].GetInt64();
        if (file == video) {
            EXPECT_GT(frames, 0) << "the first fragments fit on the disk: " << summary;
        }
        if (frames == 0) {
            continue;
        }
        const probed_file probed = probe_media(file);
        ASSERT_TRUE(probed.ok) << file;
        ASSERT_NE(probed.video(), nullptr);
        EXPECT_EQ(probed.video()->frames, frames) << summary;
        const std::string decode = "ffmpeg -v error -xerror -i '" + file + "' -f null - 2>&1";
        EXPECT_EQ(std::system(decode.c_str()), 0) << decode;
    }
    EXPECT_FALSE(std::filesystem::exists(gif + ".tmp.mp4")) << "the temporary file was left on the full disk";

    // Fill whatever is left, then a screenshot cannot be written.
    {
        std::ofstream filler(disk.file("filler"), std::ios::binary);
        const std::string block(4096, 'f');
        for (int i = 0; i < 64 && filler; ++i) {
            filler.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    const std::string shot = disk.file("shot.png");
    const char *out = "untouched";
    EXPECT_EQ(screenrecorder_screenshot(shot.c_str(), "{\"region\":{\"w\":64,\"h\":48}}", &out), -4);
    EXPECT_EQ(std::string(screenrecorder_last_error()), "failed to write PNG file '" + shot + "': rc -3");
    EXPECT_STREQ(out, "untouched");
}

TEST(Faults, UnusableOutputDirectories) {
    no_display_scope no_x;
    temp_dir dir;
    { std::ofstream(dir.file("plain-file")) << "not a directory"; }
    std::vector<std::pair<std::string, std::string>> places = {
        {"a missing directory", dir.file("missing")},
        {"a file used as a directory", dir.file("plain-file")},
    };
    std::optional<small_tmpfs> read_only;
    read_only.emplace(dir.file("ro"), "size=64k");
    if (read_only->mounted() &&
        mount(nullptr, dir.file("ro").c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0) {
        // Root ignores permission bits, but not a read-only file system.
        places.push_back({"a read-only file system", dir.file("ro")});
    }
    for (const auto &[what, place] : places) {
        SCOPED_TRACE(what);
        for (const bool gif : {false, true}) {
            const std::string path = place + (gif ? "/out.gif" : "/out.mp4");
            int32_t job = 0;
            ASSERT_EQ(screenrecorder_start(path.c_str(),
                                           gif ? "{\"gif\":true,\"region\":{\"w\":64,\"h\":48}}"
                                               : "{\"region\":{\"w\":64,\"h\":48}}",
                                           &job),
                      0)
                << "start does not check the file";
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const char *text = nullptr;
            ASSERT_EQ(screenrecorder_status(job, &text), 0) << "a job that failed at set-up still answers";
            EXPECT_NE(std::string(text).find("\"size_mb\":0.00"), std::string::npos) << text;
            const char *summary = nullptr;
            ASSERT_EQ(screenrecorder_stop(job, &summary), 0);
            const rapidjson::Document doc = parse_json(summary);
            EXPECT_EQ(doc["frames"].GetInt64(), 0) << summary;
            EXPECT_EQ(doc["size_mb"].GetDouble(), 0.0) << summary;
            EXPECT_FALSE(std::filesystem::exists(path));
        }
        const std::string shot = place + "/shot.png";
        const char *out = "untouched";
        EXPECT_EQ(screenrecorder_screenshot(shot.c_str(), "{\"region\":{\"w\":16,\"h\":16}}", &out), -4);
        EXPECT_EQ(std::string(screenrecorder_last_error()), "failed to write PNG file '" + shot + "': rc -2");
        EXPECT_STREQ(out, "untouched");
    }
}

// PULSE_SERVER set for a scope, put back afterwards.
class pulse_server_scope {
  public:
    explicit pulse_server_scope(const std::string &server) {
        if (const char *old = std::getenv("PULSE_SERVER")) {
            saved_ = old;
        }
        setenv("PULSE_SERVER", server.c_str(), 1);
    }
    ~pulse_server_scope() {
        if (saved_) {
            setenv("PULSE_SERVER", saved_->c_str(), 1);
        } else {
            unsetenv("PULSE_SERVER");
        }
    }
    pulse_server_scope(const pulse_server_scope &) = delete;
    pulse_server_scope &operator=(const pulse_server_scope &) = delete;

  private:
    std::optional<std::string> saved_;
};

TEST(Faults, NoAudioServerMeansNoAudioDevice) {
    temp_dir dir;
    // A socket that takes connections but never says a word: a hung server.
    const std::string mute = dir.file("mute.sock");
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", mute.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);

    const std::vector<std::pair<const char *, std::string>> servers = {
        {"no server at that socket", "unix:" + dir.file("nobody-here.sock")},
        {"a server that never answers", "unix:" + mute},
    };
    const int threads_before = count_threads();
    for (const auto &[what, server] : servers) {
        SCOPED_TRACE(what);
        pulse_server_scope scope(server);
        const auto begin = std::chrono::steady_clock::now();
        const char *text = nullptr;
        ASSERT_EQ(screenrecorder_probe(&text), 0);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        const rapidjson::Document doc = parse_json(text);
        ASSERT_TRUE(doc.HasMember("can_audio"));
        EXPECT_FALSE(doc["can_audio"].GetBool()) << text;
        // Not a speed target: a probe that waited on the server for good
        // would never get here; this only tells a hang from a short wait.
        EXPECT_LT(seconds, 10.0);
        EXPECT_EQ(count_threads(), threads_before) << "the probe left a thread behind";
    }
    close(listener);
}

} // namespace
