// Damiao: the configuration of one motor handle.
#pragma once

#include "binding/class_frame.hpp"
#include "binding/description.hpp"
#include "python/mit_limits.hpp"

#include <tervalin/records.hpp>

#include <cstdint>
#include <tuple>

namespace tervalin {

// The timeout parameter is in milliseconds; the record keeps seconds and nanoseconds.
constexpr void set_timeout_ms(DamiaoRecord& record, std::uint64_t milliseconds) {
    record.timeout = Timeout::from_milliseconds(milliseconds);
}

struct DamiaoClass {
    using Record = DamiaoRecord;
    static constexpr std::string_view name = "Damiao";

    static constexpr Field<&Record::motor_id, AsU16> motor_id{"motor_id"};
    static constexpr Field<&Record::master_id, AsU16> master_id{"master_id"};

    static constexpr std::tuple attributes{motor_id, master_id};
    static constexpr auto constructor = callable<Record>(
        name, "__new__", "",
        std::tuple{motor_id, master_id, Field<&Record::limits, AsOptionalInstance<MitLimitsClass>>{"limits", "None"},
                   Field<&set_timeout_ms, AsU64>{"timeout_ms", "20"}});

    [[nodiscard]] static Ref text(const Record& handle);
};

using DamiaoFrame = ClassFrame<DamiaoClass>;
extern template Result<PyTypeObject*> ClassFrame<DamiaoClass>::get_or_create();

}  // namespace tervalin
