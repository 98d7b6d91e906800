// Native checks for the representation number forms and TextBuffer.
//
// Build and run:
//   g++ -std=c++23 -O2 -Wall -Wextra -Werror -Isrc src/repr/number_forms.cpp
//       src/repr/shortest_digits.cpp tests/native/test_number_forms.cpp -o /tmp/tnf && /tmp/tnf
// Prints "N passed, M failed" last and exits non-zero on any failure.
// With --every-single it also compares the shortest form of every finite
// positive single with the oracle (a few minutes).

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "check.hpp"
#include "repr/number_forms.hpp"
#include "repr/text_buffer.hpp"

namespace repr = tervalin::repr;

namespace {

std::string bits_hex(float v) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", std::bit_cast<std::uint32_t>(v));
    return text;
}

// Runs a writer into a buffer with guard bytes past its documented maximum,
// so a writer that under-reports its end or overruns its bound is caught even
// where the sanitizer cannot see it.
template <std::size_t MaxChars, auto Writer, class Value>
std::string run_writer(Value v, const std::string& context) {
    constexpr std::size_t guard = 16;
    char buffer[MaxChars + guard];
    std::memset(buffer, '#', sizeof buffer);
    const char* const end = Writer(buffer, v);
    const auto length = static_cast<std::size_t>(end - buffer);
    CHECK(end >= buffer && length <= MaxChars, context);
    bool guard_intact = true;
    for (std::size_t i = length; i < sizeof buffer; ++i) guard_intact &= buffer[i] == '#';
    CHECK(guard_intact, context);
    return std::string(buffer, length <= MaxChars ? length : MaxChars);
}

std::string shortest(float v, const std::string& context = "") {
    return run_writer<repr::shortest_max_chars, repr::write_shortest>(v, context);
}
std::string four_decimal(float v, const std::string& context = "") {
    return run_writer<repr::four_decimal_max_chars, repr::write_four_decimal>(v, context);
}
std::string decimal(std::uint64_t v) {
    return run_writer<repr::decimal_max_chars, repr::write_decimal>(v, "");
}
std::string hex(std::uint64_t v) {
    return run_writer<repr::hex_max_chars, repr::write_hex_prefixed>(v, "");
}

// ---------------------------------------------------------------------------
// Worked examples. `source` is the Python float; the object stores it as a
// 32-bit float, which a C++ double -> float conversion reproduces exactly.

struct FloatCase {
    double source;
    const char* shortest;
    const char* four_decimal;
};

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

const FloatCase float_cases[] = {
    {30.0, "30", "30.0000"},
    {12.5, "12.5", "12.5000"},
    {12.566, "12.566", "12.5660"},
    {0.1, "0.1", "0.1000"},
    {0.3, "0.3", "0.3000"},
    {1.0 / 3.0, "0.33333334", "0.3333"},
    {3.14159265, "3.1415927", "3.1416"},
    {123456.789, "123456.79", "123456.7891"},
    {16777217.0, "16777216", "16777216.0000"},
    {1e10, "10000000000", "10000000000.0000"},
    {1e20, "100000000000000000000", "100000002004087734272.0000"},
    {3.4028234663852886e38, "340282350000000000000000000000000000000",
     "340282346638528859811704183484516925440.0000"},
    {1e-7, "0.0000001", "0.0000"},
    {1e-45, "0.000000000000000000000000000000000000000000001", "0.0000"},
    {0.00015, "0.00015", "0.0002"},
    {0.03125, "0.03125", "0.0312"},
    {0.09375, "0.09375", "0.0938"},
    {1.99999, "1.99999", "2.0000"},
    {-2.5, "-2.5", "-2.5000"},
    {-0.00001, "-0.00001", "-0.0000"},
    {-0.00004, "-0.00004", "-0.0000"},
    {12.34567, "12.34567", "12.3457"},
    {0.0, "0", "0.0000"},
    {-0.0, "-0", "-0.0000"},
    // Whole numbers below 2^24 print their integer digits directly; from
    // 2^24 on (ulp 2) the digit search takes over.
    {1.0, "1", "1.0000"},
    {-1.0, "-1", "-1.0000"},
    {65535.0, "65535", "65535.0000"},
    {1e6, "1000000", "1000000.0000"},
    {16777215.0, "16777215", "16777215.0000"},
    {-16777215.0, "-16777215", "-16777215.0000"},
    {16777216.0, "16777216", "16777216.0000"},
    {16777218.0, "16777218", "16777218.0000"},
    {-16777218.0, "-16777218", "-16777218.0000"},
    {1099511627776.0, "1099511600000", "1099511627776.0000"},
    // Four decimals of whole numbers stay in 64-bit integers up to 2^50.
    {562949953421312.0, "562949950000000", "562949953421312.0000"},
    {1125899906842624.0, "1125899900000000", "1125899906842624.0000"},
    // Exact values N / 10^k with N < 2^24 print their exact digits; with a
    // larger N the exact digits may not be the shortest.
    {0.25, "0.25", "0.2500"},
    {-0.375, "-0.375", "-0.3750"},
    {2.75, "2.75", "2.7500"},
    {1677721.5, "1677721.5", "1677721.5000"},
    {-1677721.5, "-1677721.5", "-1677721.5000"},
    {8388607.5, "8388607.5", "8388607.5000"},
    {1677721.75, "1677721.8", "1677721.7500"},
    {0.0009765625, "0.0009765625", "0.0010"},
    {0.00048828125, "0.00048828125", "0.0005"},
    {0.6103515625, "0.61035156", "0.6104"},
    {nan, "NaN", "NaN"},
    {-nan, "NaN", "NaN"},
    {inf, "inf", "inf"},
    {-inf, "-inf", "-inf"},
};

