// Repeating the last picture of an H.264 stream without an encoder.
//
// A picture that did not change since the last one can be coded as a P
// picture in which every macroblock is skipped: it copies its reference
// exactly and takes a few bytes. This module writes such pictures itself,
// for streams whose parameter sets allow it, and splices them between the
// encoder's own pictures:
//
//   - the inserted pictures are reference pictures, so the encoder's next
//     picture, which predicts from its own last picture, predicts from an
//     exact copy of it instead (streams with one reference frame only);
//   - the encoder does not know about them, so every later picture of its
//     own gets its frame_num moved on by the number inserted since the last
//     IDR picture (a field of fixed width: the slice keeps its length);
//   - picture order follows frame_num (pic_order_cnt_type 2), so output
//     order is decoding order and no other field needs to change.
//
// Streams with CABAC, several reference frames, B-pictures (another picture
// order type), field coding or slice groups are refused: the caller then
// sends every picture to the encoder.
#pragma once

#include <cstddef>
#include <cstdint>

// What the parameter sets say about the stream, as far as writing skipped
// pictures and renumbering slices needs it.
struct h264_skip_stream {
    bool usable;             // skipped pictures can be spliced into this stream
    int log2_max_frame_num;  // frame_num is this many bits
    uint32_t macroblocks;    // per picture
    uint32_t pps_id;         // the picture parameter set the slices use
    bool override_ref_count; // the PPS default is not one reference
    bool redundant_pic_cnt;  // slices carry redundant_pic_cnt
    bool weighted_pred;      // P slices carry a weight table
    bool deblocking_control; // slices carry disable_deblocking_filter_idc
};

// Reads the sequence and picture parameter sets from an encoder's global
// header (Annex B NAL units, or an avcC record). `usable` tells whether the
// stream can take skipped pictures.
h264_skip_stream h264_skip_inspect(const uint8_t *extradata, std::size_t size);

// Writes one Annex B access unit: a P picture, every macroblock skipped,
// with this frame_num. Returns its length, 0 when `cap` is too small
// (64 bytes are always enough).
std::size_t h264_skip_picture(const h264_skip_stream &stream, uint32_t frame_num, uint8_t *out,
                              std::size_t cap);

// The splicing state of one stream, between two IDR pictures.
struct h264_splice {
    h264_skip_stream stream;
    uint32_t inserted;       // skipped pictures written since the last IDR picture
    uint32_t last_frame_num; // of the last picture written, after renumbering
    bool started;            // an IDR picture has been written
};

// Renumbers the slices of one encoded access unit (Annex B) for the
// pictures inserted so far, into `out` (at least `size * 3 / 2 + 16`
// bytes, and `scratch` at least `size` bytes). Returns the new length, or
// 0 when the unit is not one this module can renumber (then the stream
// must not take skipped pictures any more). `changed` is false when the
// unit needs no renumbering: `out` then holds the same NAL units, and the
// caller may keep the unit as it is.
std::size_t h264_splice_encoded(h264_splice *splice, const uint8_t *unit, std::size_t size, uint8_t *out,
                                uint8_t *scratch, bool *changed);

// The next skipped picture, after the last written one. Returns its length,
// 0 before the first IDR picture or when `cap` is too small.
std::size_t h264_splice_skipped(h264_splice *splice, uint8_t *out, std::size_t cap);
