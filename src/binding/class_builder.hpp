// Everything CPython is given for one class, derived from the class's
// description: the functions it calls (constructor, vector call, getters,
// __repr__, static methods), the method and getter tables, the documentation
// text and the class object itself.
//
// A class description `Class` provides:
//   Record, name                       the value record and the class name;
//   attributes                         a tuple of Field, the read-only getters in order;
//   Ref text(const Record&)            the representation text (null with the error pending);
// and optionally:
//   constructor                        a Callable filling Record (tp_new and tp_vectorcall);
//   presets                            an array of {name, record}: no-argument static methods;
//   statics                            a tuple type of Static: static methods with parameters.
#pragma once

#include "binding/args.hpp"
#include "binding/boundary.hpp"
#include "binding/class_frame.hpp"
#include "binding/description.hpp"
#include "binding/static_text.hpp"

#include <Python.h>

#include <array>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <utility>

namespace tervalin {

inline constexpr std::string_view module_name = "tervalin";

// A no-argument static method returning a fixed record.
template <class Record>
struct Preset {
    std::string_view name;
    Record record;
};

// A static method with parameters: its callable, and the class record made
// from what the callable's parameters filled. A class lists them as a type,
// `using statics = std::tuple<Static<...>, ...>`.
template <const auto& Call, auto Make>
struct Static {
    static constexpr const auto& call = Call;
    static constexpr auto make = Make;
};

template <class Class>
concept HasConstructor = requires { Class::constructor; };
template <class Class>
concept HasPresets = requires { Class::presets; };
template <class Class>
concept HasStatics = requires { typename Class::statics; };

template <class Class, std::size_t I>
using StaticAt = std::tuple_element_t<I, typename Class::statics>;
template <class Class>
inline constexpr std::size_t static_count = std::tuple_size_v<typename Class::statics>;

// Shared slot functions and the one place that calls PyType_FromSpec.
void dealloc_instance(PyObject* self);
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);
// The type's call through CPython's generic path (tp_new, then tp_init).
[[gnu::cold]] PyObject* call_generic(PyObject* type, PyObject* const* args, std::size_t nargsf,
                                     PyObject* kwnames);
struct TypeParts {
    const char* qualified_name;
    const char* doc;  // nullptr: no documentation slot
    newfunc constructor;  // nullptr: calling the class is a TypeError
    reprfunc repr;
    PyMethodDef* methods;  // nullptr: no static methods
    PyGetSetDef* getters;
    int basic_size;
};
[[nodiscard]] Result<PyTypeObject*> build_type(const TypeParts& parts);
// Makes `call` the vector call of the function object CPython made from the
// static method `row` of `type`'s method table.
[[nodiscard]] Result<void> direct_static_call(PyTypeObject* type, const PyMethodDef& row, vectorcallfunc call);

// A new Python object for an attribute value, or null with CPython's
// exception pending; the getter takes it over at once.
[[nodiscard]] inline PyObject* attribute_object(float value) noexcept { return PyFloat_FromDouble(value); }
template <class Integer>
    requires std::is_integral_v<Integer> || std::is_enum_v<Integer>
[[nodiscard]] PyObject* attribute_object(Integer value) noexcept {
    return PyLong_FromLong(static_cast<long>(value));
}

// A failure result built out of line, so that the getters' success paths
// keep their registers.
[[gnu::cold, gnu::noinline]] Result<Ref> mismatch_result(PyObject* object, std::string_view target);

// An entry whose conversions may run Python code is made of two stages.
// The fast stage, before any call boundary, binds the arguments with the
// fast binders and converts each by its fast path: it runs no Python code
// and cannot fail, and when every argument takes it, the entry makes its
// result in a call boundary. Otherwise the entry returns what its full
// stage makes of the call, a cold function of its own:
//
//     if (Record record; fast_vector_record<C>(args, nargs, kwnames, record)) [[likely]]
//         return call_boundary<PyObject*>(...);
//     return ..._full(arguments);
//
// Nothing of the fast stage outlives that if statement, and the last call
// is reached without passing a call boundary, so GCC makes it a jump (it
// does not where an exception handler that ends normally, as a boundary's
// does, lies on the way) and the entry's frame is gone: of each level of a
// cycle through the module (a __float__ that calls the class again), only
// the full stage's frame stays on the stack while Python code runs; the
// cycle tests hold the levels to the interpreter's limit. The full stage
// binds again in its call boundary, reporting what the fast binders
// declined, and converts every argument as one counted level of C
// recursion (a vector call whose positional arguments alone cannot be
// bound is reported before counting).

