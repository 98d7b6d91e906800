#include "python/mit_limits.hpp"

#include "binding/type_description.hpp"
#include "python/float_fields.hpp"
#include "python/float_text.hpp"

#include <array>
#include <utility>

namespace tervalin {
namespace {

constexpr std::array<std::string_view, 5> params{"p_max", "v_max", "kp_max", "kd_max", "t_max"};
constexpr CallSignature signature{"__new__", "MitLimits", params, 0};
constexpr FloatFields<MitLimitsRecord, 5> fields{
    signature,
    {&MitLimitsRecord::p_max, &MitLimitsRecord::v_max, &MitLimitsRecord::kp_max,
     &MitLimitsRecord::kd_max, &MitLimitsRecord::t_max},
    default_limits,
};

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return call_boundary<PyObject*>(nullptr, [&]() -> Result<Ref> {
        Result<MitLimitsRecord> limits = fields.from_tuple_dict(args, kwargs);
        if (!limits) return fail(std::move(limits).error());
        return MitLimitsFrame::allocate(type, *limits);
    });
}

PyObject* represent(PyObject* self) noexcept {
    return call_boundary<PyObject*>(nullptr, [self] {
        return MitLimitsFrame::read(self, [](const MitLimitsRecord& limits) {
            return shortest_text<5>("MitLimits(", {"p_max=", ", v_max=", ", kp_max=", ", kd_max=", ", t_max="},
                                    {limits.p_max, limits.v_max, limits.kp_max, limits.kd_max, limits.t_max});
        });
    });
}

// One row of the preset table per motor model.
struct Preset {
    const char* name;
    const char* doc;
    MitLimitsRecord limits;
};

constexpr std::array<Preset, 15> presets{{
    {"dm3507", "dm3507()\n--\n\n", {12.566F, 50, 500, 5, 5}},
    {"dm4310", "dm4310()\n--\n\n", {12.5F, 30, 500, 5, 10}},
    {"dm4310p", "dm4310p()\n--\n\n", {12.5F, 50, 500, 5, 10}},
    {"dm4340", "dm4340()\n--\n\n", {12.5F, 10, 500, 5, 28}},
    {"dm4340p", "dm4340p()\n--\n\n", {12.5F, 10, 500, 5, 28}},
    {"dm6006", "dm6006()\n--\n\n", {12.5F, 45, 500, 5, 20}},
    {"dm6248p", "dm6248p()\n--\n\n", {12.566F, 20, 500, 5, 120}},
    {"dm8006", "dm8006()\n--\n\n", {12.5F, 45, 500, 5, 40}},
    {"dm8009", "dm8009()\n--\n\n", {12.5F, 45, 500, 5, 54}},
    {"dm10010", "dm10010()\n--\n\n", {12.5F, 20, 500, 5, 200}},
    {"dm10010l", "dm10010l()\n--\n\n", {12.5F, 25, 500, 5, 200}},
    {"dmg6215", "dmg6215()\n--\n\n", {12.5F, 45, 500, 5, 10}},
    {"dmh3510", "dmh3510()\n--\n\n", {12.5F, 280, 500, 5, 1}},
    {"dmh6220", "dmh6220()\n--\n\n", {12.5F, 45, 500, 5, 10}},
    {"dmjh11", "dmjh11()\n--\n\n", {12.5F, 10, 500, 5, 12}},
}};

template <std::size_t Row>
PyObject* preset(PyObject*, PyObject*) noexcept {
    return call_boundary<PyObject*>(nullptr, []() -> Result<Ref> {
        return MitLimitsFrame::make(presets[Row].limits);
    });
}

template <std::size_t... Rows>
constexpr std::array<PyMethodDef, sizeof...(Rows) + 1> preset_methods(std::index_sequence<Rows...>) {
    return {{{presets[Rows].name, &preset<Rows>, METH_NOARGS | METH_STATIC, presets[Rows].doc}...,
             {nullptr, nullptr, 0, nullptr}}};
}

auto methods = preset_methods(std::make_index_sequence<presets.size()>{});

PyGetSetDef getters[] = {
    field_getter<MitLimitsClass, &MitLimitsRecord::p_max>("p_max"),
    field_getter<MitLimitsClass, &MitLimitsRecord::v_max>("v_max"),
    field_getter<MitLimitsClass, &MitLimitsRecord::kp_max>("kp_max"),
    field_getter<MitLimitsClass, &MitLimitsRecord::kd_max>("kd_max"),
    field_getter<MitLimitsClass, &MitLimitsRecord::t_max>("t_max"),
    {},
};

// Type description.

constexpr auto stub_properties = stub::all_of_type<stub::Property>(params, stub::float_type);
constexpr auto stub_params = stub::all_of_type<stub::Parameter>(params, stub::float_type);

template <std::size_t... Rows>
constexpr std::array<stub::Method, sizeof...(Rows) + 1> stub_methods(std::index_sequence<Rows...>) {
    return {{{"__repr__", {}, stub::str_type, "", false},
             {presets[Rows].name, {}, stub::class_type("MitLimits"), "", true}...}};
}

constexpr auto stub_method_list = stub_methods(std::make_index_sequence<presets.size()>{});

constexpr stub::ClassRecord stub_class{"MitLimits", "tervalin", "", stub_properties};
constexpr stub::MethodsRecord stub_members{
    "MitLimits",
    stub::Constructor{stub_params, "p_max = ...,v_max = ...,kp_max = ...,kd_max = ...,t_max = ..."},
    stub_method_list,
};
const stub::Registration stub_registration{{stub::Slot::mit_limits, nullptr, &stub_class, &stub_members}};

}  // namespace

const ClassDescription MitLimitsClass::description{
    .name = "MitLimits",
    .qualified_name = "tervalin.MitLimits",
    .doc = "MitLimits(p_max=12.5, v_max=30.0, kp_max=500.0, kd_max=5.0, t_max=10.0)\n--\n\n",
    .constructor = construct,
    .repr = represent,
    .methods = methods.data(),
    .getters = getters,
    .basic_size = sizeof(MitLimitsFrame::Object),
};

}  // namespace tervalin