void check_float_table() {
    for (const FloatCase& c : float_cases) {
        const float v = static_cast<float>(c.source);
        const std::string context = bits_hex(v);
        CHECK(shortest(v, context) == c.shortest, context + " shortest " + shortest(v));
        CHECK(four_decimal(v, context) == c.four_decimal,
              context + " four " + four_decimal(v));
    }
    // 12.34565f is exactly 12.34564971923828125: below the midpoint, so it
    // must round down even though its shortest digits end in 5.
    CHECK(shortest(12.34565f) == "12.34565", shortest(12.34565f));
    CHECK(four_decimal(12.34565f) == "12.3456", four_decimal(12.34565f));
}

struct IntegerCase {
    std::uint64_t value;
    const char* decimal;
    const char* hex;
};

const IntegerCase integer_cases[] = {
    {0, "0", "0x0"},
    {1, "1", "0x1"},
    {9, "9", "0x9"},
    {10, "10", "0xa"},
    {15, "15", "0xf"},
    {16, "16", "0x10"},
    {31, "31", "0x1f"},
    {255, "255", "0xff"},
    {65535, "65535", "0xffff"},
    {1000000, "1000000", "0xf4240"},
    {0xdeadbeefULL, "3735928559", "0xdeadbeef"},
    {0x8000000000000000ULL, "9223372036854775808", "0x8000000000000000"},
    {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615", "0xffffffffffffffff"},
};

void check_integer_table() {
    for (const IntegerCase& c : integer_cases) {
        CHECK(decimal(c.value) == c.decimal, decimal(c.value));
        CHECK(hex(c.value) == c.hex, hex(c.value));
    }
    // Where the digit count changes, in either base, against printf.
    std::vector<std::uint64_t> edges;
    for (std::uint64_t power = 1; power != 0; power = power <= UINT64_MAX / 10 ? power * 10 : 0) {
        edges.insert(edges.end(), {power - 1, power, power + 1});
    }
    for (int bit = 0; bit < 64; ++bit) {
        const std::uint64_t power = std::uint64_t{1} << bit;
        edges.insert(edges.end(), {power - 1, power, power + 1});
    }
    for (const std::uint64_t v : edges) {
        char expected[32];
        std::snprintf(expected, sizeof expected, "%llu", static_cast<unsigned long long>(v));
        CHECK(decimal(v) == expected, decimal(v) + " want " + expected);
        std::snprintf(expected, sizeof expected, "0x%llx", static_cast<unsigned long long>(v));
        CHECK(hex(v) == expected, hex(v) + " want " + expected);
    }
}

// The *_max_chars constants claim to be exact bounds: the sweeps show
// nothing exceeds them, and these inputs show each one is reached.
void check_bounds_are_reached() {
    const float tiny = -std::numeric_limits<float>::denorm_min();
    const float huge = -std::numeric_limits<float>::max();
    const std::uint64_t all_ones = std::numeric_limits<std::uint64_t>::max();
    CHECK(shortest(tiny).size() == repr::shortest_max_chars, shortest(tiny));
    CHECK(four_decimal(huge).size() == repr::four_decimal_max_chars, four_decimal(huge));
    CHECK(decimal(all_ones).size() == repr::decimal_max_chars, decimal(all_ones));
    CHECK(hex(all_ones).size() == repr::hex_max_chars, hex(all_ones));
}

// ---------------------------------------------------------------------------
// Exact ties. x * 10^4 ends in exactly .5 only when x is an odd multiple of
// 1/32 (10^4 = 2^4 * 5^4, so one more factor of two is needed in the
// denominator). Floats hold these exactly for odd q < 2^24, which is every
// tie there is. The expected text comes from integer arithmetic alone:
// q/32 * 10^4 = q * 3125 / 10, and q * 3125 always ends in 5.

std::string tie_expected(std::uint64_t q, bool negative) {
    std::uint64_t units = q * 3125 / 10;  // ten-thousandths, truncated
    if (units % 2 == 1) ++units;          // halfway: go to the even neighbour
    char text[48];
    std::snprintf(text, sizeof text, "%s%llu.%04llu", negative ? "-" : "",
                  static_cast<unsigned long long>(units / 10000),
                  static_cast<unsigned long long>(units % 10000));
    return text;
}

std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

long check_exact_ties() {
    std::vector<std::uint64_t> odd_multiples;
    for (std::uint64_t q = 1; q < (1u << 20); q += 2) odd_multiples.push_back(q);
    std::uint64_t state = 0x7e7a11;
    for (int i = 0; i < 200000; ++i) {
        odd_multiples.push_back((splitmix64(state) % (1u << 24)) | 1u);
    }
    for (const std::uint64_t q : odd_multiples) {
        const float v = static_cast<float>(q) / 32.0f;
        for (const bool negative : {false, true}) {
            const float signed_v = negative ? -v : v;
            const std::string expected = tie_expected(q, negative);
            const std::string got = four_decimal(signed_v);
            CHECK(got == expected, "q=" + std::to_string(q) + " got " + got + " want " + expected);
        }
    }
    return static_cast<long>(odd_multiples.size() * 2);
}

// ---------------------------------------------------------------------------
// Exact short values. Whole numbers below 2^24, and values N / 10^k with
// N < 2^24, print their exact digits without a digit search. All of them,
// with both signs and with the first values past each limit, must match
// libstdc++'s shortest fixed form, which is the shortest form wherever the
// magnitude is below 2^24 (above it, it prints exact expansions).

bool matches_fixed_oracle(float v) {
    char got[repr::shortest_max_chars];
    char want[64];
    const char* const got_end = repr::write_shortest(got, v);
    const char* const want_end = std::to_chars(want, want + sizeof want, v, std::chars_format::fixed).ptr;
    const auto length = static_cast<std::size_t>(got_end - got);
    return length == static_cast<std::size_t>(want_end - want) && std::memcmp(got, want, length) == 0;
}

long check_exact_short_values() {
    long checked = 0;
    const auto check_both_signs = [&checked](float v) {
        for (const float signed_v : {v, -v}) {
            // Contexts cost a string per check; build them only to report.
            if (matches_fixed_oracle(signed_v)) {
                ++g_passed;
            } else {
                CHECK(false, bits_hex(signed_v) + " " + shortest(signed_v));
            }
        }
        checked += 2;
    };
    constexpr std::uint64_t limit = std::uint64_t{1} << 24;
    // Past 2^24 the floats are even numbers: the first 64 of them.
    for (std::uint64_t n = 0; n < limit + 128; ++n) check_both_signs(static_cast<float>(n));
    // odd / 2^k = odd * 5^k / 10^k, for every k where some odd * 5^k < 2^24
    // and a little past that limit.
    std::uint64_t five_to_k = 1;
    for (int k = 1; k <= 11; ++k) {
        five_to_k *= 5;
        for (std::uint64_t odd = 1; odd * five_to_k < limit + 64 * five_to_k; odd += 2) {
            check_both_signs(std::ldexp(static_cast<float>(odd), -k));
        }
    }
    return checked;
}

// ---------------------------------------------------------------------------
// Bit-pattern sweep.

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "0.ddd" ending in a nonzero digit, or an integer without leading zeros,
// optionally followed by ".ddd" ending in a nonzero digit; optional '-'.
// No '+', no exponent, no trailing ".0".
bool well_formed_positional(std::string_view text) {
    if (!text.empty() && text.front() == '-') text.remove_prefix(1);
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    if (whole.empty()) return false;
    for (const char c : whole) {
        if (!is_digit(c)) return false;
    }
    if (point == std::string_view::npos) return whole.front() != '0';
    const std::string_view fraction = text.substr(point + 1);
    if (fraction.empty() || fraction.back() == '0') return false;
    for (const char c : fraction) {
        if (!is_digit(c)) return false;
    }
    return whole == "0" || whole.front() != '0';
}

// Digits from the first to the last nonzero one.
std::size_t significant_digits(std::string_view text) {
    std::string digits;
    for (const char c : text) {
        if (is_digit(c)) digits += c;
    }
    const std::size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return 0;
    return digits.find_last_not_of('0') - first + 1;
}

std::size_t reference_digit_count(float magnitude) {
    char text[32];
    const char* const end =
        std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific).ptr;
    const std::string_view scientific(text, static_cast<std::size_t>(end - text));
    return significant_digits(scientific.substr(0, scientific.find('e')));
}

