#include "repr/number_forms.hpp"

#include "repr/shortest_digits.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <climits>
#include <concepts>
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

// Both digits of every number below base^2, in `base`: "00" "01" ... "99"
// or "00" "01" ... "ff". Integers are written two digits per step.
template <int Base>
constexpr std::array<char, 2 * Base * Base> digit_pairs_in = [] {
    std::array<char, 2 * Base * Base> pairs{};
    for (int i = 0; i < Base * Base; ++i) {
        pairs[static_cast<std::size_t>(2 * i)] = "0123456789abcdef"[i / Base];
        pairs[static_cast<std::size_t>(2 * i + 1)] = "0123456789abcdef"[i % Base];
    }
    return pairs;
}();
constexpr const auto& digit_pairs = digit_pairs_in<10>;
constexpr const auto& hex_pairs = digit_pairs_in<16>;

// base^0 .. base^(Count - 1).
template <std::uint64_t Base, std::size_t Count>
constexpr std::array<std::uint64_t, Count> powers_of = [] {
    std::array<std::uint64_t, Count> powers{};
    std::uint64_t p = 1;
    for (std::uint64_t& power : powers) {
        power = p;
        p *= Base;
    }
    return powers;
}();
// Up to 10^19, the largest below 2^64.
constexpr const auto& powers_of_ten = powers_of<10, 20>;

// Number of decimal digits of v (1 for 0). bit_width * log10(2), as
// 1233 / 4096, is the count or one less; the table settles which.
template <std::unsigned_integral U>
int decimal_digit_count(U v) noexcept {
    v |= 1;  // zero has the one digit of one
    const int guess = (std::bit_width(v) * 1233) >> 12;
    return guess + (v >= powers_of_ten[static_cast<std::size_t>(guess)] ? 1 : 0);
}

// Writes v as exactly `count` digits, zero-padded on the left; v < 10^count.
template <std::unsigned_integral U>
void put_digits(char* out, int count, U v) noexcept {
    char* p = out + count;
    while (p - out >= 2) {
        p -= 2;
        std::memcpy(p, &digit_pairs[static_cast<std::size_t>(2 * (v % 100))], 2);
        v /= 100;
    }
    if (p != out) *out = static_cast<char>('0' + v);
}

// Most integers in representation texts have one or two digits.
template <std::unsigned_integral U>
char* put_unsigned(char* out, U v) noexcept {
    if (v < 10) {
        *out = static_cast<char>('0' + v);
        return out + 1;
    }
    if (v < 100) {
        std::memcpy(out, &digit_pairs[static_cast<std::size_t>(2 * v)], 2);
        return out + 2;
    }
    const int count = decimal_digit_count(v);
    put_digits(out, count, v);
    return out + count;
}

// A finite single as significand * 2^exponent, the significand holding the
// implicit bit for normal values (zero is 0 * 2^-149).
struct Binary {
    std::uint32_t significand;
    int exponent;
};

Binary binary_parts(std::uint32_t bits) noexcept {
    const std::uint32_t biased = (bits >> 23) & 0xff;
    const std::uint32_t fraction = bits & 0x7fffff;
    if (biased == 0) return {fraction, -149};
    return {fraction | 0x800000, static_cast<int>(biased) - 150};
}

constexpr std::uint32_t two_to_24 = 1u << 24;

// Up to 5^10: exact short decimals have at most ten places.
constexpr const auto& powers_of_five = powers_of<5, 11>;

// The exact value as N / 10^places with N < 2^24, when it has that form.
//
// Such a value's exact digits are its shortest form. The last digit of N
// sits at 10^-places, so any decimal with fewer significant digits is a
// multiple of 10^(1 - places) and lies at least 10^-places away (for whole
// numbers, trailing zeros of N only widen that gap). Reading back accepts at
// most half a unit in the last place, 2^(e - 24) for 2^e <= v, and
// v < 2^24 * 10^-places makes that less than 10^-places. So no shorter
// decimal reads back, and of the candidates with N's length the exact value
// itself is the nearest.
bool exact_short_decimal(Binary b, Decimal& result) noexcept {
    const int trailing = std::countr_zero(b.significand);
    const std::uint32_t odd = b.significand >> trailing;
    const int exponent = b.exponent + trailing;  // value = odd * 2^exponent
    if (exponent >= 0) {
        // A whole number below 2^24.
        if (std::bit_width(odd) + exponent > 24) return false;
        result = {odd << exponent, 0};
        return true;
    }
    // odd / 2^k is odd * 5^k / 10^k; N is odd so it ends in a nonzero digit.
    const int places = -exponent;
    if (places >= static_cast<int>(powers_of_five.size())) return false;
    const std::uint64_t digits = odd * powers_of_five[static_cast<std::size_t>(places)];
    if (digits >= two_to_24) return false;
    result = {static_cast<std::uint32_t>(digits), exponent};
    return true;
}

// digits / 10^places: the whole part ("0" below one), then, unless places
// is 0, the point and exactly `places` digits. places < 20.
char* put_fixed(char* out, std::uint32_t digits, int places) noexcept {
    if (places == 0) return put_unsigned(out, digits);
    const std::uint64_t scale = powers_of_ten[static_cast<std::size_t>(places)];
    out = put_unsigned(out, digits / scale);
    *out++ = '.';
    put_digits(out, places, digits % scale);
    return out + places;
}

