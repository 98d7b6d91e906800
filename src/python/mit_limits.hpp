// MitLimits: the five MIT scaling bounds of a motor model, with presets.
#pragma once

#include "binding/class_frame.hpp"
#include "binding/description.hpp"

#include <tervalin/records.hpp>

#include <array>
#include <tuple>

namespace tervalin {

template <class Record>
struct Preset;

struct MitLimitsClass {
    using Record = MitLimitsRecord;
    static constexpr std::string_view name = "MitLimits";

    // Each limit is a read-only attribute and a constructor parameter; the
    // defaults are also the limits of a motor handle given none.
    static constexpr std::tuple attributes{
        Field<&Record::p_max, AsF32>{"p_max", "12.5"},
        Field<&Record::v_max, AsF32>{"v_max", "30.0"},
        Field<&Record::kp_max, AsF32>{"kp_max", "500.0"},
        Field<&Record::kd_max, AsF32>{"kd_max", "5.0"},
        Field<&Record::t_max, AsF32>{"t_max", "10.0"},
    };
    static constexpr auto constructor = callable<Record>(name, "__new__", "", attributes);

    // One no-argument static method per motor model.
    static const std::array<Preset<Record>, 15> presets;

    [[nodiscard]] static Ref text(const Record& limits);
};

using MitLimitsFrame = ClassFrame<MitLimitsClass>;
extern template Result<PyTypeObject*> ClassFrame<MitLimitsClass>::get_or_create();

}  // namespace tervalin
