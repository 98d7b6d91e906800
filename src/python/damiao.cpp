#include "python/damiao.hpp"

#include "binding/args.hpp"
#include "binding/type_description.hpp"
#include "repr/text_buffer.hpp"

#include <array>

namespace tervalin {
namespace {

constexpr std::array<std::string_view, 4> params{"motor_id", "master_id", "limits", "timeout_ms"};
constexpr CallSignature signature{"__new__", "Damiao", params, 2};
constexpr std::uint64_t default_timeout_ms = 20;

Result<DamiaoRecord> convert(const std::array<PyObject*, 4>& slots) {
    DamiaoRecord record{0, 0, default_limits, Timeout::from_milliseconds(default_timeout_ms)};
    Result<std::uint16_t> motor_id = extract_u16(slots[0]);
    if (!motor_id) return fail(wrap_argument_error(params[0], std::move(motor_id).error()));
    record.motor_id = *motor_id;
    Result<std::uint16_t> master_id = extract_u16(slots[1]);
    if (!master_id) return fail(wrap_argument_error(params[1], std::move(master_id).error()));
    record.master_id = *master_id;
    // None stands for the default limits; for no other parameter.
    if (slots[2] != nullptr && slots[2] != Py_None) {
        Result<MitLimitsRecord> limits = extract_instance<MitLimitsClass>(slots[2]);
        if (!limits) return fail(wrap_argument_error(params[2], std::move(limits).error()));
        record.limits = *limits;
    }
    if (slots[3] != nullptr) {
        Result<std::uint64_t> timeout_ms = extract_u64(slots[3]);
        if (!timeout_ms) return fail(wrap_argument_error(params[3], std::move(timeout_ms).error()));
        record.timeout = Timeout::from_milliseconds(*timeout_ms);
    }
    return record;
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return call_boundary<PyObject*>(nullptr, [&]() -> Result<Ref> {
        std::array<PyObject*, 4> slots{};
        if (auto bound = bind_tuple_dict(signature, args, kwargs, slots); !bound)
            return fail(std::move(bound).error());
        Result<DamiaoRecord> record = convert(slots);
        if (!record) return fail(std::move(record).error());
        return DamiaoFrame::allocate(type, *record);
    });
}

PyObject* represent(PyObject* self) noexcept {
    return call_boundary<PyObject*>(nullptr, [self] {
        return DamiaoFrame::read(self, [](const DamiaoRecord& d) {
            using namespace repr;
            TextBuffer<text_capacity({"Damiao(motor_id=", ", master_id=", ")"},
                                     {hex_max_chars, hex_max_chars})>
                text;
            text.append("Damiao(motor_id=").hex(d.motor_id);
            text.append(", master_id=").hex(d.master_id).append(")");
            return Ref::steal(to_python_text(text.view()));
        });
    });
}

PyGetSetDef getters[] = {
    field_getter<DamiaoClass, &DamiaoRecord::motor_id>("motor_id"),
    field_getter<DamiaoClass, &DamiaoRecord::master_id>("master_id"),
    {},
};

// Type description.

constexpr std::array<stub::Property, 2> stub_properties{{{params[0], stub::int_type}, {params[1], stub::int_type}}};
constexpr std::array<stub::Parameter, 4> stub_params{{
    {params[0], stub::int_type},
    {params[1], stub::int_type},
    {params[2], {"typing.Optional[MitLimits]", stub::own_and_typing}},
    {params[3], stub::int_type},
}};
constexpr std::array<stub::Method, 1> stub_methods{{{"__repr__", {}, stub::str_type, "", false}}};

constexpr stub::ClassRecord stub_class{"Damiao", "tervalin", "", stub_properties};
constexpr stub::MethodsRecord stub_members{
    "Damiao", stub::Constructor{stub_params, "motor_id,master_id,limits = ...,timeout_ms = ..."}, stub_methods};
const stub::Registration stub_registration{{stub::Slot::damiao, nullptr, &stub_class, &stub_members}};

}  // namespace

const ClassDescription DamiaoClass::description{
    .name = "Damiao",
    .qualified_name = "tervalin.Damiao",
    .doc = "Damiao(motor_id, master_id, limits=None, timeout_ms=20)\n--\n\n",
    .constructor = construct,
    .repr = represent,
    .methods = nullptr,
    .getters = getters,
    .basic_size = sizeof(DamiaoFrame::Object),
};

}  // namespace tervalin
