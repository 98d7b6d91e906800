// Raffaello Giulietti's Schubfach method for singles ("The Schubfach way to
// render doubles", 2020): scale the value and both ends of its rounding
// interval by a power of ten chosen so that at most two decimal lengths
// need looking at, with products rounded to odd so that comparisons with
// candidate decimals come out exactly as they would on the exact values.
// The native number tests compare the result with an independent
// shortest-digits conversion (for every finite single with --every-single).
#include "repr/shortest_digits.hpp"

#include <array>
#include <bit>
#include <cstddef>

namespace tervalin::repr {
namespace {

// floor(e * log10(2)), floor(e * log10(2) - log10(4/3)) and
// floor(e * log2(10)) by fixed-point multiplication; exact far beyond the
// exponents of singles.
constexpr int floor_log10_pow2(int e) noexcept {
    return static_cast<int>((e * 661'971'961'083LL) >> 41);
}
constexpr int floor_log10_three_quarters_pow2(int e) noexcept {
    return static_cast<int>((e * 661'971'961'083LL - 274'743'187'321LL) >> 41);
}
constexpr int floor_log2_pow10(int e) noexcept {
    return static_cast<int>((e * 913'124'641'741LL) >> 38);
}

// A single is c * 2^q with c < 2^24; q runs from q_min (subnormals and the
// smallest normal exponent) to q_max.
constexpr int q_min = -149;
constexpr int q_max = 104;
constexpr std::uint32_t c_min = 1u << 23;  // smallest normal significand

// The scaling exponents k that occur.
constexpr int k_min = floor_log10_three_quarters_pow2(q_min);
constexpr int k_max = floor_log10_pow2(q_max);

// Unsigned integer of 320 bits for building the table at compile time.
struct Wide {
    std::array<std::uint32_t, 10> limbs{};  // least significant first

    static constexpr Wide power_of_two(int n) {
        Wide w;
        w.limbs[static_cast<std::size_t>(n / 32)] = 1u << (n % 32);
        return w;
    }
    constexpr void multiply(std::uint32_t factor) {
        std::uint64_t carry = 0;
        for (std::uint32_t& limb : limbs) {
            const std::uint64_t x = std::uint64_t{limb} * factor + carry;
            limb = static_cast<std::uint32_t>(x);
            carry = x >> 32;
        }
    }
    constexpr void divide(std::uint32_t divisor) {
        std::uint64_t rest = 0;
        for (std::size_t i = limbs.size(); i-- > 0;) {
            const std::uint64_t x = (rest << 32) | limbs[i];
            limbs[i] = static_cast<std::uint32_t>(x / divisor);
            rest = x % divisor;
        }
    }
    constexpr bool bit(int n) const {
        if (n < 0 || n >= 32 * static_cast<int>(limbs.size())) return false;
        return (limbs[static_cast<std::size_t>(n / 32)] >> (n % 32)) & 1;
    }
    // floor(this * 2^shift) for either sign of shift.
    constexpr Wide shifted(int shift) const {
        Wide w;
        for (int n = 0; n < 32 * static_cast<int>(limbs.size()); ++n) {
            if (bit(n - shift)) w.limbs[static_cast<std::size_t>(n / 32)] |= 1u << (n % 32);
        }
        return w;
    }
    constexpr void add_one() {
        for (std::uint32_t& limb : limbs) {
            if (++limb != 0) return;
        }
    }
    // Bits low .. low + 63.
    constexpr std::uint64_t bits_from(int low) const {
        std::uint64_t x = 0;
        for (int n = 63; n >= 0; --n) x = (x << 1) | (bit(low + n) ? 1u : 0u);
        return x;
    }
    constexpr int width() const {
        for (int n = 32 * static_cast<int>(limbs.size()) - 1; n >= 0; --n) {
            if (bit(n)) return n + 1;
        }
        return 0;
    }
};

// For each k: write 10^-k = beta * 2^r with 2^125 <= beta < 2^126; then
// g = floor(beta) + 1, and the entry is the top 63 bits of g plus one, an
// upper bound of 10^-k * 2^(-r - 63).
constexpr std::array<std::uint64_t, k_max - k_min + 1> scale_table = [] {
    std::array<std::uint64_t, k_max - k_min + 1> table{};
    for (int k = k_min; k <= k_max; ++k) {
        const int e = -k;
        const int r = floor_log2_pow10(e) - 125;
        Wide beta;
        if (e >= 0) {
            Wide ten_to_e = Wide::power_of_two(0);
            for (int i = 0; i < e; ++i) ten_to_e.multiply(10);
            beta = ten_to_e.shifted(-r);
        } else {
            beta = Wide::power_of_two(-r);
            for (int i = 0; i < -e; ++i) beta.divide(10);
        }
        if (beta.width() != 126) throw "scale out of range";  // not a constant expression
        beta.add_one();
        table[static_cast<std::size_t>(k - k_min)] = beta.bits_from(63) + 1;
    }
    return table;
}();

// floor(g * cp / 2^95), with its lowest bit set when the quotient is inexact
// in the bits that reach it (rounding to odd).
std::uint32_t round_to_odd(std::uint64_t g, std::uint64_t cp) noexcept {
    const auto x1 = static_cast<std::uint64_t>((static_cast<unsigned __int128>(g) * cp) >> 64);
    const std::uint64_t sticky = ((x1 & 0xffff'ffffu) + 0xffff'ffffu) >> 32;
    return static_cast<std::uint32_t>((x1 >> 31) | sticky);
}

// For c * 2^q.
Decimal shortest_scaled(int q, std::uint32_t c) noexcept {
    // Ends of the rounding interval, times four; an even c reads back from
    // them too.
    const std::uint32_t exclusive = c & 1;
    const std::uint64_t cb = std::uint64_t{c} << 2;
    const std::uint64_t cbr = cb + 2;
    std::uint64_t cbl = 0;
    int k = 0;
    if (c != c_min || q == q_min) {
        cbl = cb - 2;
        k = floor_log10_pow2(q);
    } else {
        // A power of two: the gap below is half the gap above.
        cbl = cb - 1;
        k = floor_log10_three_quarters_pow2(q);
    }
    const int h = q + floor_log2_pow10(-k) + 33;
    const std::uint64_t g = scale_table[static_cast<std::size_t>(k - k_min)];
    const std::uint32_t vb = round_to_odd(g, cb << h);
    const std::uint32_t vbl = round_to_odd(g, cbl << h);
    const std::uint32_t vbr = round_to_odd(g, cbr << h);

    // One digit less first: a multiple of ten inside the interval. The
    // scaled interval is narrower than ten, so at most one is, and it is
    // also the only candidate for anything shorter still (subnormals with
    // a small significand have only a few digits here). Zero never reads
    // back: vbl is above it.
    const std::uint32_t s = vb >> 2;
    {
        const std::uint32_t sp10 = s / 10 * 10;
        const std::uint32_t tp10 = sp10 + 10;
        const bool lower_in = vbl + exclusive <= sp10 << 2;
        const bool upper_in = (tp10 << 2) + exclusive <= vbr;
        if (lower_in != upper_in) return {lower_in ? sp10 : tp10, k};
    }
    // Otherwise s or s + 1, whichever is inside, or the nearer of the two.
    const std::uint32_t t = s + 1;
    const bool lower_in = vbl + exclusive <= s << 2;
    const bool upper_in = (t << 2) + exclusive <= vbr;
    if (lower_in != upper_in) return {lower_in ? s : t, k};
    const auto cmp = static_cast<std::int64_t>(vb) - static_cast<std::int64_t>((s + t) << 1);
    return {cmp < 0 || (cmp == 0 && (s & 1) == 0) ? s : t, k};
}

}  // namespace

Decimal shortest_decimal(float v) noexcept {
    const auto bits = std::bit_cast<std::uint32_t>(v);
    const std::uint32_t fraction = bits & 0x7fffff;
    const auto biased = static_cast<int>((bits >> 23) & 0xff);
    if (biased != 0) return shortest_scaled(biased - 150, c_min | fraction);
    return shortest_scaled(q_min, fraction);
}

}  // namespace tervalin::repr