// Fills `record` from `bound` when every argument takes its fast path.
template <const auto& C, class Bound>
[[gnu::always_inline]] inline bool fill_fast(const Bound& bound, typename Described<C>::Record& record) {
    using D = Described<C>;
    // A record that one required parameter fills whole starts unwritten: it
    // is read only once its fast path has written it.
    if constexpr (!D::fills_whole_record) record = D::defaults;
    if constexpr (std::is_same_v<Bound, FilledArgs> && D::size > 1) {
        // With keywords most fields usually keep their default: the record
        // stays in memory as one copy of the defaults, rather than as one
        // value per field chosen by a branch.
        asm("" : "+m"(record));
    }
    if (!D::convert_fast(bound, record)) [[unlikely]]
        return false;
    // The record is copied into the new instance after calls to the
    // allocator: a record larger than a register, kept in memory as one
    // block, is copied as one instead of being kept and reassembled field
    // by field.
    if constexpr (sizeof(record) > sizeof(std::uint64_t)) asm("" : "+m"(record));
    return true;
}

// The fast stage of a vector call to `C`, and of a call with an argument
// tuple and keyword dict.
template <const auto& C>
[[gnu::always_inline]] inline bool fast_vector_record(PyObject* const* args, std::size_t nargs, PyObject* kwnames,
                                                      typename Described<C>::Record& record) {
    using D = Described<C>;
    return bind_vector_fast<D::signature, D::size>(
        args, nargs, kwnames, [&](const auto& bound) __attribute__((always_inline)) { return fill_fast<C>(bound, record); });
}
template <const auto& C>
[[gnu::always_inline]] inline bool fast_tuple_record(PyObject* args, PyObject* kwargs,
                                                     typename Described<C>::Record& record) {
    using D = Described<C>;
    return bind_tuple_dict_fast<D::signature, D::size>(
        args, kwargs, [&](const auto& bound) __attribute__((always_inline)) { return fill_fast<C>(bound, record); });
}

// The full stages of the same calls: `finish` applied to the record.
template <class Call>
[[gnu::always_inline]] inline PyObject* full_stage(Call&& call) {
    return call_boundary<PyObject*>(nullptr, [&]() __attribute__((always_inline)) -> Result<Ref> {
        return counted_call(call);
    });
}
// A vector call whose positional arguments alone cannot be bound (too many,
// or too few with no keywords), reported without a counted level: binding
// runs no Python code.
template <const auto& C>
[[gnu::cold, gnu::noinline]] PyObject* positional_error(std::size_t given) {
    using D = Described<C>;
    return call_boundary<PyObject*>(nullptr, [given]() -> Result<Ref> {
        if (given > D::size) return detail::too_many_result<Result<Ref>>(&D::signature, given);
        return detail::missing_result<Result<Ref>>(&D::signature, given, nullptr, 0);
    });
}

template <const auto& C, class Finish>
[[gnu::always_inline]] inline PyObject* full_vector_call(PyObject* const* args, std::size_t nargs, PyObject* kwnames,
                                                         Finish&& finish) {
    using D = Described<C>;
    const std::size_t given = args == nullptr ? 0 : nargs;
    if (given > D::size || (kwnames == nullptr && given < D::required)) [[unlikely]]
        return positional_error<C>(given);
    return full_stage([&]() __attribute__((always_inline)) -> Result<Ref> {
        return bind_vector<D::signature, D::size>(args, nargs, kwnames,
                                                  [&](const auto& bound) __attribute__((always_inline)) {
                                                      return D::convert_all(bound, finish);
                                                  });
    });
}
template <const auto& C, class Finish>
[[gnu::always_inline]] inline PyObject* full_tuple_call(PyObject* args, PyObject* kwargs, Finish&& finish) {
    using D = Described<C>;
    return full_stage([&]() __attribute__((always_inline)) -> Result<Ref> {
        return bind_tuple_dict<D::signature, D::size>(args, kwargs,
                                                      [&](const auto& bound) __attribute__((always_inline)) {
                                                          return D::convert_all(bound, finish);
                                                      });
    });
}

template <class Class>
struct ClassBuilder {
    using Frame = ClassFrame<Class>;
    using Record = typename Class::Record;

