#include "python/motor_state.hpp"

#include "binding/class_builder.hpp"
#include "binding/class_stub.hpp"
#include "python/representation.hpp"

#include <tervalin/motor_state.hpp>

namespace tervalin {

Ref MotorStateClass::text(const MotorStateRecord& state) {
    return fields_text<CallHead<name>, attributes, NumberForms{.floats = FloatForm::four_decimal}>(state);
}

template Result<PyTypeObject*> ClassFrame<MotorStateClass>::get_or_create();

namespace {
const stub::Registration registration{class_stub_entry<MotorStateClass>(stub::Slot::motor_state)};
}  // namespace

PyObject* make_motor_state(const MotorStateFields& fields) noexcept {
    return call_boundary<PyObject*>(nullptr, [&]() -> Result<Ref> {
        Result<PyTypeObject*> type = MotorStateFrame::get_or_create();
        if (!type) return fail(std::move(type).error());
        return MotorStateFrame::allocate(*type, fields);
    });
}

}  // namespace tervalin