// The shortest form from libstdc++'s shortest scientific digits, laid out
// positionally: an oracle for the whole text that shares no code with the
// writer.
std::string reference_shortest(float v) {
    if (std::isnan(v)) return "NaN";
    const std::string sign = std::signbit(v) ? "-" : "";
    if (std::isinf(v)) return sign + "inf";
    if (v == 0.0f) return sign + "0";
    char text[32];
    const char* const end =
        std::to_chars(text, text + sizeof text, std::fabs(v), std::chars_format::scientific).ptr;
    const std::string_view scientific(text, static_cast<std::size_t>(end - text));
    const std::size_t e = scientific.find('e');
    std::string digits;
    for (const char c : scientific.substr(0, e)) {
        if (is_digit(c)) digits += c;
    }
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    const int point = std::stoi(std::string(scientific.substr(e + 1))) + 1;
    const int count = static_cast<int>(digits.size());
    if (point <= 0) return sign + "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    if (point < count) {
        return sign + digits.substr(0, static_cast<std::size_t>(point)) + "." +
               digits.substr(static_cast<std::size_t>(point));
    }
    return sign + digits + std::string(static_cast<std::size_t>(point - count), '0');
}

void check_shortest_pattern(float v, const std::string& context) {
    const std::string text = shortest(v, context);
    const std::string want = reference_shortest(v);
    CHECK(text == want, context + " " + text + " want " + want);
    if (std::isnan(v)) {
        CHECK(text == "NaN", context + " " + text);
        return;
    }
    CHECK(text.find_first_of("eE+") == std::string::npos, context + " " + text);
    if (std::isfinite(v) && v != 0.0f) {
        CHECK(well_formed_positional(text), context + " " + text);
        CHECK(significant_digits(text) <= reference_digit_count(std::fabs(v)),
              context + " " + text);
    }
    // Reading the text back must give the very same bits, sign of zero and
    // infinities included.
    float parsed = 0.0f;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), parsed);
    CHECK(result.ec == std::errc{} && result.ptr == text.data() + text.size() &&
              std::bit_cast<std::uint32_t>(parsed) == std::bit_cast<std::uint32_t>(v),
          context + " " + text);
}

