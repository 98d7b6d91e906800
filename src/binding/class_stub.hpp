// The type-stub records of a class or function, derived from the same
// description as the runtime tables.
#pragma once

#include "binding/class_builder.hpp"
#include "binding/description.hpp"
#include "binding/static_text.hpp"
#include "binding/type_description.hpp"

#include <array>
#include <optional>
#include <tuple>
#include <type_traits>

namespace tervalin {

// The stub type of a converter's parameter.
template <class Converter>
struct StubTypeOf;
template <>
struct StubTypeOf<AsF32> {
    static constexpr stub::Type type = stub::float_type;
};
template <>
struct StubTypeOf<AsU16> {
    static constexpr stub::Type type = stub::int_type;
};
template <>
struct StubTypeOf<AsU64> {
    static constexpr stub::Type type = stub::int_type;
};
template <class Class>
struct StubTypeOf<AsInstance<Class>> {
    static constexpr stub::Type type = stub::class_type(Class::name);
};
template <class Class>
struct StubTypeOf<AsOptionalInstance<Class>> {
    struct Text {
        static constexpr std::string text() { return concat({"typing.Optional[", Class::name, "]"}); }
    };
    static constexpr stub::Type type{static_text<Text>(), stub::own_and_typing};
};

// The stub type of an attribute's value.
template <class Value>
constexpr stub::Type value_stub_type() {
    if constexpr (std::is_floating_point_v<Value>) return stub::float_type;
    else return stub::int_type;
}

template <const auto& C>
inline constexpr auto stub_parameters = std::apply(
    [](const auto&... field) {
        return std::array<stub::Parameter, sizeof...(field)>{
            stub::Parameter{field.name, StubTypeOf<typename std::remove_cvref_t<decltype(field)>::converter>::type,
                            field.has_default()}...};
    },
    C.params);

template <class Class>
inline constexpr auto stub_properties = std::apply(
    [](const auto&... field) {
        return std::array<stub::Property, sizeof...(field)>{stub::Property{
            field.name,
            value_stub_type<std::remove_cvref_t<decltype(std::declval<typename Class::Record>().*field.store)>>()}...};
    },
    Class::attributes);

template <class Class>
constexpr auto class_stub_methods() {
    constexpr stub::Method repr{"__repr__", {}, stub::str_type, "", false};
    constexpr stub::Type own = stub::class_type(Class::name);
    if constexpr (HasPresets<Class>) {
        return [&]<std::size_t... Row>(std::index_sequence<Row...>) {
            return std::array<stub::Method, sizeof...(Row) + 1>{
                repr, stub::Method{Class::presets[Row].name, {}, own, "", true}...};
        }(std::make_index_sequence<Class::presets.size()>{});
    } else if constexpr (HasStatics<Class>) {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return std::array<stub::Method, sizeof...(I) + 1>{
                repr, stub::Method{StaticAt<Class, I>::call.name, stub_parameters<StaticAt<Class, I>::call>, own,
                                   StaticAt<Class, I>::call.doc, true}...};
        }(std::make_index_sequence<static_count<Class>>{});
    } else {
        return std::array<stub::Method, 1>{repr};
    }
}

template <class Class>
inline constexpr auto stub_methods = class_stub_methods<Class>();

template <class Class>
inline constexpr stub::ClassRecord stub_class_record{Class::name, module_name, stub_properties<Class>};

template <class Class>
constexpr std::optional<stub::Constructor> stub_constructor() {
    if constexpr (HasConstructor<Class>) return stub::Constructor{stub_parameters<Class::constructor>};
    else return std::nullopt;
}

template <class Class>
inline constexpr stub::MethodsRecord stub_methods_record{stub_constructor<Class>(), stub_methods<Class>};

template <class Class>
[[nodiscard]] stub::Entry class_stub_entry(stub::Position position) {
    return {position, nullptr, &stub_class_record<Class>, &stub_methods_record<Class>};
}

template <const auto& C, class Returned>
inline constexpr stub::FunctionRecord stub_function_record{C.name, stub_parameters<C>, stub::class_type(Returned::name),
                                                           C.doc};

template <const auto& C, class Returned>
[[nodiscard]] stub::Entry function_stub_entry(stub::Position position) {
    return {position, nullptr, nullptr, nullptr, &stub_function_record<C, Returned>};
}

}  // namespace tervalin
