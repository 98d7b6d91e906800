#include "python/mit_setpoint.hpp"

#include "binding/type_description.hpp"
#include "python/float_fields.hpp"
#include "python/float_text.hpp"

#include <array>
#include <memory>
#include <vector>

namespace tervalin {
namespace {

constexpr std::array<std::string_view, 5> params{"q", "dq", "kp", "kd", "tau"};
constexpr std::array members{&MitSetpointRecord::q, &MitSetpointRecord::dq, &MitSetpointRecord::kp,
                             &MitSetpointRecord::kd, &MitSetpointRecord::tau};
constexpr MitSetpointRecord zero_setpoint{0.0F, 0.0F, 0.0F, 0.0F, 0.0F};

constexpr CallSignature constructor_signature{"__new__", "MitSetpoint", params, 0};
constexpr FloatFields<MitSetpointRecord, 5> constructor_fields{constructor_signature, members,
                                                                zero_setpoint};
constexpr CallSignature function_signature{"mit_setpoint", "", params, 0};
constexpr FloatFields<MitSetpointRecord, 5> function_fields{function_signature, members, zero_setpoint};

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return call_boundary<PyObject*>(nullptr, [&]() -> Result<Ref> {
        Result<MitSetpointRecord> setpoint = constructor_fields.from_tuple_dict(args, kwargs);
        if (!setpoint) return fail(std::move(setpoint).error());
        return MitSetpointFrame::allocate(type, *setpoint);
    });
}

PyObject* mit_setpoint(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_boundary<PyObject*>(nullptr, [&]() -> Result<Ref> {
        Result<MitSetpointRecord> setpoint = function_fields.from_fastcall(args, nargs, kwnames);
        if (!setpoint) return fail(std::move(setpoint).error());
        return MitSetpointFrame::make(*setpoint);
    });
}

PyObject* represent(PyObject* self) noexcept {
    return call_boundary<PyObject*>(nullptr, [self] {
        return MitSetpointFrame::read(self, [](const MitSetpointRecord& s) {
            return shortest_text<5>("MitSetpoint(", {"q=", ", dq=", ", kp=", ", kd=", ", tau="},
                                    {s.q, s.dq, s.kp, s.kd, s.tau});
        });
    });
}

PyGetSetDef getters[] = {
    field_getter<MitSetpointClass, &MitSetpointRecord::q>("q"),
    field_getter<MitSetpointClass, &MitSetpointRecord::dq>("dq"),
    field_getter<MitSetpointClass, &MitSetpointRecord::kp>("kp"),
    field_getter<MitSetpointClass, &MitSetpointRecord::kd>("kd"),
    field_getter<MitSetpointClass, &MitSetpointRecord::tau>("tau"),
    {},
};

// Type description.

constexpr auto stub_properties = stub::all_of_type<stub::Property>(params, stub::float_type);
constexpr auto stub_params = stub::all_of_type<stub::Parameter>(params, stub::float_type);
constexpr std::string_view stub_signature = "q = ...,dq = ...,kp = ...,kd = ...,tau = ...";
constexpr std::array<stub::Method, 1> stub_methods{{{"__repr__", {}, stub::str_type, "", false}}};

constexpr stub::ClassRecord stub_class{"MitSetpoint", "tervalin", "", stub_properties};
constexpr stub::MethodsRecord stub_members{"MitSetpoint", stub::Constructor{stub_params, stub_signature},
                                           stub_methods};
constexpr stub::FunctionRecord stub_function{
    "mit_setpoint", stub_params, stub::class_type("MitSetpoint"),
    "Build a `MitSetpoint` (handy when keyword args are awkward).", stub_signature};
const stub::Registration stub_class_registration{
    {stub::Slot::mit_setpoint, nullptr, &stub_class, &stub_members}};
const stub::Registration stub_function_registration{
    {stub::Slot::mit_setpoint_function, nullptr, nullptr, nullptr, &stub_function}};

}  // namespace

const ClassDescription MitSetpointClass::description{
    .name = "MitSetpoint",
    .qualified_name = "tervalin.MitSetpoint",
    .doc = "MitSetpoint(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)\n--\n\n",
    .constructor = construct,
    .repr = represent,
    .methods = nullptr,
    .getters = getters,
    .basic_size = sizeof(MitSetpointFrame::Object),
};

Result<Ref> make_mit_setpoint_function(PyObject* module) {
    // A function object refers to its definition for its whole life, and the
    // module holding it is never released: definitions are kept, never freed.
    static std::vector<std::unique_ptr<PyMethodDef>> definitions;
    auto definition = std::make_unique<PyMethodDef>(PyMethodDef{
        "mit_setpoint",
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&mit_setpoint)),
        METH_FASTCALL | METH_KEYWORDS,
        "mit_setpoint(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)\n--\n\n"
        "Build a `MitSetpoint` (handy when keyword args are awkward).",
    });
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return fail(fetch_error());
    Ref function = Ref::steal(PyCMethod_New(definition.get(), module, name.get(), nullptr));
    if (!function) return fail(fetch_error());
    definitions.push_back(std::move(definition));
    return function;
}

}  // namespace tervalin
