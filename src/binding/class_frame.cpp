#include "binding/class_frame.hpp"

#include "binding/ascii.hpp"
#include "binding/class_builder.hpp"

#include <array>
#include <string>

namespace tervalin {

Result<PyTypeObject*> build_type(const TypeParts& parts) {
    std::array<PyType_Slot, 9> slots{};
    std::size_t count = 0;
    auto add = [&](int slot, void* value) { slots[count++] = PyType_Slot{slot, value}; };
    if (parts.doc != nullptr && parts.doc[0] != '\0') add(Py_tp_doc, const_cast<char*>(parts.doc));
    if (parts.constructor != nullptr) add(Py_tp_new, reinterpret_cast<void*>(parts.constructor));
    add(Py_tp_repr, reinterpret_cast<void*>(parts.repr));
    if (parts.methods != nullptr) add(Py_tp_methods, parts.methods);
    add(Py_tp_getset, parts.getters);
    add(Py_tp_base, &PyBaseObject_Type);
    if (parts.constructor == nullptr) add(Py_tp_new, reinterpret_cast<void*>(no_constructor));
    add(Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance));

    PyType_Spec spec{parts.qualified_name, parts.basic_size, 0, 0, slots.data()};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) return fail(fetch_error());
    // Instances of exactly the class are made without going through
    // tp_alloc (ClassFrame::make), which is right only for this allocator.
    if (reinterpret_cast<PyTypeObject*>(type)->tp_alloc != PyType_GenericAlloc) {
        Py_DECREF(type);
        return fail(PyErr::with_text(PyExc_SystemError, "the class has an unexpected allocator"));
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

// CPython 3.13 specialises a call of a built-in function whose flags are
// exactly METH_FASTCALL | METH_KEYWORDS, and its specialised call checks the
// flags again on every call. A static method's row also carries METH_STATIC
// (the class attribute must be a static method), so each call fails that
// check, falls back to the generic call and reaches the function through its
// vector call, which checks the recursion depth before calling the row's
// function. The function object, made by CPython from the row when the class
// was built, is given the static method's own vector call instead; its method
// definition, flags included, stays the row.
Result<void> direct_static_call(PyTypeObject* type, const PyMethodDef& row, vectorcallfunc call) {
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(type->tp_dict, row.ml_name, &found) < 0) return fail(fetch_error());
    Ref descriptor = Ref::steal(found);
    if (!descriptor || !Py_IS_TYPE(descriptor.get(), &PyStaticMethod_Type)) return {};
    Ref function = Ref::steal(PyObject_GetAttrString(descriptor.get(), "__func__"));
    if (!function) return fail(fetch_error());
    if (!PyCFunction_CheckExact(function.get())) return {};
    auto* object = reinterpret_cast<PyCFunctionObject*>(function.get());
    if (object->m_ml == &row) object->vectorcall = call;
    return {};
}

PyErr class_init_error(std::string_view name, PyErr cause) {
    PyErr error = PyErr::described(PyExc_RuntimeError, [name] {
        Ref text = ascii_str(name);
        if (!text) return text;
        return Ref::steal(PyUnicode_FromFormat("An error occurred while initializing class %U", text.get()));
    });
    PyObject* exception = error.exception();
    PyException_SetCause(exception, Py_NewRef(cause.exception()));
    return error;
}

void class_unavailable(PyErr error, std::string_view name) {
    restore_error(std::move(error));
    interpreter_call([] { PyErr_PrintEx(0); });
    fault("failed to create type object for " + std::string(name));
}

PyErr type_mismatch(PyObject* object, std::string_view target) {
    return PyErr::described(
        PyExc_TypeError, [type = Ref::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(object))), target] {
            Ref target_text = ascii_str(target);
            if (!target_text) return target_text;
            // The qualified name goes in as a str, so a NUL inside it is kept;
            // one that cannot be encoded as UTF-8 is replaced.
            Ref qualname = Ref::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type.get())));
            if (!qualname || PyUnicode_AsUTF8AndSize(qualname.get(), nullptr) == nullptr) {
                PyErr_Clear();
                qualname = ascii_str("<failed to extract type name>");
                if (!qualname) return qualname;
            }
            return Ref::steal(PyUnicode_FromFormat("'%U' object cannot be converted to '%U'", qualname.get(),
                                                   target_text.get()));
        });
}

Result<Ref> mismatch_result(PyObject* object, std::string_view target) {
    return fail(type_mismatch(object, target));
}

void dealloc_instance(PyObject* self) {
    call_boundary_unraisable([self]() noexcept -> Result<void> {
        // The value record owns nothing; only the memory and the instance's
        // reference to its heap type are released.
        PyTypeObject* type = Py_TYPE(self);
        type->tp_free(self);
        Py_DECREF(type);
        return {};
    });
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    return call_boundary<PyObject*>(nullptr, [type]() -> Result<Ref> {
        Ref name = Ref::steal(PyType_GetName(type));
        if (!name) return fail(fetch_error());
        return fail(PyErr::described(PyExc_TypeError, [name = std::move(name)] {
            Ref text = object_text(name.get());
            if (!text) return Ref();
            return Ref::steal(PyUnicode_FromFormat("No constructor defined for %U", text.get()));
        }));
    });
}

namespace {

// The exception of CPython's own call of the type, passed on unchanged: a
// PanicException in it is on its way out to Python already, not a fault
// that native code fetched and resumes.
[[gnu::cold]] PyErr passed_on_error() {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) return fetch_error();
    return PyErr::materialised(Ref::steal(raised));
}

}  // namespace

// A boundary of its own, so that the argument tuple and dict are released at
// once rather than queued; counted as one level of C recursion, as CPython
// counts a call through tp_call, since the reassigned __new__ or __init__
// may call the class again.
PyObject* call_generic(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return call_boundary<PyObject*>(nullptr, [&]() -> Result<Ref> {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        Ref positional = Ref::steal(PyTuple_New(nargs));
        if (!positional) return fail(fetch_error());
        for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
        Ref keywords;
        if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
            keywords = Ref::steal(PyDict_New());
            if (!keywords) return fail(fetch_error());
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
                if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0)
                    return fail(fetch_error());
        }
        return counted_call([&]() -> Result<Ref> {
            Ref made = Ref::steal(
                interpreter_call([&] { return PyType_Type.tp_call(type, positional.get(), keywords.get()); }));
            if (!made) return fail(passed_on_error());
            return made;
        });
    });
}

}  // namespace tervalin
