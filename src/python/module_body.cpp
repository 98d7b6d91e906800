#include "python/module_body.hpp"

#include "binding/ascii.hpp"
#include "binding/class_frame.hpp"
#include "binding/type_description.hpp"
#include "logbridge/bridge_logger.hpp"
#include "python/control_setpoint.hpp"
#include "python/damiao.hpp"
#include "python/mit_limits.hpp"
#include "python/mit_setpoint.hpp"
#include "python/motor_state.hpp"

#ifndef TERVALIN_VERSION
#error "TERVALIN_VERSION must be defined by the build"
#endif

namespace tervalin {
namespace {

// The name enters __all__ before the attribute exists.
Result<void> register_attribute(PyObject* module, std::string_view name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail(fetch_error());
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all) return fail(fetch_error());
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return fail(fetch_error());
    }
    Ref key = ascii_str(name);
    if (!key) return fail(fetch_error());
    if (PyList_Append(all.get(), key.get()) < 0)
        fault("could not append __name__ to __all__: " + fetch_error().render());
    if (PyObject_SetAttr(module, key.get(), value) < 0) return fail(fetch_error());
    return {};
}

template <class Class>
Result<void> register_class(PyObject* module) {
    Result<PyTypeObject*> type = ClassFrame<Class>::get_or_create();
    if (!type) return fail(std::move(type).error());
    return register_attribute(module, Class::name, reinterpret_cast<PyObject*>(*type));
}

Result<void> register_function(PyObject* module) {
    Result<Ref> function = make_mit_setpoint_function(module);
    if (!function) return fail(std::move(function).error());
    return register_attribute(module, mit_setpoint_function.name, function->get());
}

constexpr stub::AttributeRecord version_record{"__version__", stub::str_type};
const stub::Registration version_registration{{stub::Position::version, &version_record}};

}  // namespace

Result<void> run_module_body(PyObject* module) {
    // The bridge stays installed whatever happens next; its reset handle is not needed.
    log::install_bridge().reset();
    Ref version = ascii_str(TERVALIN_VERSION);
    if (!version) return fail(fetch_error());
    if (auto done = register_attribute(module, "__version__", version.get()); !done) return done;
    if (auto done = register_class<MitLimitsClass>(module); !done) return done;
    if (auto done = register_class<MitSetpointClass>(module); !done) return done;
    if (auto done = register_class<ControlSetpointClass>(module); !done) return done;
    if (auto done = register_class<MotorStateClass>(module); !done) return done;
    if (auto done = register_class<DamiaoClass>(module); !done) return done;
    return register_function(module);
}

}  // namespace tervalin