// glibc's printf formats %f with its own multi-precision arithmetic on the
// exact binary value, rounding per the current mode (to nearest, ties to
// even, by default). It shares no code with libstdc++'s to_chars, so
// agreement across the sweep is evidence rather than a tautology. It also
// prints '-' for negative values that round to zero, matching our rule.
void check_four_decimal_pattern(float v, const std::string& context) {
    const std::string text = four_decimal(v, context);
    if (std::isnan(v)) {
        CHECK(text == "NaN", context + " " + text);
        return;
    }
    char oracle[64];
    std::snprintf(oracle, sizeof oracle, "%.4f", static_cast<double>(v));
    CHECK(text == oracle, context + " got " + text + " want " + oracle);
    CHECK(std::signbit(v) == (!text.empty() && text.front() == '-'), context + " " + text);
}

long sweep() {
    std::vector<std::uint32_t> patterns;
    // Every sign and exponent, including subnormals (exponent 0) and the
    // inf/NaN exponent, with fixed edge mantissas and random ones.
    const std::uint32_t edge_mantissas[] = {0, 1, 2, 3, 0x3fffff, 0x400000, 0x400001, 0x7ffffe, 0x7fffff};
    std::uint64_t state = 0x5eed;
    for (std::uint32_t sign = 0; sign < 2; ++sign) {
        for (std::uint32_t exponent = 0; exponent < 256; ++exponent) {
            const std::uint32_t top = (sign << 31) | (exponent << 23);
            for (const std::uint32_t m : edge_mantissas) patterns.push_back(top | m);
            for (int i = 0; i < 3900; ++i) {
                patterns.push_back(top | static_cast<std::uint32_t>(splitmix64(state) & 0x7fffff));
            }
        }
    }
    // Small subnormals in full: their shortest forms are the longest texts.
    for (std::uint32_t m = 1; m < 4096; ++m) {
        patterns.push_back(m);
        patterns.push_back(0x80000000u | m);
    }
    // Powers of ten (correctly rounded from text) and their neighbours.
    for (int p = -45; p <= 38; ++p) {
        const std::string text = "1e" + std::to_string(p);
        float v = 0.0f;
        std::from_chars(text.data(), text.data() + text.size(), v);
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
        for (const std::uint32_t b : {bits - 1, bits, bits + 1}) {
            patterns.push_back(b);
            patterns.push_back(b | 0x80000000u);
        }
    }
    for (const float v : {std::numeric_limits<float>::max(), std::numeric_limits<float>::min(),
                          std::numeric_limits<float>::denorm_min(),
                          std::numeric_limits<float>::epsilon()}) {
        patterns.push_back(std::bit_cast<std::uint32_t>(v));
        patterns.push_back(std::bit_cast<std::uint32_t>(-v));
    }

    for (const std::uint32_t bits : patterns) {
        const float v = std::bit_cast<float>(bits);
        const long failed_before = g_failed;
        check_shortest_pattern(v, "");
        check_four_decimal_pattern(v, "");
        // Contexts cost a string per check; build them only to report.
        if (g_failed != failed_before && g_failed <= 25) {
            std::printf("  ... for bits %s\n", bits_hex(v).c_str());
        }
    }
    return static_cast<long>(patterns.size());
}

