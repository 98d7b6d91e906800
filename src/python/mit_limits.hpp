// MitLimits: the five MIT scaling bounds of a motor model.
#pragma once

#include "binding/class_frame.hpp"

#include <tervalin/records.hpp>

namespace tervalin {


// The constructor's defaults, also the limits of a motor handle given none.
inline constexpr MitLimitsRecord default_limits{12.5F, 30.0F, 500.0F, 5.0F, 10.0F};

struct MitLimitsClass {
    using Record = MitLimitsRecord;
    static const ClassDescription description;
};

using MitLimitsFrame = ClassFrame<MitLimitsClass>;

}  // namespace tervalin
