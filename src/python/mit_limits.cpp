#include "python/mit_limits.hpp"

#include "binding/class_builder.hpp"
#include "binding/class_stub.hpp"
#include "python/representation.hpp"

namespace tervalin {

constexpr std::array<Preset<MitLimitsRecord>, 15> MitLimitsClass::presets{{
    {"dm3507", {12.566F, 50, 500, 5, 5}},
    {"dm4310", {12.5F, 30, 500, 5, 10}},
    {"dm4310p", {12.5F, 50, 500, 5, 10}},
    {"dm4340", {12.5F, 10, 500, 5, 28}},
    {"dm4340p", {12.5F, 10, 500, 5, 28}},
    {"dm6006", {12.5F, 45, 500, 5, 20}},
    {"dm6248p", {12.566F, 20, 500, 5, 120}},
    {"dm8006", {12.5F, 45, 500, 5, 40}},
    {"dm8009", {12.5F, 45, 500, 5, 54}},
    {"dm10010", {12.5F, 20, 500, 5, 200}},
    {"dm10010l", {12.5F, 25, 500, 5, 200}},
    {"dmg6215", {12.5F, 45, 500, 5, 10}},
    {"dmh3510", {12.5F, 280, 500, 5, 1}},
    {"dmh6220", {12.5F, 45, 500, 5, 10}},
    {"dmjh11", {12.5F, 10, 500, 5, 12}},
}};

Ref MitLimitsClass::text(const MitLimitsRecord& limits) {
    return fields_text<CallHead<name>, attributes, NumberForms{}>(limits);
}

template Result<PyTypeObject*> ClassFrame<MitLimitsClass>::get_or_create();

namespace {
const stub::Registration registration{class_stub_entry<MitLimitsClass>(stub::Position::mit_limits)};
}  // namespace

}  // namespace tervalin
