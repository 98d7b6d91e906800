// The frame shared by the module's classes: the class-object cell, instance
// allocation, the shared borrow under which instances are read, and the
// converters for instance arguments.
#pragma once

#include "binding/boundary.hpp"
#include "binding/description.hpp"
#include "binding/error.hpp"

#include <tervalin/instance.hpp>

#include <Python.h>

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace tervalin {

// Shared by the frames of every class.
// TypeError "'{}' object cannot be converted to '{}'", text built when raised.
[[nodiscard, gnu::cold]] PyErr type_mismatch(PyObject* object, std::string_view target);
// "An error occurred while initializing class {}" caused by `cause`.
[[nodiscard]] PyErr class_init_error(std::string_view name, PyErr cause);
// For for_native_use: prints the error and faults.
[[noreturn, gnu::cold]] void class_unavailable(PyErr error, std::string_view name);

// The shared borrow of an instance: its borrow counter raised while the
// value record is read. Taken only inside a call boundary, with the
// interpreter lock held. No reads under a borrow run Python code (they copy
// fields, or make a float, int or str), so the reference through which the
// caller passed the object keeps it alive for the whole borrow, and the
// borrow itself holds the object as a borrowed reference.
template <class Record>
class SharedBorrow {
public:
    explicit SharedBorrow(PyObject* borrowed) noexcept : instance_(reinterpret_cast<Instance<Record>*>(borrowed)) {
        ++instance_->borrow_count;
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() { --instance_->borrow_count; }

    [[nodiscard]] const Record& value() const noexcept { return instance_->value; }

private:
    Instance<Record>* const instance_;
};

// The class-object cell and the operations on one class. `Class` is the
// class's description: `Record`, `name`, and what ClassBuilder reads.
template <class Class>
class ClassFrame {
public:
    using Record = typename Class::Record;
    using Object = Instance<Record>;
    // Instances are reached by a cast from PyObject*, and the shared
    // deallocator frees their memory without running destructors.
    static_assert(std::is_standard_layout_v<Object> && offsetof(Object, header) == 0);
    static_assert(std::is_trivially_copyable_v<Record> && std::is_trivially_destructible_v<Record>);

    // The class object, built on first request. Defined with the class
    // builder (class_builder.hpp), which every class file includes.
    [[nodiscard]] static Result<PyTypeObject*> get_or_create();

    // The class object if it was built already, else null.
    [[nodiscard]] static PyTypeObject* existing() noexcept { return cell_; }

    // The class object for native code: failing to build it is a fault.
    [[nodiscard]] static PyTypeObject* for_native_use() {
        if (cell_ != nullptr) [[likely]]
            return cell_;
        return create_for_native_use();
    }

    // A new instance of `type` holding `value`, or the allocation's error.
    // `type` is the class itself: no class of the module can be subclassed.
    [[nodiscard, gnu::always_inline]] static Result<Ref> allocate(PyTypeObject* type, const Record& value) {
        PyObject* object = new_instance(type, value);
        if (object == nullptr) [[unlikely]]
            return fail(fetch_error());
        return Ref::steal(object);
    }

    // A new instance of exactly this class; failure is a fault, so the
    // result always holds the instance.
    [[nodiscard, gnu::always_inline]] static Result<Ref> make(const Record& value) {
        return made(new_instance(for_native_use(), value));
    }

    // The same, from one of the class's own static methods: reaching one
    // means the class was built and its cell filled. `value()` makes the
    // record once the instance is allocated, so that it is written straight
    // into the instance.
    template <class MakeRecord>
    [[nodiscard, gnu::always_inline]] static Result<Ref> make_in_method(MakeRecord&& value) {
        return made(new_instance(cell_, std::forward<MakeRecord>(value)));
    }

    // The class itself or a subtype. An object's type is never null, so
    // meeting the cell's class also means that the class exists.
    [[nodiscard, gnu::always_inline]] static bool is_instance(PyObject* object) {
        if (Py_TYPE(object) == cell_) [[likely]]
            return true;
        return is_subtype_instance(object);
    }

    // What `reader` makes of the value record of `object`, read under a
    // shared borrow; a TypeError when `object` is not an instance.
    template <class Reader>
    [[nodiscard, gnu::always_inline]] static auto read(PyObject* object, Reader&& reader)
        -> Result<std::invoke_result_t<Reader&, const Record&>> {
        if (!is_instance(object)) [[unlikely]]
            return fail(type_mismatch(object, Class::name));
        SharedBorrow<Record> borrowed(object);
        return reader(borrowed.value());
    }

private:
    [[gnu::always_inline]] static Result<Ref> made(PyObject* object) {
        if (object == nullptr) [[unlikely]]
            unwrap_failed(fetch_error());
        return Ref::steal(object);
    }

    // A new reference to a new instance, or null with MemoryError pending, as
    // CPython's own allocators report failure; the callers above take it over
    // at once. Instances are plain memory from the object allocator (no GC
    // header, no dict): what PyType_GenericAlloc, the classes' allocator
    // (build_type checks), gives them. `value` is the record, or a function
    // making it.
    template <class Value>
    [[nodiscard, gnu::always_inline]] static PyObject* new_instance(PyTypeObject* type, Value&& value) {
        PyObject* object = static_cast<PyObject*>(PyObject_Malloc(sizeof(Object)));
        if (object == nullptr) [[unlikely]]
            return PyErr_NoMemory();
        PyObject_Init(object, type);
        auto* instance = reinterpret_cast<Object*>(object);
        if constexpr (std::is_invocable_r_v<Record, Value>) {
            // Initialised from the function's result, which then needs no
            // temporary of its own.
            ::new (static_cast<void*>(&instance->value)) Record(value());
        } else {
            instance->value = value;
        }
        instance->borrow_count = 0;
        return object;
    }

    [[gnu::noinline]] static bool is_subtype_instance(PyObject* object) {
        return PyType_IsSubtype(Py_TYPE(object), for_native_use()) != 0;
    }

    [[gnu::cold, gnu::noinline]] static PyTypeObject* create_for_native_use() {
        Result<PyTypeObject*> type = get_or_create();
        if (!type) class_unavailable(std::move(type).error(), Class::name);
        return *type;
    }

    static inline PyTypeObject* cell_ = nullptr;
};

// An instance argument: its value record copied under a shared borrow.
template <class Class>
struct AsInstance {
    using Value = typename Class::Record;
    // An instance of exactly the class, once the class exists.
    [[gnu::always_inline]] static bool try_fast(PyObject* object, Value& value) noexcept {
        // Before the class exists the cell is null, which no object's type is.
        if (!Py_IS_TYPE(object, ClassFrame<Class>::existing())) return false;
        SharedBorrow<Value> borrowed(object);
        value = borrowed.value();
        return true;
    }
    [[gnu::always_inline]] static Result<Value> convert(PyObject* object) {
        return ClassFrame<Class>::read(object, [](const Value& record) { return record; });
    }
};

// Like AsInstance, with None standing for the class's constructor defaults.
template <class Class>
struct AsOptionalInstance {
    using Value = typename Class::Record;
    [[gnu::always_inline]] static bool try_fast(PyObject* object, Value& value) noexcept {
        if (object == Py_None) {
            value = Described<Class::constructor>::defaults;
            return true;
        }
        return AsInstance<Class>::try_fast(object, value);
    }
    [[gnu::always_inline]] static Result<Value> convert(PyObject* object) {
        return AsInstance<Class>::convert(object);
    }
};

template <class Class>
struct DefaultOf<AsOptionalInstance<Class>> {
    static constexpr typename Class::Record parse(std::string_view text) {
        if (text != "None") throw "an optional instance defaults to None";
        return Described<Class::constructor>::defaults;
    }
};

}  // namespace tervalin