    // Constructor: tp_new, for MitLimits.__new__(MitLimits, ...) and for the
    // generic call path.
    static PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        if (Record record; fast_tuple_record<Class::constructor>(args, kwargs, record)) [[likely]]
            return call_boundary<PyObject*>(
                nullptr, [&]() __attribute__((always_inline)) { return Frame::allocate(type, record); });
        return construct_full(type, args, kwargs);
    }

    // Constructor: tp_vectorcall, binding straight from the argument vector.
    static PyObject* construct_vector(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                                      PyObject* kwnames) {
        auto* type = reinterpret_cast<PyTypeObject*>(callable);
        // The class is mutable: once Python code assigns __new__ or __init__
        // on it, calls take the generic path, which runs them. The fast stage
        // runs no Python code, so the full stage finds the class unchanged.
        if (type->tp_new != &construct || type->tp_init != PyBaseObject_Type.tp_init) [[unlikely]]
            return call_generic(callable, args, nargsf, kwnames);
        const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
        if (Record record; fast_vector_record<Class::constructor>(args, nargs, kwnames, record)) [[likely]]
            return call_boundary<PyObject*>(
                nullptr, [&]() __attribute__((always_inline)) { return Frame::allocate(type, record); });
        return construct_vector_full(type, args, nargs, kwnames);
    }

    template <std::size_t Row>
    static PyObject* preset(PyObject*, PyObject*) {
        return call_boundary<PyObject*>(nullptr, []() __attribute__((always_inline)) -> Result<Ref> {
            return Frame::make_in_method(Class::presets[Row].record);
        });
    }

    template <std::size_t I>
    [[gnu::always_inline]] static PyObject* static_body(PyObject* const* args, std::size_t nargs,
                                                        PyObject* kwnames) {
        using Method = StaticAt<Class, I>;
        using Values = typename Described<Method::call>::Record;
        if (Values values; fast_vector_record<Method::call>(args, nargs, kwnames, values)) [[likely]]
            return call_boundary<PyObject*>(nullptr, [&]() __attribute__((always_inline)) -> Result<Ref> {
                return Frame::make_in_method([&] { return Method::make(values); });
            });
        return static_full<I>(args, nargs, kwnames);
    }

    // A static method as the method table gives it to CPython (fast call).
    template <std::size_t I>
    static PyObject* static_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return static_body<I>(args, static_cast<std::size_t>(nargs), kwnames);
    }

    // The same static method as its function object's vector call
    // (direct_static_call).
    template <std::size_t I>
    static PyObject* static_vector(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
        return static_body<I>(args, static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)), kwnames);
    }

    // The full stages of the entries above.
    [[gnu::cold, gnu::noinline]] static PyObject* construct_full(PyTypeObject* type, PyObject* args,
                                                                 PyObject* kwargs) {
        return full_tuple_call<Class::constructor>(
            args, kwargs, [type](const Record& record) { return Frame::allocate(type, record); });
    }
    [[gnu::cold, gnu::noinline]] static PyObject* construct_vector_full(PyTypeObject* type, PyObject* const* args,
                                                                        std::size_t nargs, PyObject* kwnames) {
        return full_vector_call<Class::constructor>(
            args, nargs, kwnames, [type](const Record& record) { return Frame::allocate(type, record); });
    }
    template <std::size_t I>
    [[gnu::cold, gnu::noinline]] static PyObject* static_full(PyObject* const* args, std::size_t nargs,
                                                              PyObject* kwnames) {
        using Method = StaticAt<Class, I>;
        return full_vector_call<Method::call>(args, nargs, kwnames, [](const auto& values) -> Result<Ref> {
            return Frame::make_in_method([&] { return Method::make(values); });
        });
    }

    template <std::size_t I>
    static PyObject* get_attribute(PyObject* self, void*) {
        constexpr auto store = std::tuple_element_t<I, std::remove_cvref_t<decltype(Class::attributes)>>::store;
        return call_boundary<PyObject*>(nullptr, [self]() __attribute__((always_inline)) -> Result<Ref> {
            if (!Frame::is_instance(self)) [[unlikely]]
                return mismatch_result(self, Class::name);
            // The borrow covers the read of the field; the copy read is then
            // converted.
            const auto field = SharedBorrow<Record>(self).value().*store;
            // Only a lack of memory makes the float or int fail: a fault.
            return Ref::steal(checked(attribute_object(field)));
        });
    }

    static PyObject* represent(PyObject* self) {
        return call_boundary<PyObject*>(nullptr, [self]() __attribute__((always_inline)) -> Result<Ref> {
            Result<Ref> text = Frame::read(self, [](const Record& record) { return Class::text(record); });
            // Only a lack of memory makes the str fail: a fault.
            if (text && !*text) [[unlikely]]
                api_failure();
            return text;
        });
    }

    // Tables and texts.

    // PyMethodDef holds every calling convention under one function type.
    static PyCFunction fastcall(PyCFunctionFastWithKeywords function) {
        return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
    }

    struct QualifiedName {
        static constexpr std::string text() { return concat({module_name, ".", Class::name}); }
    };

    template <std::size_t I>
    struct AttributeName {
        static constexpr std::string text() { return std::string(std::get<I>(Class::attributes).name); }
    };
    template <std::size_t I>
    struct AttributeDoc {
        static constexpr std::string text() { return std::string(std::get<I>(Class::attributes).doc); }
    };

    static constexpr std::size_t attribute_count = std::tuple_size_v<std::remove_cvref_t<decltype(Class::attributes)>>;

    template <std::size_t... I>
    static constexpr std::array<PyGetSetDef, sizeof...(I) + 1> getter_table(std::index_sequence<I...>) {
        return {{{static_c_str<AttributeName<I>>(), &get_attribute<I>, nullptr, static_c_str<AttributeDoc<I>>(),
                  nullptr}...,
                 {}}};
    }
    // Handed to CPython, which keeps pointers into them for the life of the class.
    static inline constinit auto getters = getter_table(std::make_index_sequence<attribute_count>{});

    template <std::size_t Row>
    struct PresetName {
        static constexpr std::string text() { return std::string(Class::presets[Row].name); }
    };
    template <std::size_t Row>
    struct PresetDoc {
        static constexpr std::string text() { return concat({Class::presets[Row].name, "()\n--\n\n"}); }
    };

    static auto method_table() {
        if constexpr (HasPresets<Class>) {
            return [&]<std::size_t... Row>(std::index_sequence<Row...>) {
                return std::array<PyMethodDef, sizeof...(Row) + 1>{
                    {{static_c_str<PresetName<Row>>(), &preset<Row>, METH_NOARGS | METH_STATIC,
                      static_c_str<PresetDoc<Row>>()}...,
                     {}}};
            }(std::make_index_sequence<Class::presets.size()>{});
        } else if constexpr (HasStatics<Class>) {
            return [&]<std::size_t... I>(std::index_sequence<I...>) {
                return std::array<PyMethodDef, sizeof...(I) + 1>{
                    {{static_c_str<typename Described<StaticAt<Class, I>::call>::Name>(), fastcall(&static_method<I>),
                      METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
                      static_c_str<typename Described<StaticAt<Class, I>::call>::Doc>()}...,
                     {}}};
            }(std::make_index_sequence<static_count<Class>>{});
        } else {
            return std::array<PyMethodDef, 1>{};
        }
    }
    // Filled when the library is loaded (a function cast is no constant expression).
    static inline auto methods = method_table();


    static void intern_names() noexcept {
        if constexpr (HasConstructor<Class>) intern_parameter_names(Described<Class::constructor>::signature);
        if constexpr (HasStatics<Class>)
            [&]<std::size_t... I>(std::index_sequence<I...>) {
                (intern_parameter_names(Described<StaticAt<Class, I>::call>::signature), ...);
            }(std::make_index_sequence<static_count<Class>>{});
    }

    static Result<PyTypeObject*> build() {
        TypeParts parts{
            .qualified_name = static_c_str<QualifiedName>(),
            .doc = nullptr,
            .constructor = nullptr,
            .repr = &represent,
            .methods = HasPresets<Class> || HasStatics<Class> ? methods.data() : nullptr,
            .getters = getters.data(),
            .basic_size = static_cast<int>(sizeof(typename Frame::Object)),
        };
        if constexpr (HasConstructor<Class>) {
            parts.doc = static_c_str<typename Described<Class::constructor>::Doc>();
            parts.constructor = &construct;
        }
        Result<PyTypeObject*> built = build_type(parts);
        if (!built) return built;
        PyTypeObject* type = *built;
        Ref owned = Ref::steal(reinterpret_cast<PyObject*>(type));  // until the class is complete
        if constexpr (HasConstructor<Class>) type->tp_vectorcall = &construct_vector;
        if constexpr (HasStatics<Class>) {
            Result<void> direct = [&]<std::size_t... I>(std::index_sequence<I...>) {
                Result<void> done;
                ((done = direct_static_call(type, methods[I], &static_vector<I>)) && ...);
                return done;
            }(std::make_index_sequence<static_count<Class>>{});
            if (!direct) return fail(std::move(direct).error());
        }
        intern_names();
        return reinterpret_cast<PyTypeObject*>(owned.release());
    }
};

template <class Class>
Result<PyTypeObject*> ClassFrame<Class>::get_or_create() {
    if (cell_ != nullptr) return cell_;
    Result<PyTypeObject*> built = ClassBuilder<Class>::build();
    if (!built) return fail(class_init_error(Class::name, std::move(built).error()));
    // Building may run Python code; another request may have filled the cell meanwhile.
    if (cell_ != nullptr) {
        Ref discarded = Ref::steal(reinterpret_cast<PyObject*>(*built));
        return cell_;
    }
    cell_ = *built;
    return cell_;
}

}  // namespace tervalin
