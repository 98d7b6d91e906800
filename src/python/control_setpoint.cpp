#include "python/control_setpoint.hpp"

#include "binding/type_description.hpp"
#include "python/float_fields.hpp"
#include "python/float_text.hpp"

#include <array>

namespace tervalin {
namespace {

ControlSetpointRecord as_record(const MitSetpointRecord& v) { ControlSetpointRecord r{ControlMode::mit, {}}; r.mit = v; return r; }
ControlSetpointRecord as_record(const PosVelSetpoint& v) { ControlSetpointRecord r{ControlMode::pos_vel, {}}; r.pos_vel = v; return r; }
ControlSetpointRecord as_record(const VelSetpoint& v) { ControlSetpointRecord r{ControlMode::vel, {}}; r.vel = v; return r; }
ControlSetpointRecord as_record(const ForcePosSetpoint& v) { ControlSetpointRecord r{ControlMode::force_pos, {}}; r.force_pos = v; return r; }

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

// A static constructor: `Mode` binds and converts the arguments into one alternative.
template <const auto& Mode>
PyObject* static_constructor(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_boundary<PyObject*>(nullptr, [&]() -> Result<Ref> {
        Result<ControlSetpointRecord> setpoint = Mode(args, nargs, kwnames);
        if (!setpoint) return fail(std::move(setpoint).error());
        return ControlSetpointFrame::make(*setpoint);
    });
}

constexpr std::array<std::string_view, 1> mit_params{"setpoint"};
constexpr CallSignature mit_signature{"mit", "ControlSetpoint", mit_params, 1};

struct MitMode {
    [[nodiscard]] Result<ControlSetpointRecord> operator()(PyObject* const* args, Py_ssize_t nargs,
                                                           PyObject* kwnames) const {
        std::array<PyObject*, 1> slots{};
        if (auto bound = bind_fastcall(mit_signature, args, nargs, kwnames, slots); !bound)
            return fail(std::move(bound).error());
        // The values are copied: the new setpoint keeps no reference to the argument.
        Result<MitSetpointRecord> setpoint = extract_instance<MitSetpointClass>(slots[0]);
        if (!setpoint) return fail(wrap_argument_error(mit_params[0], std::move(setpoint).error()));
        return as_record(*setpoint);
    }
};

constexpr MitMode mit{};

// The float-only modes: all parameters are required, so no defaults apply.
template <class Alternative, std::size_t N>
struct FloatMode {
    CallSignature signature;
    std::array<float Alternative::*, N> members;

