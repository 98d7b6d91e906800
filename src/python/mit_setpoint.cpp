#include "python/mit_setpoint.hpp"

#include "binding/class_builder.hpp"
#include "binding/class_stub.hpp"
#include "python/representation.hpp"

namespace tervalin {

Ref MitSetpointClass::text(const MitSetpointRecord& setpoint) {
    return fields_text<CallHead<name>, attributes, NumberForms{}>(setpoint);
}

template Result<PyTypeObject*> ClassFrame<MitSetpointClass>::get_or_create();

namespace {

using Function = Described<mit_setpoint_function>;

[[gnu::always_inline]] inline Result<Ref> make_setpoint(const MitSetpointRecord& setpoint) {
    return MitSetpointFrame::make(setpoint);
}

[[gnu::cold, gnu::noinline]] PyObject* mit_setpoint_full(PyObject* const* args, std::size_t nargs,
                                                         PyObject* kwnames) {
    return full_vector_call<mit_setpoint_function>(args, nargs, kwnames, make_setpoint);
}

PyObject* mit_setpoint(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto given = static_cast<std::size_t>(nargs);
    if (MitSetpointRecord setpoint; fast_vector_record<mit_setpoint_function>(args, given, kwnames, setpoint))
        [[likely]]
        return call_boundary<PyObject*>(
            nullptr, [&]() __attribute__((always_inline)) { return make_setpoint(setpoint); });
    return mit_setpoint_full(args, given, kwnames);
}

// A function object refers to its definition for its whole life; this one
// is static, trivially destructible storage, so it outlasts every function
// object made from it.
PyMethodDef definition{
    static_c_str<Function::Name>(),
    ClassBuilder<MitSetpointClass>::fastcall(&mit_setpoint),
    METH_FASTCALL | METH_KEYWORDS,
    static_c_str<Function::Doc>(),
};

const stub::Registration class_registration{class_stub_entry<MitSetpointClass>(stub::Position::mit_setpoint)};
const stub::Registration function_registration{
    function_stub_entry<mit_setpoint_function, MitSetpointClass>(stub::Position::mit_setpoint_function)};

}  // namespace

Result<Ref> make_mit_setpoint_function(PyObject* module) {
    intern_parameter_names(Function::signature);
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) return fail(fetch_error());
    Ref function = Ref::steal(PyCMethod_New(&definition, module, name.get(), nullptr));
    if (!function) return fail(fetch_error());
    return function;
}

}  // namespace tervalin
