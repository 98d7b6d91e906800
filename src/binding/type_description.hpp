// The typed description of the module's Python interface, from which its type
// stub is written. Constant records, registered when the library is loaded;
// nothing reads them at run time.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace tervalin::stub {

// A type as written in Python, with the modules that text needs imported.
struct Type {
    std::string_view text;
    std::span<const std::string_view> modules;
};

inline constexpr std::array<std::string_view, 0> builtin_modules{};
inline constexpr std::array<std::string_view, 1> own_module{"tervalin"};
inline constexpr std::array<std::string_view, 2> own_and_typing{"tervalin", "typing"};

inline constexpr Type int_type{"int", builtin_modules};
inline constexpr Type float_type{"float", builtin_modules};
inline constexpr Type str_type{"str", builtin_modules};

// A class of this module, written as its bare name.
[[nodiscard]] constexpr Type class_type(std::string_view name) { return {name, own_module}; }

struct Property {
    std::string_view name;
    Type type;
};

// A parameter with a default is written "name: type = ...".
struct Parameter {
    std::string_view name;
    Type type;
    bool has_default = false;
};

struct Method {
    std::string_view name;
    std::span<const Parameter> params;
    Type returns;
    std::string_view doc;
    bool is_static;
};

struct Constructor {
    std::span<const Parameter> params;
};

struct ClassRecord {
    std::string_view name;
    std::string_view module;
    std::span<const Property> properties;
};

// The methods of the class record in the same entry.
struct MethodsRecord {
    std::optional<Constructor> constructor;
    std::span<const Method> methods;
};

struct FunctionRecord {
    std::string_view name;
    std::span<const Parameter> params;
    Type returns;
    std::string_view doc;
};

struct AttributeRecord {
    std::string_view name;
    Type type;
};

// Position in the module, which is also the stub's order: the version
// attribute, the five classes, then the function.
enum class Position { version, mit_limits, mit_setpoint, control_setpoint, motor_state, damiao, mit_setpoint_function };

struct Entry {
    Position position;
    const AttributeRecord* attribute = nullptr;
    const ClassRecord* class_record = nullptr;
    const MethodsRecord* methods = nullptr;
    const FunctionRecord* function = nullptr;
};

// Registers one entry; used by the static Registration objects below.
void add(const Entry& entry);

// Every registered entry, in module order.
[[nodiscard]] std::vector<Entry> entries();

struct Registration {
    explicit Registration(const Entry& entry) { add(entry); }
};

}  // namespace tervalin::stub