    [[nodiscard]] Result<ControlSetpointRecord> operator()(PyObject* const* args, Py_ssize_t nargs,
                                                           PyObject* kwnames) const {
        const FloatFields<Alternative, N> fields{signature, members, {}};
        Result<Alternative> values = fields.from_fastcall(args, nargs, kwnames);
        if (!values) return fail(std::move(values).error());
        return as_record(*values);
    }
};

constexpr std::array<std::string_view, 2> pos_vel_params{"position", "velocity"};
constexpr FloatMode<PosVelSetpoint, 2> pos_vel{
    {"pos_vel", "ControlSetpoint", pos_vel_params, 2},
    {&PosVelSetpoint::position, &PosVelSetpoint::velocity}};

constexpr std::array<std::string_view, 1> vel_params{"velocity"};
constexpr FloatMode<VelSetpoint, 1> vel{{"vel", "ControlSetpoint", vel_params, 1}, {&VelSetpoint::velocity}};

constexpr std::array<std::string_view, 3> force_pos_params{"position", "velocity_limit", "torque_ratio"};
constexpr FloatMode<ForcePosSetpoint, 3> force_pos{
    {"force_pos", "ControlSetpoint", force_pos_params, 3},
    {&ForcePosSetpoint::position, &ForcePosSetpoint::velocity_limit, &ForcePosSetpoint::torque_ratio}};

PyCFunction as_method(FastCall function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int static_fastcall = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef methods[] = {
    {"mit", as_method(&static_constructor<mit>), static_fastcall,
     "mit(setpoint)\n--\n\nMIT impedance setpoint (control mode 1)."},
    {"pos_vel", as_method(&static_constructor<pos_vel>), static_fastcall,
     "pos_vel(position, velocity)\n--\n\nPOS_VEL setpoint (control mode 2)."},
    {"vel", as_method(&static_constructor<vel>), static_fastcall,
     "vel(velocity)\n--\n\nVEL setpoint (control mode 3)."},
    {"force_pos", as_method(&static_constructor<force_pos>), static_fastcall,
     "force_pos(position, velocity_limit, torque_ratio)\n--\n\nFORCE_POS setpoint (control mode 4)."},
    {nullptr, nullptr, 0, nullptr},
};

struct Texts {
    Ref operator()(const MitSetpointRecord& s) const {
        return shortest_text<5>("ControlSetpoint.mit(", {"q=", ", dq=", ", kp=", ", kd=", ", tau="},
                                {s.q, s.dq, s.kp, s.kd, s.tau});
    }
    Ref operator()(const PosVelSetpoint& s) const {
        return shortest_text<2>("ControlSetpoint.pos_vel(", {"position=", ", velocity="},
                                {s.position, s.velocity});
    }
    Ref operator()(const VelSetpoint& s) const {
        return shortest_text<1>("ControlSetpoint.vel(", {""}, {s.velocity});
    }
    Ref operator()(const ForcePosSetpoint& s) const {
        return shortest_text<3>("ControlSetpoint.force_pos(",
                                {"position=", ", velocity_limit=", ", torque_ratio="},
                                {s.position, s.velocity_limit, s.torque_ratio});
    }
};

PyObject* represent(PyObject* self) noexcept {
    return call_boundary<PyObject*>(nullptr, [self] {
        return ControlSetpointFrame::read(self, [](const ControlSetpointRecord& setpoint) {
            switch (setpoint.mode) {
                case ControlMode::mit: return Texts{}(setpoint.mit);
                case ControlMode::pos_vel: return Texts{}(setpoint.pos_vel);
                case ControlMode::vel: return Texts{}(setpoint.vel);
                case ControlMode::force_pos: break;
            }
            return Texts{}(setpoint.force_pos);
        });
    });
}

Result<PyObject*> read_mode(PyObject* self) {
    return ControlSetpointFrame::read(self, [](const ControlSetpointRecord& setpoint) {
        return to_python(control_mode(setpoint));
    });
}

PyGetSetDef getters[] = {
    getter<&read_mode>("mode", "Numeric control mode (matches the value written to register 10)."),
    {},
};

// Type description.

constexpr std::array<stub::Property, 1> stub_properties{{{"mode", stub::int_type}}};
constexpr std::array<stub::Parameter, 1> stub_mit_params{{{mit_params[0], stub::class_type("MitSetpoint")}}};
constexpr std::array<stub::Parameter, 2> stub_pos_vel_params{{
    {pos_vel_params[0], stub::float_type}, {pos_vel_params[1], stub::float_type}}};
constexpr std::array<stub::Parameter, 1> stub_vel_params{{{vel_params[0], stub::float_type}}};
constexpr std::array<stub::Parameter, 3> stub_force_pos_params{{
    {force_pos_params[0], stub::float_type}, {force_pos_params[1], stub::float_type},
    {force_pos_params[2], stub::float_type}}};
constexpr stub::Type setpoint_type = stub::class_type("ControlSetpoint");
constexpr std::array<stub::Method, 5> stub_methods{{
    {"__repr__", {}, stub::str_type, "", false},
    {"mit", stub_mit_params, setpoint_type, "MIT impedance setpoint (control mode 1).", true},
    {"pos_vel", stub_pos_vel_params, setpoint_type, "POS_VEL setpoint (control mode 2).", true},
    {"vel", stub_vel_params, setpoint_type, "VEL setpoint (control mode 3).", true},
    {"force_pos", stub_force_pos_params, setpoint_type, "FORCE_POS setpoint (control mode 4).", true},
}};

constexpr stub::ClassRecord stub_class{"ControlSetpoint", "tervalin", "", stub_properties};
constexpr stub::MethodsRecord stub_members{"ControlSetpoint", std::nullopt, stub_methods};
const stub::Registration stub_registration{
    {stub::Slot::control_setpoint, nullptr, &stub_class, &stub_members}};

}  // namespace

const ClassDescription ControlSetpointClass::description{
    .name = "ControlSetpoint",
    .qualified_name = "tervalin.ControlSetpoint",
    .doc = nullptr,
    .constructor = nullptr,
    .repr = represent,
    .methods = methods,
    .getters = getters,
    .basic_size = sizeof(ControlSetpointFrame::Object),
};

}  // namespace tervalin
