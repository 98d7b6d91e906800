#include "repr/number_forms.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

namespace tervalin::repr {
namespace {

char* put(char* out, std::string_view text) noexcept {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

char* put_zeros(char* out, int count) noexcept {
    std::memset(out, '0', static_cast<std::size_t>(count));
    return out + count;
}

// Significant digits d1..dn of the shortest round-trip decimal and the
// exponent k with value = 0.d1...dn * 10^k.
struct Digits {
    char text[24];
    int count = 0;
    int point = 0;
};

// std::to_chars picks the shortest round-trip digits (nearest on equal
// length) for us; scientific is the only format whose digits we want,
// because shortest "fixed" prints the exact expansion of large values.
Digits shortest_digits(float magnitude) noexcept {
    char sci[sizeof(Digits::text)];
    const char* const end =
        std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific).ptr;

    // Layout is "d[.ddd]e{+|-}XX".
    Digits d;
    const char* p = sci;
    for (; p != end && *p != 'e'; ++p) {
        if (*p != '.') d.text[d.count++] = *p;
    }
    int exponent = 0;
    bool negative_exponent = false;
    if (p != end) ++p;  // 'e'
    if (p != end) negative_exponent = *p++ == '-';
    for (; p != end; ++p) exponent = exponent * 10 + (*p - '0');
    if (negative_exponent) exponent = -exponent;

    // Shortest output carries no trailing zeros today; the layout below
    // relies on dn being nonzero, so do not depend on that detail.
    while (d.count > 1 && d.text[d.count - 1] == '0') --d.count;
    d.point = exponent + 1;
    return d;
}

}  // namespace

char* write_shortest(char* out, float v) noexcept {
    if (std::isnan(v)) return put(out, "NaN");
    if (std::signbit(v)) *out++ = '-';
    if (std::isinf(v)) return put(out, "inf");
    if (v == 0.0f) return put(out, "0");

    const Digits d = shortest_digits(std::fabs(v));
    const std::string_view digits(d.text, static_cast<std::size_t>(d.count));
    if (d.point <= 0) {
        out = put(out, "0.");
        out = put_zeros(out, -d.point);
        return put(out, digits);
    }
    if (d.point < d.count) {
        out = put(out, digits.substr(0, static_cast<std::size_t>(d.point)));
        *out++ = '.';
        return put(out, digits.substr(static_cast<std::size_t>(d.point)));
    }
    out = put(out, digits);
    return put_zeros(out, d.point - d.count);
}

char* write_four_decimal(char* out, float v) noexcept {
    if (std::isnan(v)) return put(out, "NaN");
    char* const first = out;
    // The sign goes on by the bit, not by the rounded magnitude, so values
    // that round to zero still read as negative ("-0.0000").
    if (std::signbit(v)) *out++ = '-';
    if (std::isinf(v)) return put(out, "inf");

    const double magnitude = std::fabs(static_cast<double>(v));
    // A single has 24 significant bits, so magnitude * 10^4 needs at most 38
    // and is exact in a double, as are its floor and the remainder; rounding
    // that remainder half to even is the exact four-decimal rounding, whatever
    // the floating-point rounding mode. Integer digits are much cheaper than
    // the general fixed-precision conversion.
    constexpr double fast_limit = 0x1p62;
    if (const double scaled = magnitude * 10000.0; scaled < fast_limit) {
        const double whole = std::floor(scaled);
        const double rest = scaled - whole;
        auto units = static_cast<std::uint64_t>(whole);
        if (rest > 0.5 || (rest == 0.5 && units % 2 == 1)) ++units;
        out = std::to_chars(out, first + four_decimal_max_chars, units / 10000).ptr;
        *out++ = '.';
        const auto fraction = static_cast<unsigned>(units % 10000);
        for (unsigned divisor = 1000; divisor != 0; divisor /= 10) *out++ = static_cast<char>('0' + fraction / divisor % 10);
        return out;
    }
    // Larger singles are whole numbers beyond 64 bits. float -> double is
    // exact, and libstdc++'s fixed-precision to_chars prints the exact value
    // (the native tests compare both paths with glibc's printf).
    return std::to_chars(out, first + four_decimal_max_chars, magnitude, std::chars_format::fixed, 4).ptr;
}

char* write_decimal(char* out, std::uint64_t v) noexcept {
    return std::to_chars(out, out + decimal_max_chars, v).ptr;
}

char* write_hex_prefixed(char* out, std::uint64_t v) noexcept {
    out = put(out, "0x");
    return std::to_chars(out, out + (hex_max_chars - 2), v, 16).ptr;
}

}  // namespace tervalin::repr
