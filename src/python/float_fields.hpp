// Calls whose parameters are all 32-bit floats stored in one record.
#pragma once

#include "binding/args.hpp"

#include <array>

namespace tervalin {

// The float parameters of a callable and the record fields they fill, in
// parameter order; fields of parameters not supplied keep their default.
template <class Record, std::size_t N>
struct FloatFields {
    const CallSignature& signature;
    std::array<float Record::*, N> members;
    Record defaults;

    [[nodiscard]] Result<Record> from_tuple_dict(PyObject* args, PyObject* kwargs) const {
        std::array<PyObject*, N> slots{};
        if (auto bound = bind_tuple_dict(signature, args, kwargs, slots); !bound)
            return fail(std::move(bound).error());
        return convert(slots);
    }

    [[nodiscard]] Result<Record> from_fastcall(PyObject* const* args, Py_ssize_t nargs,
                                               PyObject* kwnames) const {
        std::array<PyObject*, N> slots{};
        if (auto bound = bind_fastcall(signature, args, nargs, kwnames, slots); !bound)
            return fail(std::move(bound).error());
        return convert(slots);
    }

private:
    [[nodiscard]] Result<Record> convert(const std::array<PyObject*, N>& slots) const {
        Record record = defaults;
        std::array<float*, N> fields{};
        for (std::size_t i = 0; i < N; ++i) fields[i] = &(record.*members[i]);
        if (auto converted = convert_floats(signature, slots, fields); !converted)
            return fail(std::move(converted).error());
        return record;
    }
};

}  // namespace tervalin
