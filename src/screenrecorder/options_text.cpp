#include "screenrecorder/options_text.h"

#include <cstdint>
#include <cstring>

namespace {

// The smallest decimal that rounds to infinity as a double: halfway between
// the largest double and 2^1024 (a tie rounds to the even neighbour, 2^1024),
// as 0.DIGITS x 10^309.
constexpr char kOverflowDigits[] =
    "1797693134862315807937289714053034150799341327100378269361737789804449682927647509466490179775872070"
    "9633028641669288791094655554785194040263065748867150582068190890200070838367627385484581771153176447"
    "5730270069855571366959622842914819860834936475292719074168444365510704342711559699508093042880177904"
    "174497792";
constexpr int64_t kOverflowExponent = 309;
// Exponents are saturated here: far beyond any double, well inside 64 bits.
constexpr int64_t kExponentCap = 1000000000;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The code unit of the escape "\uXXXX" at `at` (which points at the
// backslash), or -1 when the bytes there are no such escape.
int32_t unicode_escape(const char *at, const char *end) {
    if (end - at < 6 || at[0] != '\\' || at[1] != 'u') {
        return -1;
    }
    int32_t unit = 0;
    for (int i = 2; i < 6; ++i) {
        const int digit = hex_value(at[i]);
        if (digit < 0) {
            return -1;
        }
        unit = unit * 16 + digit;
    }
    return unit;
}

bool is_high_surrogate(int32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_low_surrogate(int32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// The parts of one number: -? int (. frac)? ([eE] [+-]? exp)?
struct number_token {
    const char *int_begin;
    const char *int_end;
    const char *frac_begin; // equal to frac_end when there is no fraction
    const char *frac_end;
    bool has_exponent;
    int64_t exponent; // saturated at +-kExponentCap
};

// Reads the number that starts at `at` and ends at `end` (the end of the run
// of number characters); false when the run is not one JSON number.
bool read_number(const char *at, const char *end, number_token *n) {
    if (at < end && *at == '-') {
        ++at;
    }
    n->int_begin = at;
    if (at < end && *at == '0') {
        ++at;
    } else {
        while (at < end && is_digit(*at)) {
            ++at;
        }
    }
    n->int_end = at;
    if (n->int_begin == n->int_end) {
        return false;
    }
    n->frac_begin = at;
    n->frac_end = at;
    if (at < end && *at == '.') {
        n->frac_begin = ++at;
        while (at < end && is_digit(*at)) {
            ++at;
        }
        n->frac_end = at;
        if (n->frac_begin == n->frac_end) {
            return false;
        }
    }
    n->has_exponent = false;
    n->exponent = 0;
    if (at < end && (*at == 'e' || *at == 'E')) {
        n->has_exponent = true;
        ++at;
        bool negative = false;
        if (at < end && (*at == '+' || *at == '-')) {
            negative = *at == '-';
            ++at;
        }
        if (at == end || !is_digit(*at)) {
            return false;
        }
        while (at < end && is_digit(*at)) {
            if (n->exponent < kExponentCap) {
                n->exponent = n->exponent * 10 + (*at - '0');
            }
            ++at;
        }
        n->exponent = negative ? -n->exponent : n->exponent;
    }
    return at == end;
}

// True when the number's magnitude rounds to infinity as a double.
bool too_large_for_double(const number_token &n) {
    const int64_t int_count = n.int_end - n.int_begin;
    const int64_t count = int_count + (n.frac_end - n.frac_begin);
    const auto digit = [&](int64_t k) {
        return k < int_count ? n.int_begin[k] : n.frac_begin[k - int_count];
    };
    int64_t first = 0;
    while (first < count && digit(first) == '0') {
        ++first;
    }
    if (first == count) {
        return false; // zero, whatever its exponent
    }
    // The value is 0.D x 10^magnitude, D the digits from the first non-zero.
    const int64_t magnitude = int_count - first + n.exponent;
    if (magnitude != kOverflowExponent) {
        return magnitude > kOverflowExponent;
    }
    const int64_t bound = static_cast<int64_t>(sizeof kOverflowDigits - 1);
    const int64_t digits = count - first;
    for (int64_t k = 0; k < (digits > bound ? digits : bound); ++k) {
        const char mine = k < digits ? digit(first + k) : '0';
        const char limit = k < bound ? kOverflowDigits[k] : '0';
        if (mine != limit) {
            return mine > limit;
        }
    }
    return true; // exactly halfway: rounds to infinity
}

bool is_number_char(char c) {
    return is_digit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

} // namespace

bool prepare_options_text(const char *text, std::size_t length, char *copy) {
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    const char *const end = text + length;
    const char *at = text;
    while (at < end) {
        const char c = *at;
        if (c == '"') {
            // A string: its escapes are checked, its bytes left to the reader.
            ++at;
            while (at < end && *at != '"') {
                if (*at != '\\') {
                    ++at;
                    continue;
                }
                if (end - at < 2) {
                    return false;
                }
                if (at[1] != 'u') {
                    at += 2;
                    continue;
                }
                const int32_t unit = unicode_escape(at, end);
                if (unit < 0 || is_low_surrogate(unit)) {
                    return false; // a low surrogate with no high one before it
                }
                at += 6;
                if (is_high_surrogate(unit)) {
                    if (!is_low_surrogate(unicode_escape(at, end))) {
                        return false;
                    }
                    at += 6;
                }
            }
            if (at == end) {
                return false;
            }
            ++at;
            continue;
        }
        if (c != '-' && !is_digit(c)) {
            ++at;
            continue;
        }
        const char *run_end = at;
        while (run_end < end && is_number_char(*run_end)) {
            ++run_end;
        }
        number_token n{};
        if (!read_number(at, run_end, &n)) {
            return false;
        }
        const bool is_real = n.frac_begin != n.frac_end || n.has_exponent;
        if (is_real || n.int_end - n.int_begin > 20) {
            if (too_large_for_double(n)) {
                return false;
            }
            char *out = copy + (at - text);
            const std::size_t size = static_cast<std::size_t>(run_end - at);
            std::memset(out, ' ', size);
            std::memcpy(out, "0.0", 3); // every real is at least three bytes long
        }
        at = run_end;
    }
    return true;
}
