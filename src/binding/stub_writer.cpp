#include "binding/stub_writer.hpp"

#include <set>

namespace tervalin::stub {
namespace {

std::string parameter_list(std::string_view first, std::span<const Parameter> params) {
    std::string text(first);
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (!text.empty()) text += ", ";
        text += params[i].name;
        text += ": ";
        text += params[i].type.text;
        if (params[i].has_default) text += " = ...";
    }
    return text;
}

void write_def(std::string& out, std::string_view indent, std::string_view name, const std::string& params,
               const Type& returns, std::string_view doc) {
    out += indent;
    out += "def ";
    out += name;
    out += "(" + params + ") -> ";
    out += returns.text;
    if (doc.empty()) {
        out += ": ...\n";
        return;
    }
    out += ":\n";
    out += indent;
    out += "    \"\"\"";
    out += doc;
    out += "\"\"\"\n";
}

// Calling a class that has no constructor raises TypeError. Its stub declares
// a __new__ that no call can satisfy (a required positional parameter of type
// Never), so type checkers reject the call rather than accept code that always
// fails, while the class still has no constructor a caller could use.
void write_uncallable_new(std::string& out, std::string_view class_name) {
    out += "    def __new__(cls, no_constructor: typing.Never, /) -> ";
    out += class_name;
    out += ":\n        \"\"\"No constructor: calling the class raises TypeError.\"\"\"\n";
}

void write_class(std::string& out, const ClassRecord& record, const MethodsRecord* methods) {
    // No class of the module can be subclassed (its type has no base-type flag).
    out += "@typing.final\n";
    out += "class ";
    out += record.name;
    out += ":\n";
    const std::size_t body = out.size();
    if (methods != nullptr && methods->constructor) {
        const Constructor& constructor = *methods->constructor;
        write_def(out, "    ", "__new__", parameter_list("cls", constructor.params), class_type(record.name), "");
    } else {
        write_uncallable_new(out, record.name);
    }
    for (const Property& property : record.properties) {
        out += "    @property\n";
        write_def(out, "    ", property.name, "self", property.type, "");
    }
    if (methods != nullptr) {
        for (const Method& method : methods->methods) {
            if (method.is_static) out += "    @staticmethod\n";
            write_def(out, "    ", method.name, parameter_list(method.is_static ? "" : "self", method.params),
                      method.returns, method.doc);
        }
    }
    if (out.size() == body) out += "    ...\n";
}

// Types that name the module's own classes (the module of its class
// records) need no import.
std::set<std::string_view> imports_of(const std::vector<Entry>& entries) {
    std::string_view own;
    for (const Entry& entry : entries)
        if (entry.class_record != nullptr) own = entry.class_record->module;
    std::set<std::string_view> modules;
    auto collect = [&](const Type& type) {
        for (std::string_view module : type.modules)
            if (module != own) modules.insert(module);
    };
    for (const Entry& entry : entries)
        if (entry.class_record != nullptr) modules.insert("typing");  // for typing.final
    for (const Entry& entry : entries) {
        if (entry.attribute != nullptr) collect(entry.attribute->type);
        if (entry.class_record != nullptr)
            for (const Property& property : entry.class_record->properties) collect(property.type);
        if (entry.methods != nullptr) {
            if (entry.methods->constructor)
                for (const Parameter& parameter : entry.methods->constructor->params) collect(parameter.type);
            for (const Method& method : entry.methods->methods) {
                collect(method.returns);
                for (const Parameter& parameter : method.params) collect(parameter.type);
            }
        }
        if (entry.function != nullptr) {
            collect(entry.function->returns);
            for (const Parameter& parameter : entry.function->params) collect(parameter.type);
        }
    }
    return modules;
}

std::string_view name_of(const Entry& entry) {
    if (entry.attribute != nullptr) return entry.attribute->name;
    if (entry.class_record != nullptr) return entry.class_record->name;
    return entry.function->name;
}

}  // namespace

std::string write_stub(const std::vector<Entry>& entries) {
    std::string out =
        "# Type stub of the tervalin extension module, written by tervalin_stubgen from the\n"
        "# module's own type descriptions. Do not edit: regenerate it (see the README).\n";
    for (std::string_view module : imports_of(entries)) {
        out += "import ";
        out += module;
        out += "\n";
    }
    out += "\n__all__ = [\n";
    for (const Entry& entry : entries) {
        out += "    \"";
        out += name_of(entry);
        out += "\",\n";
    }
    out += "]\n";
    for (const Entry& entry : entries) {
        out += "\n";
        if (entry.attribute != nullptr) {
            out += entry.attribute->name;
            out += ": ";
            out += entry.attribute->type.text;
            out += "\n";
        } else if (entry.class_record != nullptr) {
            write_class(out, *entry.class_record, entry.methods);
        } else if (entry.function != nullptr) {
            const FunctionRecord& function = *entry.function;
            write_def(out, "", function.name, parameter_list("", function.params), function.returns, function.doc);
        }
    }
    return out;
}

}  // namespace tervalin::stub
