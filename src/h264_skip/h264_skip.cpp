// Skipped H.264 pictures and the renumbering of the encoder's own slices.
#include "h264_skip/h264_skip.h"

#include <cstring>

#include "h264_skip/h264_bits.h"

namespace {

constexpr int kNalSlice = 1;
constexpr int kNalIdrSlice = 5;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;
constexpr std::size_t kMaxHeaderBytes = 64;

// Profiles whose SPS carries chroma format, bit depths and scaling lists.
bool high_profile(uint32_t profile) {
    switch (profile) {
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
    case 83:
    case 86:
    case 118:
    case 128:
    case 138:
    case 139:
    case 134:
    case 135:
        return true;
    default:
        return false;
    }
}

void skip_scaling_list(h264_bit_reader *r, int entries) {
    int32_t last = 8;
    int32_t next = 8;
    for (int j = 0; j < entries && !r->overrun; ++j) {
        if (next != 0) {
            next = (last + h264_read_se(r) + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
}

struct sps_fields {
    bool ok;
    uint32_t id;
    int log2_max_frame_num;
    uint32_t macroblocks;
};

sps_fields read_sps(const uint8_t *rbsp, std::size_t size) {
    h264_bit_reader r{rbsp, size, 8, false};
    sps_fields sps{};
    const uint32_t profile = h264_read_bits(&r, 8);
    h264_read_bits(&r, 16); // constraint flags, level
    sps.id = h264_read_ue(&r);
    if (high_profile(profile)) {
        const uint32_t chroma_format = h264_read_ue(&r);
        if (chroma_format == 3 && h264_read_bits(&r, 1) != 0) {
            return sps; // separate colour planes
        }
        h264_read_ue(&r); // bit depths
        h264_read_ue(&r);
        h264_read_bits(&r, 1);
        if (h264_read_bits(&r, 1) != 0) {
            for (int i = 0; i < (chroma_format != 3 ? 8 : 12); ++i) {
                if (h264_read_bits(&r, 1) != 0) {
                    skip_scaling_list(&r, i < 6 ? 16 : 64);
                }
            }
        }
    }
    sps.log2_max_frame_num = static_cast<int>(h264_read_ue(&r)) + 4;
    const uint32_t poc_type = h264_read_ue(&r);
    const uint32_t max_refs = h264_read_ue(&r);
    h264_read_bits(&r, 1); // gaps_in_frame_num_value_allowed_flag
    const uint32_t width = h264_read_ue(&r) + 1;
    const uint32_t height = h264_read_ue(&r) + 1;
    const uint32_t frame_mbs_only = h264_read_bits(&r, 1);
    sps.macroblocks = width * height;
    sps.ok = !r.overrun && poc_type == 2 && max_refs == 1 && frame_mbs_only == 1 &&
             sps.log2_max_frame_num <= 16 && width <= 1024 && height <= 1024;
    return sps;
}

struct pps_fields {
    bool ok;
    uint32_t id;
    uint32_t sps_id;
    bool override_ref_count;
    bool weighted_pred;
    bool deblocking_control;
    bool redundant_pic_cnt;
};

pps_fields read_pps(const uint8_t *rbsp, std::size_t size) {
    h264_bit_reader r{rbsp, size, 8, false};
    pps_fields pps{};
    pps.id = h264_read_ue(&r);
    pps.sps_id = h264_read_ue(&r);
    const uint32_t cabac = h264_read_bits(&r, 1);
    h264_read_bits(&r, 1); // bottom_field_pic_order_in_frame_present_flag
    const uint32_t slice_groups = h264_read_ue(&r) + 1;
    pps.override_ref_count = h264_read_ue(&r) != 0;
    h264_read_ue(&r);
    pps.weighted_pred = h264_read_bits(&r, 1) != 0;
    h264_read_bits(&r, 2);
    h264_read_se(&r); // pic_init_qp_minus26
    h264_read_se(&r);
    h264_read_se(&r);
    pps.deblocking_control = h264_read_bits(&r, 1) != 0;
    h264_read_bits(&r, 1); // constrained_intra_pred_flag
    pps.redundant_pic_cnt = h264_read_bits(&r, 1) != 0;
    pps.ok = !r.overrun && cabac == 0 && slice_groups == 1;
    return pps;
}

// Calls `take(nal)` for every NAL unit of an Annex B stream or an avcC record.
template <typename Take> void each_nal(const uint8_t *data, std::size_t size, Take take) {
    if (size > 6 && data[0] == 1) {
        // avcC: header, SPS count, SPS entries, PPS count, PPS entries.
        std::size_t at = 5;
        for (int list = 0; list < 2 && at < size; ++list) {
            const int count = list == 0 ? data[at] & 0x1F : data[at];
            ++at;
            for (int i = 0; i < count && at + 2 <= size; ++i) {
                const std::size_t length = std::size_t{data[at]} << 8 | data[at + 1];
                at += 2;
                if (at + length > size) {
                    return;
                }
                take(h264_nal{data + at, length});
                at += length;
            }
        }
        return;
    }
    std::size_t offset = 0;
    h264_nal nal{};
    while (h264_next_nal(data, size, &offset, &nal)) {
        take(nal);
    }
}

} // namespace

h264_skip_stream h264_skip_inspect(const uint8_t *extradata, std::size_t size) {
    h264_skip_stream stream{};
    sps_fields sps{};
    pps_fields pps{};
    int sps_count = 0;
    int pps_count = 0;
    uint8_t rbsp[512];
    each_nal(extradata, size, [&](h264_nal nal) {
        const int type = nal.data[0] & 0x1F;
        if ((type != kNalSps && type != kNalPps) || nal.size > sizeof rbsp) {
            return;
        }
        const std::size_t length = h264_unescape(nal.data, nal.size, rbsp);
        if (type == kNalSps) {
            sps = read_sps(rbsp, length);
            ++sps_count;
        } else {
            pps = read_pps(rbsp, length);
            ++pps_count;
        }
    });
    // One of each, and the PPS refers to the SPS.
    stream.usable = sps_count == 1 && pps_count == 1 && sps.ok && pps.ok && pps.sps_id == sps.id;
    stream.log2_max_frame_num = sps.log2_max_frame_num;
    stream.macroblocks = sps.macroblocks;
    stream.pps_id = pps.id;
    stream.override_ref_count = pps.override_ref_count;
    stream.redundant_pic_cnt = pps.redundant_pic_cnt;
    stream.weighted_pred = pps.weighted_pred;
    stream.deblocking_control = pps.deblocking_control;
    return stream;
}

std::size_t h264_skip_picture(const h264_skip_stream &stream, uint32_t frame_num, uint8_t *out,
                              std::size_t cap) {
    if (!stream.usable) {
        return 0;
    }
    uint8_t rbsp[kMaxHeaderBytes] = {};
    h264_bit_writer w{rbsp, sizeof rbsp, 0, false};
    h264_write_bits(&w, 0, 1);         // forbidden_zero_bit
    h264_write_bits(&w, 2, 2);         // nal_ref_idc: a reference picture
    h264_write_bits(&w, kNalSlice, 5); // a non-IDR slice
    h264_write_ue(&w, 0);              // first_mb_in_slice
    h264_write_ue(&w, 5);              // slice_type: P, as every slice of the picture
    h264_write_ue(&w, stream.pps_id);
    h264_write_bits(&w, frame_num & ((1u << stream.log2_max_frame_num) - 1), stream.log2_max_frame_num);
    if (stream.redundant_pic_cnt) {
        h264_write_ue(&w, 0);
    }
    h264_write_bits(&w, stream.override_ref_count ? 1 : 0, 1); // num_ref_idx_active_override_flag
    if (stream.override_ref_count) {
        h264_write_ue(&w, 0); // one reference
    }
    h264_write_bits(&w, 0, 1); // ref_pic_list_modification_flag_l0
    if (stream.weighted_pred) {
        h264_write_ue(&w, 0);      // luma_log2_weight_denom
        h264_write_ue(&w, 0);      // chroma_log2_weight_denom
        h264_write_bits(&w, 0, 2); // no luma or chroma weights for the one reference
    }
    h264_write_bits(&w, 0, 1); // adaptive_ref_pic_marking_mode_flag: sliding window
    h264_write_se(&w, 0);      // slice_qp_delta
    if (stream.deblocking_control) {
        h264_write_ue(&w, 1); // no deblocking: nothing to filter in a copy
    }
    h264_write_ue(&w, stream.macroblocks); // mb_skip_run: the whole picture
    const std::size_t length = h264_write_trailing(&w);
    if (w.overrun || cap < 4 + length * 3 / 2 + 2) {
        return 0;
    }
    out[0] = 0;
    out[1] = 0;
    out[2] = 0;
    out[3] = 1;
    return 4 + h264_escape(rbsp, length, out + 4);
}

std::size_t h264_splice_encoded(h264_splice *splice, const uint8_t *unit, std::size_t size, uint8_t *out,
                                uint8_t *scratch, bool *changed) {
    std::size_t written = 0;
    *changed = false;
    std::size_t offset = 0;
    h264_nal nal{};
    bool ok = true;
    bool saw_slice = false;
    while (ok && h264_next_nal(unit, size, &offset, &nal)) {
        const int type = nal.data[0] & 0x1F;
        out[written++] = 0;
        out[written++] = 0;
        out[written++] = 0;
        out[written++] = 1;
        if (type != kNalSlice && type != kNalIdrSlice) {
            std::memcpy(out + written, nal.data, nal.size);
            written += nal.size;
            continue;
        }
        // The fields read lie in the first few bytes: only those are unescaped
        // unless the slice is renumbered.
        const std::size_t head =
            h264_unescape(nal.data, nal.size < kMaxHeaderBytes ? nal.size : kMaxHeaderBytes, scratch);
        h264_bit_reader r{scratch, head, 8, false};
        h264_read_ue(&r); // first_mb_in_slice
        h264_read_ue(&r); // slice_type
        const uint32_t pps_id = h264_read_ue(&r);
        const std::size_t frame_num_at = r.bit;
        const int bits = splice->stream.log2_max_frame_num;
        const uint32_t frame_num = h264_read_bits(&r, bits);
        if (r.overrun || pps_id != splice->stream.pps_id) {
            ok = false;
            break;
        }
        if (type == kNalIdrSlice) {
            if (!saw_slice) {
                splice->inserted = 0;
                splice->started = true;
            }
        } else if (!splice->started) {
            ok = false;
            break;
        }
        const uint32_t mask = (1u << bits) - 1;
        const uint32_t renumbered = (frame_num + splice->inserted) & mask;
        saw_slice = true;
        splice->last_frame_num = renumbered;
        if (renumbered == frame_num) {
            std::memcpy(out + written, nal.data, nal.size);
            written += nal.size;
            continue;
        }
        const std::size_t length = h264_unescape(nal.data, nal.size, scratch);
        h264_put_bits_at(scratch, frame_num_at, renumbered, bits);
        written += h264_escape(scratch, length, out + written);
        *changed = true;
    }
    return ok && saw_slice ? written : 0;
}

std::size_t h264_splice_skipped(h264_splice *splice, uint8_t *out, std::size_t cap) {
    if (!splice->started) {
        return 0;
    }
    const uint32_t mask = (1u << splice->stream.log2_max_frame_num) - 1;
    const uint32_t frame_num = (splice->last_frame_num + 1) & mask;
    const std::size_t length = h264_skip_picture(splice->stream, frame_num, out, cap);
    if (length > 0) {
        ++splice->inserted;
        splice->last_frame_num = frame_num;
    }
    return length;
}