// ---------------------------------------------------------------------------
// TextBuffer.

// Capacity for a text made of `literals` and one placeholder per entry of
// `widths` (each the longest text of that placeholder).
consteval std::size_t text_capacity(std::initializer_list<std::string_view> literals,
                                    std::initializer_list<std::size_t> widths) {
    std::size_t total = 0;
    for (const std::string_view piece : literals) total += piece.size();
    for (const std::size_t width : widths) total += width;
    return total;
}

// Runs `fill` into a buffer of 8 with guard bytes around it, and into one
// with room for everything. Returns (the clipped text, the whole text,
// whether the guards are intact).
template <class Fill>
std::tuple<std::string, std::string, bool> clipped_and_whole(Fill fill) {
    struct Guarded {
        char before[16];
        repr::TextBuffer<8> text;
        char after[16];
    };
    Guarded g;
    std::memset(g.before, '#', sizeof g.before);
    std::memset(g.after, '#', sizeof g.after);
    fill(g.text);
    bool intact = true;
    for (const char ch : g.before) intact &= ch == '#';
    for (const char ch : g.after) intact &= ch == '#';
    repr::TextBuffer<128> roomy;
    fill(roomy);
    return {std::string(g.text.view()), std::string(roomy.view()), intact};
}

void check_text_buffer() {
    {
        constexpr std::size_t capacity =
            text_capacity({"MitLimits(p_max=", ", v_max=", ", id=", ", n=", ")"},
                          {repr::shortest_max_chars, repr::four_decimal_max_chars, repr::hex_max_chars,
                           repr::decimal_max_chars});
        CHECK(capacity == 16 + 8 + 5 + 4 + 1 + repr::shortest_max_chars +
                              repr::four_decimal_max_chars + repr::hex_max_chars +
                              repr::decimal_max_chars,
              std::to_string(capacity));
        repr::TextBuffer<capacity> t;
        t.append("MitLimits(p_max=").shortest(12.5f).append(", v_max=").four_decimal(-0.00004f)
            .append(", id=").hex(31).append(", n=").decimal(65535).append(")");
        CHECK(t.view() == "MitLimits(p_max=12.5, v_max=-0.0000, id=0x1f, n=65535)",
              std::string(t.view()));
        CHECK(t.size() == t.view().size() && t.data() == t.view().data(), "");
    }
    {
        // Worst-case values fill a buffer sized by text_capacity exactly.
        constexpr std::size_t capacity = text_capacity(
            {"(", ",", ",", ",", ")"},
            {repr::shortest_max_chars, repr::four_decimal_max_chars, repr::decimal_max_chars,
             repr::hex_max_chars});
        repr::TextBuffer<capacity> t;
        t.append("(").shortest(-std::numeric_limits<float>::denorm_min()).append(",")
            .four_decimal(-std::numeric_limits<float>::max()).append(",")
            .decimal(std::numeric_limits<std::uint64_t>::max()).append(",")
            .hex(std::numeric_limits<std::uint64_t>::max()).append(")");
        CHECK(t.size() == capacity, std::to_string(t.size()));
    }

    // Undersized buffers clip to the text's first Capacity characters, and
    // never write past Capacity.
    const auto check_clip = [](auto fill, std::string_view expected, bool clipped) {
        const auto [text, whole, intact] = clipped_and_whole(fill);
        CHECK(text == expected, text);
        CHECK(whole.starts_with(text) && (whole.size() > text.size()) == clipped, whole);
        CHECK(intact, std::string(expected));
    };
    check_clip([](auto& t) { t.append("01234567"); }, "01234567", false);
    check_clip([](auto& t) { t.append("0123456789abc"); }, "01234567", true);
    check_clip([](auto& t) { t.append("ab").shortest(-1e-45f); }, "ab-0.000", true);
    // A short value still fits even though the worst case would not.
    check_clip([](auto& t) { t.append("ab").shortest(12.5f); }, "ab12.5", false);
    check_clip([](auto& t) { t.append("x=").four_decimal(1e20f); }, "x=100000", true);
    check_clip([](auto& t) { t.decimal(1234567890); }, "12345678", true);
    check_clip([](auto& t) { t.hex(0xabcdef12ULL).append("!"); }, "0xabcdef", true);
    check_clip([](auto& t) { t.append("0123456789").append("more").hex(1); }, "01234567", true);
    check_clip([](auto& t) { t.append("").append(std::string_view{}); }, "", false);
}

}  // namespace

