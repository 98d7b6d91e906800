// Damiao: the configuration of one motor handle.
#pragma once

#include "binding/class_frame.hpp"
#include "python/mit_limits.hpp"

#include <cstdint>

namespace tervalin {

struct DamiaoClass {
    using Record = DamiaoRecord;
    static const ClassDescription description;
};

using DamiaoFrame = ClassFrame<DamiaoClass>;

}  // namespace tervalin
