// Shortest round-trip decimal of a single.
#pragma once

#include <cstdint>

namespace tervalin::repr {

// The decimal digits * 10^exponent.
struct Decimal {
    std::uint32_t digits;
    int exponent;
};

// For a finite positive `v`: a decimal with the fewest significant digits
// that reads back as exactly `v` (rounding to nearest, ties to even), the
// one nearest to v's exact value among those, ties going to an even last
// digit. `digits` has at most nine digits and may end in zeros.
Decimal shortest_decimal(float v) noexcept;

}  // namespace tervalin::repr