template <int Zeros>
void strip_zeros(Decimal& d) noexcept {
    constexpr auto scale = static_cast<std::uint32_t>(powers_of_ten[Zeros]);
    if (d.digits % scale == 0) {
        d.digits /= scale;
        d.exponent += Zeros;
    }
}

// Positional layout of digits * 10^exponent, trailing zeros of the digits
// dropped: zeros after the digits, a point inside them, or "0." and zeros
// before them.
char* put_positional(char* out, Decimal d) noexcept {
    // At most eight trailing zeros (digits < 10^9): strip them in halving
    // steps rather than one at a time.
    strip_zeros<8>(d);
    strip_zeros<4>(d);
    strip_zeros<2>(d);
    strip_zeros<1>(d);
    if (d.exponent >= 0) {
        out = put_unsigned(out, d.digits);
        return put_zeros(out, d.exponent);
    }
    const int places = -d.exponent;
    if (places < static_cast<int>(powers_of_ten.size())) return put_fixed(out, d.digits, places);
    const int count = decimal_digit_count(d.digits);
    out = put(out, "0.");
    out = put_zeros(out, places - count);
    put_digits(out, count, d.digits);
    return out + count;
}

}  // namespace

char* write_shortest(char* out, float v) noexcept {
    if (std::isnan(v)) return put(out, "NaN");
    if (std::signbit(v)) *out++ = '-';
    if (std::isinf(v)) return put(out, "inf");
    if (v == 0.0f) return put(out, "0");

    // Whole numbers and short exact fractions (12.5, 0.25) are common field
    // values and need no digit search.
    if (Decimal d; exact_short_decimal(binary_parts(std::bit_cast<std::uint32_t>(v)), d)) {
        return put_fixed(out, d.digits, -d.exponent);
    }
    return put_positional(out, shortest_decimal(std::fabs(v)));
}

char* write_four_decimal(char* out, float v) noexcept {
    if (std::isnan(v)) return put(out, "NaN");
    char* const first = out;
    // The sign goes on by the bit, not by the rounded magnitude, so values
    // that round to zero still read as negative ("-0.0000").
    if (std::signbit(v)) *out++ = '-';
    if (std::isinf(v)) return put(out, "inf");

    // The value is significand * 2^exponent with a 24-bit significand, so
    // ten-thousandths are significand * 10^4 * 2^exponent: an integer below
    // 2^38 shifted, which integer arithmetic rounds exactly, half to even.
    const Binary b = binary_parts(std::bit_cast<std::uint32_t>(v));
    std::uint64_t units = 0;
    if (b.exponent >= 0) {
        // Whole numbers up to 2^64 / 10^4 keep to integers; larger ones are
        // whole numbers beyond 64 bits, left to the general conversion below.
        if (b.exponent > 64 - 24 - 14) {
            // float -> double is exact, and libstdc++'s fixed-precision
            // to_chars prints the exact value (the native tests compare it
            // with glibc's printf).
            return std::to_chars(out, first + four_decimal_max_chars,
                                 std::fabs(static_cast<double>(v)), std::chars_format::fixed, 4)
                .ptr;
        }
        units = (std::uint64_t{b.significand} << b.exponent) * 10000;
    } else if (const int shift = -b.exponent; shift < 40) {
        const std::uint64_t scaled = std::uint64_t{b.significand} * 10000;
        units = scaled >> shift;
        const std::uint64_t rest = scaled & ((std::uint64_t{1} << shift) - 1);
        const std::uint64_t half = std::uint64_t{1} << (shift - 1);
        if (rest > half || (rest == half && units % 2 == 1)) ++units;
    }
    // Otherwise scaled < 2^38 <= half: the value rounds to zero.

    out = put_unsigned(out, units / 10000);
    *out++ = '.';
    const auto fraction = static_cast<std::size_t>(units % 10000);
    std::memcpy(out, &digit_pairs[2 * (fraction / 100)], 2);
    std::memcpy(out + 2, &digit_pairs[2 * (fraction % 100)], 2);
    return out + 4;
}

char* write_decimal(char* out, std::uint64_t v) noexcept {
    // 32-bit division by constants is cheaper, and covers every field.
    if (v <= UINT32_MAX) return put_unsigned(out, static_cast<std::uint32_t>(v));
    return put_unsigned(out, v);
}

char* write_hex_prefixed(char* out, std::uint64_t v) noexcept {
    out = put(out, "0x");
    if (v < 16) {
        *out = hex_pairs[2 * v + 1];
        return out + 1;
    }
    const int count = (std::bit_width(v) + 3) / 4;
    char* p = out + count;
    for (; p - out >= 2; v >>= 8) {
        p -= 2;
        std::memcpy(p, &hex_pairs[2 * (v & 0xff)], 2);
    }
    if (p != out) *out = hex_pairs[2 * v + 1];
    return out + count;
}

}  // namespace tervalin::repr
