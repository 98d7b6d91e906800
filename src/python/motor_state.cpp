#include "python/motor_state.hpp"

#include "binding/type_description.hpp"
#include "repr/text_buffer.hpp"

namespace tervalin {
namespace {

PyObject* represent(PyObject* self) noexcept {
    return call_boundary<PyObject*>(nullptr, [self] {
        return MotorStateFrame::read(self, [](const MotorStateRecord& s) {
            using namespace repr;
            TextBuffer<text_capacity({"MotorState(motor_id=", ", error=", ", position=", ", velocity=",
                                      ", torque=", ", t_mos=", ", t_rotor=", ")"},
                                     {decimal_max_chars, decimal_max_chars, four_decimal_max_chars,
                                      four_decimal_max_chars, four_decimal_max_chars, decimal_max_chars,
                                      decimal_max_chars})>
                text;
            text.append("MotorState(motor_id=").decimal(s.motor_id);
            text.append(", error=").decimal(s.error);
            text.append(", position=").four_decimal(s.position);
            text.append(", velocity=").four_decimal(s.velocity);
            text.append(", torque=").four_decimal(s.torque);
            text.append(", t_mos=").decimal(s.t_mos);
            text.append(", t_rotor=").decimal(s.t_rotor).append(")");
            return Ref::steal(to_python_text(text.view()));
        });
    });
}

PyGetSetDef getters[] = {
    field_getter<MotorStateClass, &MotorStateRecord::motor_id>("motor_id"),
    field_getter<MotorStateClass, &MotorStateRecord::error>("error"),
    field_getter<MotorStateClass, &MotorStateRecord::position>("position"),
    field_getter<MotorStateClass, &MotorStateRecord::velocity>("velocity"),
    field_getter<MotorStateClass, &MotorStateRecord::torque>("torque"),
    field_getter<MotorStateClass, &MotorStateRecord::t_mos>("t_mos"),
    field_getter<MotorStateClass, &MotorStateRecord::t_rotor>("t_rotor"),
    {},
};

// Type description.

constexpr std::array<stub::Property, 7> stub_properties{{
    {"motor_id", stub::int_type}, {"error", stub::int_type}, {"position", stub::float_type},
    {"velocity", stub::float_type}, {"torque", stub::float_type}, {"t_mos", stub::int_type},
    {"t_rotor", stub::int_type},
}};
constexpr std::array<stub::Method, 1> stub_methods{{{"__repr__", {}, stub::str_type, "", false}}};

constexpr stub::ClassRecord stub_class{"MotorState", "tervalin", "", stub_properties};
constexpr stub::MethodsRecord stub_members{"MotorState", std::nullopt, stub_methods};
const stub::Registration stub_registration{{stub::Slot::motor_state, nullptr, &stub_class, &stub_members}};

}  // namespace

const ClassDescription MotorStateClass::description{
    .name = "MotorState",
    .qualified_name = "tervalin.MotorState",
    .doc = nullptr,
    .constructor = nullptr,
    .repr = represent,
    .methods = nullptr,
    .getters = getters,
    .basic_size = sizeof(MotorStateFrame::Object),
};

}  // namespace tervalin
