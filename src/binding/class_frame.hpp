// The frame shared by the module's classes: one constant description per
// class, the class-object cell, instance layout, allocation and reading.
#pragma once

#include "binding/boundary.hpp"
#include "binding/error.hpp"

#include <tervalin/instance.hpp>

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <type_traits>
#include <string_view>

namespace tervalin {


// Everything CPython is told about one class. The method and getter arrays are
// static and outlive the class object (which lives for the whole process).
struct ClassDescription {
    const char* name;            // "MitLimits"
    const char* qualified_name;  // "tervalin.MitLimits"
    const char* doc;             // "MitLimits(...)\n--\n\n", or nullptr for none
    newfunc constructor;         // nullptr: calling the class is a TypeError
    reprfunc repr;
    PyMethodDef* methods;  // nullptr: no static methods
    PyGetSetDef* getters;
    Py_ssize_t basic_size;
};

// Builds a class object from its description: the pending error on failure.
[[nodiscard]] Result<PyTypeObject*> build_class(const ClassDescription& description);

// "An error occurred while initializing class {}" caused by `cause`.
[[nodiscard]] PyErr class_init_error(const char* name, PyErr cause);

// TypeError "'{}' object cannot be converted to '{}'", text built when raised.
[[nodiscard, gnu::cold]] PyErr type_mismatch(PyObject* object, const char* target);

// A shared read of an instance: keeps the object alive and its borrow
// counter raised while the value record is read. Borrows are taken only
// inside a call boundary, with the interpreter lock held.
template <class Record>
class SharedBorrow {
public:
    explicit SharedBorrow(PyObject* object) noexcept : object_(Py_NewRef(object)) {
        ++instance().borrow_count;
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() {
        --instance().borrow_count;
        Py_DECREF(object_);
    }

    [[nodiscard]] const Record& value() const noexcept { return instance().value; }

private:
    [[nodiscard]] Instance<Record>& instance() const noexcept {
        return *reinterpret_cast<Instance<Record>*>(object_);
    }
    PyObject* const object_;
};

// The class-object cell and the operations on one class. `Class` provides
// `Record` and a constant `description`.
template <class Class>
class ClassFrame {
public:
    using Record = typename Class::Record;
    using Object = Instance<Record>;
    // The shared deallocator frees the memory without running destructors.
    static_assert(std::is_trivially_destructible_v<Record>);

    // The class object, built on first request.
    [[nodiscard]] static Result<PyTypeObject*> get_or_create() {
        if (cell_ != nullptr) return cell_;
        Result<PyTypeObject*> built = build_class(Class::description);
        if (!built) return fail(class_init_error(Class::description.name, std::move(built).error()));
        // Building may run Python code; another request may have filled the cell meanwhile.
        if (cell_ != nullptr) {
            Ref discarded = Ref::steal(reinterpret_cast<PyObject*>(*built));
            return cell_;
        }
        cell_ = *built;
        return cell_;
    }

    // The class object for native code: failing to build it is a fault.
    [[nodiscard]] static PyTypeObject* for_native_use() {
        if (cell_ != nullptr) [[likely]]
            return cell_;
        return create_for_native_use();
    }

    // A new instance of `type` holding `value`, or the allocation's error.
    [[nodiscard]] static Result<Ref> allocate(PyTypeObject* type, const Record& value) {
        allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
        PyObject* object = alloc(type, 0);
        if (object == nullptr) return fail(fetch_error());
        auto* instance = reinterpret_cast<Object*>(object);
        new (&instance->value) Record(value);
        instance->borrow_count = 0;
        return Ref::steal(object);
    }

    // A new instance of exactly this class; failure is a fault.
    [[nodiscard]] static Ref make(const Record& value) {
        return unwrap(allocate(for_native_use(), value));
    }

    [[nodiscard]] static const char* name() noexcept { return Class::description.name; }

    [[nodiscard]] static bool is_instance(PyObject* object) {
        PyTypeObject* type = for_native_use();
        return Py_IS_TYPE(object, type) || PyType_IsSubtype(Py_TYPE(object), type);
    }

    // What `reader` makes of the value record of `object`, read under a
    // shared borrow; a TypeError when `object` is not an instance.
    template <class Reader>
    [[nodiscard]] static auto read(PyObject* object, Reader&& reader)
        -> Result<std::invoke_result_t<Reader&, const Record&>> {
        if (!is_instance(object)) [[unlikely]]
            return mismatch<std::invoke_result_t<Reader&, const Record&>>(object);
        SharedBorrow<Record> borrowed(object);
        return reader(borrowed.value());
    }

private:
    [[gnu::cold, gnu::noinline]] static PyTypeObject* create_for_native_use() {
        return native_type_or_fault(get_or_create(), Class::description.name);
    }

    template <class T>
    [[gnu::cold, gnu::noinline]] static Result<T> mismatch(PyObject* object) {
        return fail(type_mismatch(object, Class::description.name));
    }

    static inline PyTypeObject* cell_ = nullptr;
};

// Shared by for_native_use of every class: prints the error and faults.
[[nodiscard]] PyTypeObject* native_type_or_fault(Result<PyTypeObject*> type, const char* name);

// Getters: one get function per field, each running its read function (the
// record field converted to a Python object) inside a call boundary.
template <auto Read>
PyObject* get_slot(PyObject* self, void*) noexcept {
    return call_boundary<PyObject*>(nullptr, [self]() -> Result<PyObject*> { return Read(self); });
}

inline PyObject* to_python(float value) { return checked(PyFloat_FromDouble(value)); }
inline PyObject* to_python(std::uint8_t value) { return checked(PyLong_FromLong(value)); }
inline PyObject* to_python(std::uint16_t value) { return checked(PyLong_FromLong(value)); }
inline PyObject* to_python_text(std::string_view text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

template <class Class, auto Member>
Result<PyObject*> read_field(PyObject* self) {
    return ClassFrame<Class>::read(self, [](const typename Class::Record& record) {
        return to_python(record.*Member);
    });
}

// A read-only attribute whose value `Read(self)` computes.
template <auto Read>
constexpr PyGetSetDef getter(const char* name, const char* doc = "") {
    return {name, &get_slot<Read>, nullptr, doc, nullptr};
}

template <class Class, auto Member>
constexpr PyGetSetDef field_getter(const char* name) {
    return getter<&read_field<Class, Member>>(name);
}

// Slots shared by every class.
void dealloc_instance(PyObject* self) noexcept;
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace tervalin
