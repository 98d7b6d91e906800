#include "binding/class_frame.hpp"

#include <array>

namespace tervalin {

Result<PyTypeObject*> build_class(const ClassDescription& description) {
    std::array<PyType_Slot, 9> slots{};
    std::size_t count = 0;
    auto add = [&](int slot, void* value) { slots[count++] = PyType_Slot{slot, value}; };
    if (description.doc != nullptr && description.doc[0] != '\0')
        add(Py_tp_doc, const_cast<char*>(description.doc));
    if (description.constructor != nullptr)
        add(Py_tp_new, reinterpret_cast<void*>(description.constructor));
    add(Py_tp_repr, reinterpret_cast<void*>(description.repr));
    if (description.methods != nullptr) add(Py_tp_methods, description.methods);
    add(Py_tp_getset, description.getters);
    add(Py_tp_base, &PyBaseObject_Type);
    if (description.constructor == nullptr) add(Py_tp_new, reinterpret_cast<void*>(no_constructor));
    add(Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance));

    PyType_Spec spec{description.qualified_name, static_cast<int>(description.basic_size), 0, 0,
                     slots.data()};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) return fail(fetch_error());
    return reinterpret_cast<PyTypeObject*>(type);
}

PyErr class_init_error(const char* name, PyErr cause) {
    PyErr error = PyErr::described(PyExc_RuntimeError, [name] {
        return Ref::steal(PyUnicode_FromFormat("An error occurred while initializing class %s", name));
    });
    PyObject* exception = error.exception();
    PyException_SetCause(exception, Py_NewRef(cause.exception()));
    return error;
}

PyErr type_mismatch(PyObject* object, const char* target) {
    return PyErr::described(
        PyExc_TypeError, [type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object))), target] {
            const char* name = "<failed to extract type name>";
            Ref qualname = Ref::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type.get())));
            const char* utf8 = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
            if (utf8 != nullptr) {
                name = utf8;
            } else {
                PyErr_Clear();
            }
            return Ref::steal(
                PyUnicode_FromFormat("'%s' object cannot be converted to '%s'", name, target));
        });
}

PyTypeObject* native_type_or_fault(Result<PyTypeObject*> type, const char* name) {
    if (type) return *type;
    restore_error(std::move(type).error());
    PyErr_PrintEx(0);
    fault(std::string("failed to create type object for ") + name);
}

void dealloc_instance(PyObject* self) noexcept {
    call_boundary_unraisable([self]() -> Result<void> {
        // The value record owns nothing; only the memory and the instance's
        // reference to its heap type are released.
        PyTypeObject* type = Py_TYPE(self);
        type->tp_free(self);
        Py_DECREF(type);
        return {};
    });
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    return call_boundary<PyObject*>(nullptr, [type]() -> Result<PyObject*> {
        Ref name = Ref::steal(PyType_GetName(type));
        if (!name) return fail(fetch_error());
        return fail(PyErr::described(PyExc_TypeError, [name = std::move(name)] {
            Ref text = object_text(name.get());
            if (!text) return Ref();
            return Ref::steal(PyUnicode_FromFormat("No constructor defined for %U", text.get()));
        }));
    });
}

}  // namespace tervalin