// Every finite positive single against the oracle; the sign is written
// before any digit is looked at.
long check_every_single() {
    long checked = 0;
    char got[repr::shortest_max_chars];
    for (std::uint32_t bits = 1; bits < 0x7f800000u; ++bits) {
        const float v = std::bit_cast<float>(bits);
        const std::string want = reference_shortest(v);
        const auto length = static_cast<std::size_t>(repr::write_shortest(got, v) - got);
        if (std::string_view(got, length) == want) {
            ++g_passed;
        } else {
            CHECK(false, bits_hex(v) + " " + std::string(got, length) + " want " + want);
        }
        ++checked;
    }
    return checked;
}

int main(int argc, char** argv) {
    // A writer that overruns its bound can crash a later check; line
    // buffering keeps the failures already reported from being lost.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    check_float_table();
    check_integer_table();
    check_bounds_are_reached();
    const long ties = check_exact_ties();
    const long short_values = check_exact_short_values();
    const long patterns = sweep();
    check_text_buffer();
    std::printf("exact ties checked: %ld, exact short values: %ld, float bit patterns swept: %ld\n", ties,
                short_values, patterns);
    if (argc > 1 && std::string_view(argv[1]) == "--every-single") {
        std::printf("every finite positive single: %ld\n", check_every_single());
    }
    return summary();
}
