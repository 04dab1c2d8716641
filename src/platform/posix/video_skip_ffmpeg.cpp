// Unchanged pictures written as skipped H.264 pictures instead of being sent
// to x264 again (h264_skip holds the bitstream side; this is the FFmpeg
// side: which pictures to skip, the order they reach the muxer in, and the
// keyframes the encoder no longer places by itself).
//
// x264 refines an unchanged picture over its next few pictures, so a
// change is followed by kRefinePictures more of the same picture before
// skipping starts. The encoder holds a picture or two while it works on
// them; skipped pictures that come after one wait in a queue until its
// packet is out, so that the file keeps the order of the pictures. A
// queue that grows past half a second is flushed by sending the
// encoder one more picture.
#include <cstdlib>
#include <cstring>

#include "platform/posix/media_sink_ffmpeg.h"

namespace {

// Unchanged pictures still sent to x264 after a change: enough for its
// rate control to bring the picture to the quality that more of them would
// not raise (bench/record-vs-ffmpeg, the still scene).
constexpr int32_t kRefinePictures = 2;
constexpr int32_t kQueueCapacity =
    static_cast<int32_t>(sizeof(posix_video_skip::queue) / sizeof(posix_video_skip::queue[0]));

void queue_push(posix_video_skip *k, int64_t index, bool skipped) {
    const int32_t at = (k->queue_head + k->queue_size) % kQueueCapacity;
    k->queue[at] = posix_queued_picture{index, skipped};
    ++k->queue_size;
}

posix_queued_picture queue_pop(posix_video_skip *k) {
    const posix_queued_picture front = k->queue[k->queue_head];
    k->queue_head = (k->queue_head + 1) % kQueueCapacity;
    --k->queue_size;
    return front;
}

// Writes the skipped picture that follows the last written one.
int write_skipped(posix_ffmpeg_sink *s, int64_t index) {
    posix_video_skip *k = &s->skip;
    uint8_t bytes[64];
    const std::size_t length = h264_splice_skipped(&k->splice, bytes, sizeof bytes);
    if (length == 0) {
        return AVERROR(EINVAL);
    }
    // Each frame_num's picture is made once and shared by every packet.
    AVBufferRef *&picture = k->pictures[k->splice.last_frame_num];
    if (picture == nullptr) {
        picture = av_buffer_alloc(length + AV_INPUT_BUFFER_PADDING_SIZE);
        if (picture == nullptr) {
            return AVERROR(ENOMEM);
        }
        std::memcpy(picture->data, bytes, length);
        std::memset(picture->data + length, 0, AV_INPUT_BUFFER_PADDING_SIZE);
        picture->size = length;
    }
    AVPacket *packet = s->packet;
    av_packet_unref(packet);
    packet->buf = av_buffer_ref(picture);
    if (packet->buf == nullptr) {
        return AVERROR(ENOMEM);
    }
    packet->data = packet->buf->data;
    packet->size = static_cast<int>(picture->size);
    packet->pts = index;
    packet->dts = index;
    packet->duration = 1;
    packet->flags = 0;
    return posix_write_packet(s, packet, s->video, s->video_stream);
}

} // namespace

void posix_skip_open(posix_ffmpeg_sink *s) {
    posix_video_skip *k = &s->skip;
    *k = posix_video_skip{};
    const AVCodecContext *c = s->video;
    if (c == nullptr || c->codec_id != AV_CODEC_ID_H264 || c->extradata == nullptr) {
        return;
    }
    k->splice.stream = h264_skip_inspect(c->extradata, static_cast<std::size_t>(c->extradata_size));
    if (!k->splice.stream.usable || k->splice.stream.log2_max_frame_num > 8) {
        return;
    }
    k->refine = kRefinePictures;
    k->refine_after_key = kRefinePictures;
    k->gop = c->gop_size;
    k->queue_limit = s->fps / 2 < 4 ? 4 : s->fps / 2 > kQueueCapacity / 2 ? kQueueCapacity / 2 : s->fps / 2;
    k->next_key_in = -1;
    k->enabled = true;
}

void posix_skip_close(posix_ffmpeg_sink *s) {
    posix_video_skip *k = &s->skip;
    for (AVBufferRef *&picture : k->pictures) {
        av_buffer_unref(&picture);
    }
    std::free(k->unit);
    std::free(k->scratch);
    k->unit = nullptr;
    k->scratch = nullptr;
    k->unit_cap = 0;
    k->enabled = false;
}

bool posix_skip_wanted(posix_ffmpeg_sink *s, bool unchanged) {
    posix_video_skip *k = &s->skip;
    if (!k->enabled) {
        return false;
    }
    if (!unchanged) {
        k->to_refine = k->refine;
        return false;
    }
    if (k->to_refine > 0) {
        --k->to_refine;
        return false;
    }
    return k->next_key_in > 0 && k->queue_size < k->queue_limit && k->splice.started;
}

int posix_skip_write(posix_ffmpeg_sink *s, int64_t index) {
    posix_video_skip *k = &s->skip;
    --k->next_key_in;
    if (k->queue_size > 0) {
        queue_push(k, index, true);
        return 0;
    }
    return write_skipped(s, index);
}

bool posix_skip_sent(posix_ffmpeg_sink *s, int64_t index) {
    posix_video_skip *k = &s->skip;
    if (!k->enabled) {
        return false;
    }
    queue_push(k, index, false);
    // The first picture is a keyframe anyway; then one every `gop` pictures,
    // as x264 places them when it is sent every picture.
    const bool key = k->next_key_in == 0;
    k->next_key_in = key || k->next_key_in < 0 ? k->gop - 1 : k->next_key_in - 1;
    if (key && k->to_refine < k->refine_after_key) {
        k->to_refine = k->refine_after_key;
    }
    return key;
}

int posix_skip_write_encoded(posix_ffmpeg_sink *s, AVPacket *packet) {
    posix_video_skip *k = &s->skip;
    // The packet belongs to the oldest picture the encoder held.
    if (k->queue_size > 0 && !k->queue[k->queue_head].skipped) {
        queue_pop(k);
    }
    const auto size = static_cast<std::size_t>(packet->size);
    const std::size_t need = size * 3 / 2 + 16;
    if (need > k->unit_cap) {
        std::free(k->unit);
        std::free(k->scratch);
        k->unit = static_cast<uint8_t *>(std::malloc(need));
        k->scratch = static_cast<uint8_t *>(std::malloc(need));
        k->unit_cap = k->unit != nullptr && k->scratch != nullptr ? need : 0;
        if (k->unit_cap == 0) {
            return AVERROR(ENOMEM);
        }
    }
    bool changed = false;
    const std::size_t length =
        h264_splice_encoded(&k->splice, packet->data, size, k->unit, k->scratch, &changed);
    if (length == 0) {
        // Not a unit this stream's renumbering understands: it is written as
        // it is, and no picture is skipped any more.
        k->enabled = false;
    } else if (changed) {
        int rc = av_packet_make_writable(packet);
        if (rc >= 0 && length > size) {
            rc = av_grow_packet(packet, static_cast<int>(length - size));
        }
        if (rc < 0) {
            return rc;
        }
        std::memcpy(packet->data, k->unit, length);
        av_shrink_packet(packet, static_cast<int>(length));
    }
    int rc = posix_write_packet(s, packet, s->video, s->video_stream);
    while (rc >= 0 && k->queue_size > 0 && k->queue[k->queue_head].skipped) {
        rc = write_skipped(s, queue_pop(k).index);
    }
    return rc;
}
