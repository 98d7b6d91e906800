// Damiao: the configuration of one motor handle.
#pragma once

#include "binding/class_frame.hpp"
#include "python/mit_limits.hpp"

#include <cstdint>

namespace tervalin {

// A reply timeout: whole seconds and the nanoseconds below one second.
struct Timeout {
    std::uint64_t seconds;
    std::uint32_t nanoseconds;

    [[nodiscard]] static constexpr Timeout from_milliseconds(std::uint64_t milliseconds) noexcept {
        return {milliseconds / 1000, static_cast<std::uint32_t>(milliseconds % 1000) * 1'000'000U};
    }
};

struct DamiaoRecord {
    std::uint16_t motor_id;
    std::uint16_t master_id;
    MitLimitsRecord limits;
    Timeout timeout;
};

struct DamiaoClass {
    using Record = DamiaoRecord;
    static const ClassDescription description;
};

using DamiaoFrame = ClassFrame<DamiaoClass>;

}  // namespace tervalin
