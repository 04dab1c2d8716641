#include "screenrecorder/options.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <rapidjson/document.h>
#include <rapidjson/encodings.h>
#include <rapidjson/reader.h>

#include "screenrecorder/options_text.h"

namespace {

// Strict RFC 8259 JSON: no comments, no trailing commas, no NaN or Infinity,
// nothing after the root value. Strings must hold valid UTF-8, and the parse
// keeps its own stack on the heap so deep nesting cannot exhaust the thread's.
constexpr unsigned kParseFlags = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag;

// RapidJSON does not check every allocation: a null from its default
// allocator would be written through. This one throws instead, and
// parse_options turns that into the defaults, so a parse that runs out of
// memory fails cleanly. Nothing thrown leaves parse_options.
struct throwing_allocator {
    [[maybe_unused]] static constexpr bool kNeedFree = true;
    void *Malloc(std::size_t size) {
        if (size == 0) {
            return nullptr;
        }
        void *block = std::malloc(size);
        if (block == nullptr) {
            throw std::bad_alloc();
        }
        return block;
    }
    void *Realloc(void *block, std::size_t, std::size_t new_size) {
        if (new_size == 0) {
            std::free(block);
            return nullptr;
        }
        void *moved = std::realloc(block, new_size);
        if (moved == nullptr) {
            throw std::bad_alloc(); // `block` stays with its owner, which frees it
        }
        return moved;
    }
    static void Free(void *block) { std::free(block); }
};

// Reads the host's text up to its NUL and never past it. RapidJSON's own
// string stream steps over the terminator when a string ends in the lead byte
// of a multi-byte UTF-8 sequence (its validation takes every byte the lead
// byte announces), which would read past the end of the host's text.
struct nul_bounded_stream {
    using Ch = char;
    explicit nul_bounded_stream(const char *text) : begin(text), at(text) {}
    Ch Peek() const { return *at; }
    Ch Take() {
        const Ch c = *at;
        if (c != '\0') {
            ++at;
        }
        return c;
    }
    std::size_t Tell() const { return static_cast<std::size_t>(at - begin); }
    // Write side of the stream concept: never used by a parse that is not
    // in place.
    Ch *PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    std::size_t PutEnd(Ch *) { return 0; }

    const char *begin;
    const char *at;
};

using json_document =
    rapidjson::GenericDocument<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<throwing_allocator>,
                               throwing_allocator>;
using json_value = json_document::ValueType;

// The value of the first member called `key`, or null when there is none.
// `object` must be an object.
const json_value *find_first(const json_value &object, const char *key) {
    const auto member = object.FindMember(key);
    return member == object.MemberEnd() ? nullptr : &member->value;
}

// An integer is a number held as a 64-bit integer; its low 32 bits, read as a
// signed number, are the value. Anything else (a real, a number too large for
// 64 bits, which is held as a real, or another type) is not an integer.
bool integer_value(const json_value &value, int32_t *out) {
    uint64_t bits = 0;
    if (value.IsUint64()) {
        bits = value.GetUint64();
    } else if (value.IsInt64()) {
        bits = static_cast<uint64_t>(value.GetInt64());
    } else {
        return false;
    }
    *out = static_cast<int32_t>(static_cast<uint32_t>(bits & 0xFFFFFFFFu));
    return true;
}

// The 32-bit value of an integer member; a member of another type gives 0.
void read_any_integer(const json_value &object, const char *key, int32_t *field) {
    const json_value *value = find_first(object, key);
    if (value == nullptr) {
        return;
    }
    int32_t number = 0;
    *field = integer_value(*value, &number) ? number : 0;
}

// The string of a string value up to its first NUL, or null for another type.
const char *string_value(const json_value *value) {
    return value != nullptr && value->IsString() ? value->GetString() : nullptr;
}

int32_t audio_from_text(const char *text) {
    if (text == nullptr) {
        return audio_none;
    }
    if (std::strcmp(text, "mic") == 0) {
        return audio_mic;
    }
    if (std::strcmp(text, "system") == 0) {
        return audio_system;
    }
    if (std::strcmp(text, "both") == 0) {
        return audio_both;
    }
    return audio_none;
}

void set_defaults(recording_options *out) {
    std::memset(out, 0, sizeof *out);
    out->fps = 30;
    out->bitrate_kbps = 8000;
    out->audio = audio_none;
    std::memcpy(out->codec, "h264", 4);
}

void apply_document(const json_value &root, recording_options *out) {
    read_any_integer(root, "display", &out->display);

    int32_t number = 0;
    if (const json_value *fps = find_first(root, "fps"); fps != nullptr && integer_value(*fps, &number)) {
        if (number >= 1 && number <= 120) {
            out->fps = number;
        }
    }
    if (const json_value *bitrate = find_first(root, "bitrate_kbps");
        bitrate != nullptr && integer_value(*bitrate, &number)) {
        if (number > 100) {
            out->bitrate_kbps = number;
        }
    }
    if (const json_value *gif = find_first(root, "gif"); gif != nullptr) {
        out->gif = gif->IsTrue() ? 1 : 0;
    }
    if (const char *codec = string_value(find_first(root, "codec")); codec != nullptr && codec[0] != '\0') {
        // Up to 15 bytes, then NUL bytes to the end of the field.
        std::memset(out->codec, 0, sizeof out->codec);
        for (std::size_t i = 0; i + 1 < sizeof out->codec && codec[i] != '\0'; ++i) {
            out->codec[i] = codec[i];
        }
    }
    out->audio = audio_from_text(string_value(find_first(root, "audio")));
    if (const json_value *capture = find_first(root, "capture_audio"); capture != nullptr) {
        out->capture_audio = capture->IsTrue() ? 1 : 0;
    }

    if (const json_value *cursor = find_first(root, "cursor"); cursor != nullptr) {
        out->cursor = cursor->IsTrue() ? 1 : 0;
    }

    const json_value *region = find_first(root, "region");
    if (region != nullptr && region->IsObject()) {
        read_any_integer(*region, "x", &out->region_x);
        read_any_integer(*region, "y", &out->region_y);
        read_any_integer(*region, "w", &out->region_w);
        read_any_integer(*region, "h", &out->region_h);
        out->has_region = out->region_w > 0 && out->region_h > 0 ? 1 : 0;
    }
}

} // namespace

void parse_options(const char *json, recording_options *out) {
    if (out == nullptr) {
        return;
    }
    set_defaults(out);
    if (json == nullptr || json[0] == '\0') {
        return;
    }
    // A leading UTF-8 byte order mark is not strict JSON. The reader does not
    // skip one by itself (it would only fail on its first byte); this check
    // is what refuses it, explicitly.
    if (static_cast<unsigned char>(json[0]) == 0xEF && static_cast<unsigned char>(json[1]) == 0xBB &&
        static_cast<unsigned char>(json[2]) == 0xBF) {
        return;
    }
    // The reader parses a copy in which lone surrogates and numbers beyond a
    // double have been refused and every real stands as 0.0 (see
    // options_text.h).
    const std::size_t length = std::strlen(json);
    std::unique_ptr<char[]> text(new (std::nothrow) char[length + 1]);
    if (text == nullptr || !prepare_options_text(json, length, text.get())) {
        return;
    }
    try {
        json_document document;
        nul_bounded_stream stream(text.get());
        document.ParseStream<kParseFlags, rapidjson::UTF8<>>(stream);
        if (document.HasParseError() || !document.IsObject()) {
            return;
        }
        apply_document(document, out);
    } catch (...) {
        // Out of memory part-way: whatever was applied is dropped.
        set_defaults(out);
    }
}
