// Number forms used in the representation text of tervalin objects.
//
// Each writer puts plain ASCII at `out` and returns one past the last
// character written. They never allocate, never fail and never write more
// than the matching *_max_chars constant, so a caller buffer of that size is
// always enough.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tervalin::repr {

// Shortest positional form of a float: sign, then at most 45 digit
// positions after the point, or at most 39 integer digits, or at most 9
// digits around a point.
//
// The long case is a magnitude below 1. Every finite float's round-trip
// interval is at least 2^-149 (about 1.4e-45) wide, which is more than
// 10^-45, so a decimal whose last digit sits at 10^-45 always exists and the
// shortest one never reaches further right. "0." plus 45 digits plus a sign
// is 48. Integers stop at FLT_MAX (39 digits, 40 with sign); mixed forms
// have at most 9 significant digits plus the point and a sign (11).
inline constexpr std::size_t shortest_max_chars = 1 + 2 + 45;

// Sign, the full integral part of FLT_MAX (39 digits), the point and four
// decimals. "NaN" and "-inf" are shorter.
inline constexpr std::size_t four_decimal_max_chars = 1 + 39 + 1 + 4;

// UINT64_MAX is 18446744073709551615.
inline constexpr std::size_t decimal_max_chars = 20;

// "0x" plus 16 nibbles.
inline constexpr std::size_t hex_max_chars = 2 + 16;

// Fewest significant digits that read back as exactly `v`, laid out without
// an exponent: "0.0000001", "12.566", "30". "NaN", "inf", "-inf", "0", "-0".
char* write_shortest(char* out, float v) noexcept;

// The exact binary value rounded to four decimals, ties to even:
// "0.0312", "2.0000", "-0.0000". "NaN", "inf", "-inf".
char* write_four_decimal(char* out, float v) noexcept;

// Unsigned decimal, no leading zeros: "0", "65535".
char* write_decimal(char* out, std::uint64_t v) noexcept;

// "0x" and lower-case hex digits, no leading zeros: "0x0", "0x1f".
char* write_hex_prefixed(char* out, std::uint64_t v) noexcept;

}  // namespace tervalin::repr
