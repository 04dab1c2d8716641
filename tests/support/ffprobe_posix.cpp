#include "ffprobe_posix.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <rapidjson/document.h>

namespace {

// Single quotes protect everything but a single quote itself.
std::string shell_quote(const std::string &text) {
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

bool run_capture(const std::string &command, std::string *out) {
    std::FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return false;
    }
    char buffer[65536];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        out->append(buffer, n);
    }
    return pclose(pipe) == 0;
}

std::string text_of(const rapidjson::Value &object, const char *key) {
    const auto it = object.FindMember(key);
    return it != object.MemberEnd() && it->value.IsString() ? it->value.GetString() : std::string();
}

// ffprobe prints some numbers as strings ("nb_read_frames": "54").
double number_of(const rapidjson::Value &object, const char *key, double fallback) {
    const auto it = object.FindMember(key);
    if (it == object.MemberEnd()) {
        return fallback;
    }
    if (it->value.IsNumber()) {
        return it->value.GetDouble();
    }
    if (it->value.IsString()) {
        char *end = nullptr;
        const double v = std::strtod(it->value.GetString(), &end);
        return end != it->value.GetString() ? v : fallback;
    }
    return fallback;
}

} // namespace

const probed_stream *probed_file::video() const {
    for (const probed_stream &s : streams) {
        if (s.codec_type == "video") {
            return &s;
        }
    }
    return nullptr;
}

const probed_stream *probed_file::audio() const {
    for (const probed_stream &s : streams) {
        if (s.codec_type == "audio") {
            return &s;
        }
    }
    return nullptr;
}

int probed_file::count(const std::string &codec_type) const {
    int n = 0;
    for (const probed_stream &s : streams) {
        n += s.codec_type == codec_type ? 1 : 0;
    }
    return n;
}

probed_file probe_media(const std::string &path) {
    probed_file result;
    std::string json;
    if (!run_capture("ffprobe -v error -of json -show_format -show_streams -count_frames " +
                         shell_quote(path) + " 2>/dev/null",
                     &json)) {
        return result;
    }
    rapidjson::Document doc;
    doc.Parse(json.c_str());
    if (doc.HasParseError() || !doc.IsObject()) {
        return result;
    }
    const auto format = doc.FindMember("format");
    if (format != doc.MemberEnd() && format->value.IsObject()) {
        result.format_name = text_of(format->value, "format_name");
    }
    const auto streams = doc.FindMember("streams");
    if (streams != doc.MemberEnd() && streams->value.IsArray()) {
        for (const rapidjson::Value &s : streams->value.GetArray()) {
            probed_stream p;
            p.codec_type = text_of(s, "codec_type");
            p.codec_name = text_of(s, "codec_name");
            p.codec_tag = text_of(s, "codec_tag_string");
            p.pix_fmt = text_of(s, "pix_fmt");
            p.field_order = text_of(s, "field_order");
            p.sample_aspect_ratio = text_of(s, "sample_aspect_ratio");
            p.r_frame_rate = text_of(s, "r_frame_rate");
            p.avg_frame_rate = text_of(s, "avg_frame_rate");
            p.sample_fmt = text_of(s, "sample_fmt");
            p.width = static_cast<int>(number_of(s, "width", 0));
            p.height = static_cast<int>(number_of(s, "height", 0));
            p.sample_rate = static_cast<int>(number_of(s, "sample_rate", 0));
            p.channels = static_cast<int>(number_of(s, "channels", 0));
            p.frames = static_cast<int64_t>(number_of(s, "nb_read_frames", -1));
            p.start_time = number_of(s, "start_time", 0.0);
            p.duration = number_of(s, "duration", 0.0);
            p.bit_rate = static_cast<int64_t>(number_of(s, "bit_rate", 0));
            result.streams.push_back(p);
        }
    }
    result.ok = true;
    return result;
}

std::vector<uint8_t> decode_video_frame(const std::string &path, int index, int width, int height) {
    std::string raw;
    const std::string command = "ffmpeg -v error -nostdin -i " + shell_quote(path) + " -vf " +
                                shell_quote("select=eq(n\\," + std::to_string(index) + ")") +
                                " -frames:v 1 -f rawvideo -pix_fmt bgra - 2>/dev/null";
    if (!run_capture(command, &raw) ||
        raw.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4) {
        return {};
    }
    return std::vector<uint8_t>(raw.begin(), raw.end());
}

std::vector<int16_t> decode_audio(const std::string &path) {
    std::string raw;
    const std::string command = "ffmpeg -v error -nostdin -i " + shell_quote(path) +
                                " -map 0:a:0 -f s16le -acodec pcm_s16le -ac 2 -ar 44100 - 2>/dev/null";
    if (!run_capture(command, &raw)) {
        return {};
    }
    std::vector<int16_t> samples(raw.size() / 2);
    std::memcpy(samples.data(), raw.data(), samples.size() * 2);
    return samples;
}

std::vector<double> decode_video_brightness(const std::string &path) {
    std::string raw;
    const std::string command = "ffmpeg -v error -nostdin -i " + shell_quote(path) +
                                " -map 0:v:0 -vf scale=8:8 -f rawvideo -pix_fmt gray - 2>/dev/null";
    if (!run_capture(command, &raw)) {
        return {};
    }
    std::vector<double> levels(raw.size() / 64);
    for (std::size_t f = 0; f < levels.size(); ++f) {
        double sum = 0;
        for (std::size_t i = 0; i < 64; ++i) {
            sum += static_cast<unsigned char>(raw[f * 64 + i]);
        }
        levels[f] = sum / 64.0;
    }
    return levels;
}
