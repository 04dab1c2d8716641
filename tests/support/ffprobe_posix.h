// Test helpers that read a written media file with the real ffprobe and
// ffmpeg programs.
//
//   probed_file f = probe_media(path);     // ffprobe -of json, frames counted
//   f.ok, f.format_name, f.video(), f.audio()
//   decode_video_frame(path, 0, w, h)      // frame 0 as w x h BGRA bytes
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct probed_stream {
    std::string codec_type; // "video" or "audio"
    std::string codec_name; // "h264", "hevc", "aac"
    std::string codec_tag;  // codec_tag_string, e.g. "avc1", "hvc1"
    std::string pix_fmt;
    std::string field_order;
    std::string sample_aspect_ratio;
    std::string r_frame_rate;
    std::string avg_frame_rate;
    std::string sample_fmt;
    int width = 0;
    int height = 0;
    int sample_rate = 0;
    int channels = 0;
    int64_t frames = -1; // frames read by decoding (-count_frames), -1 unknown
    double start_time = 0.0;
    double duration = 0.0;
    int64_t bit_rate = 0;
};

struct probed_file {
    bool ok = false;         // ffprobe ran and read the file
    std::string format_name; // e.g. "mov,mp4,m4a,3gp,3g2,mj2"
    std::vector<probed_stream> streams;
    const probed_stream *video() const;
    const probed_stream *audio() const;
    int count(const std::string &codec_type) const;
};

// Runs `ffprobe -v error -of json -show_format -show_streams -count_frames`.
probed_file probe_media(const std::string &path);

// Decodes video frame `index` with ffmpeg and returns it as width x height
// BGRA pixels (empty when ffmpeg failed).
std::vector<uint8_t> decode_video_frame(const std::string &path, int index, int width, int height);

// Decodes the first audio track with ffmpeg as interleaved 44100 Hz stereo
// signed 16-bit samples (empty when ffmpeg failed).
std::vector<int16_t> decode_audio(const std::string &path);

// The mean brightness (0..255) of every video frame, in order.
std::vector<double> decode_video_brightness(const std::string &path);
