#include "python/motor_state.hpp"

#include "binding/class_builder.hpp"
#include "binding/class_stub.hpp"
#include "python/representation.hpp"

namespace tervalin {

Ref MotorStateClass::text(const MotorStateRecord& state) {
    return fields_text<CallHead<name>, attributes, NumberForms{.floats = FloatForm::four_decimal}>(state);
}

template Result<PyTypeObject*> ClassFrame<MotorStateClass>::get_or_create();

namespace {
const stub::Registration registration{class_stub_entry<MotorStateClass>(stub::Position::motor_state)};
}  // namespace

}  // namespace tervalin
