// tervalin: the CAN frames of Damiao DM-series motors.
//
// Pure functions from values to frames and back: no I/O, no allocation, no
// Python, usable from C++17 on. Standard 11-bit identifiers and 8 data bytes.
//
// Every input has a defined result (non_finite_field tells a caller which
// setpoint fields a motor should never be sent):
// - Linear fields (MIT command, feedback) clamp the value into the range
//   first, so +inf encodes as the top code and -inf as 0. NaN encodes as 0.0
//   would: the code nearest to zero (zero torque, zero gain, the middle of a
//   symmetric range). A range that is not a finite interval with min < max
//   (NaN or infinite bound, min >= max) encodes every value as code 0.
// - Float fields (POS_VEL, VEL, FORCE_POS position) carry the single bit for
//   bit: NaN and infinities reach the motor as they are.
// - FORCE_POS velocity limit x 100 and torque ratio x 10000 are rounded to the
//   nearest integer (halves up) after clamping to 0..10000; NaN gives 0.
// - CAN ids are base + motor id without wrapping or masking; an id above
//   0x7FF (motor ids beyond the protocol's range) is not a standard id, which
//   `is_standard_id` tells the caller before anything is sent.
// - A feedback frame's motor id is the low nibble of byte 0 and its `error`
//   the status code, both exactly as received.
//
// The arithmetic is done in double precision and the result narrowed once,
// so encoding and decoding give the value of the protocol's formula for the
// single inputs, rounded once.
#pragma once

#include <tervalin/records.hpp>

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>

// Writing a single's bytes is constexpr where the compiler can bit-cast in
// constant expressions (GCC 11, Clang 9, MSVC 19.27 on), also in C++17.
#if defined(__has_builtin)
#if __has_builtin(__builtin_bit_cast)
#define TERVALIN_DM_HAS_BIT_CAST 1
#endif
#endif
#ifdef TERVALIN_DM_HAS_BIT_CAST
#define TERVALIN_BIT_CAST_CONSTEXPR constexpr
#else
#define TERVALIN_BIT_CAST_CONSTEXPR
#endif

namespace tervalin::dm {

using FrameData = std::array<std::uint8_t, 8>;

// One CAN frame: identifier and the 8 data bytes.
struct Frame {
    std::uint32_t id;
    FrameData data;
};

// Status codes, the high nibble of a feedback frame's byte 0.
namespace status {
inline constexpr std::uint8_t disabled = 0x0;
inline constexpr std::uint8_t enabled = 0x1;
inline constexpr std::uint8_t sensor_error = 0x5;
inline constexpr std::uint8_t parameter_error = 0x6;
inline constexpr std::uint8_t over_voltage = 0x8;
inline constexpr std::uint8_t under_voltage = 0x9;
inline constexpr std::uint8_t over_current = 0xA;
inline constexpr std::uint8_t mos_over_temperature = 0xB;
inline constexpr std::uint8_t rotor_over_temperature = 0xC;
inline constexpr std::uint8_t communication_lost = 0xD;
inline constexpr std::uint8_t overload = 0xE;
}  // namespace status

// Identifier bases added to the motor id.
inline constexpr std::uint32_t mit_base = 0x000;
inline constexpr std::uint32_t pos_vel_base = 0x100;
inline constexpr std::uint32_t vel_base = 0x200;
inline constexpr std::uint32_t force_pos_base = 0x300;
// The register requests (read, write, save) all go to this id.
inline constexpr std::uint32_t register_id = 0x7FF;
// The largest standard (11-bit) identifier, and so the largest motor or master id.
inline constexpr std::uint32_t max_standard_id = 0x7FF;
// The registers the codec itself writes: the control mode (1 MIT to 4
// FORCE_POS, ControlMode's numbers).
inline constexpr std::uint8_t control_mode_register = 10;
// The mask of the motor id a feedback frame carries in byte 0.
inline constexpr std::uint8_t feedback_motor_id_mask = 0xF;

// Field widths of the MIT command and the feedback frame.
inline constexpr unsigned position_bits = 16;
inline constexpr unsigned velocity_bits = 12;
inline constexpr unsigned gain_bits = 12;
inline constexpr unsigned torque_bits = 12;

// The largest value of FORCE_POS's two scaled fields.
inline constexpr std::uint16_t force_pos_scale_max = 10000;

[[nodiscard]] constexpr bool is_standard_id(std::uint32_t id) noexcept { return id <= max_standard_id; }

// The code of `x` over [min, max] in `bits` bits:
// (clamp(x, min, max) - min) * (2^bits - 1) / (max - min), truncated.
[[nodiscard]] constexpr std::uint32_t encode_linear(float x, float min, float max, unsigned bits) noexcept {
    const std::uint32_t top = (std::uint32_t{1} << bits) - 1;
    const double lo = min;
    const double hi = max;
    constexpr double largest = 3.5e38;  // above every finite single
    if (!(lo < hi) || !(lo > -largest) || !(hi < largest)) return 0;
    const double value = x != x ? 0.0 : static_cast<double>(x);
    if (value <= lo) return 0;
    if (value >= hi) return top;
    const double code = (value - lo) * top / (hi - lo);
    // In exact arithmetic code < top; the guard keeps rounding in bounds.
    return code < top ? static_cast<std::uint32_t>(code) : top;
}

// The value of `code` over [min, max] in `bits` bits:
// code * (max - min) / (2^bits - 1) + min.
[[nodiscard]] constexpr float decode_linear(std::uint32_t code, float min, float max, unsigned bits) noexcept {
    const std::uint32_t top = (std::uint32_t{1} << bits) - 1;
    const double lo = min;
    const double hi = max;
    return static_cast<float>(code * (hi - lo) / top + lo);
}

namespace detail {

[[nodiscard]] TERVALIN_BIT_CAST_CONSTEXPR std::uint32_t float_bits(float value) noexcept {
#ifdef TERVALIN_DM_HAS_BIT_CAST
    return __builtin_bit_cast(std::uint32_t, value);
#else
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
#endif
}

constexpr void put_u16(FrameData& data, std::size_t at, std::uint16_t value) noexcept {
    data[at] = static_cast<std::uint8_t>(value & 0xFF);
    data[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

constexpr void put_u32(FrameData& data, std::size_t at, std::uint32_t value) noexcept {
    for (std::size_t i = 0; i < 4; ++i) data[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

TERVALIN_BIT_CAST_CONSTEXPR void put_f32(FrameData& data, std::size_t at, float value) noexcept {
    put_u32(data, at, float_bits(value));
}

// round(value * scale) clamped to 0..10000; NaN gives 0.
[[nodiscard]] constexpr std::uint16_t scaled(float value, double scale) noexcept {
    const double product = static_cast<double>(value) * scale;  // exact: 24 by 14 bits
    if (!(product > 0.0)) return 0;
    if (product >= force_pos_scale_max) return force_pos_scale_max;
    return static_cast<std::uint16_t>(product + 0.5);
}

}  // namespace detail

// MIT command, CAN id = motor id.
[[nodiscard]] constexpr Frame encode_mit(std::uint16_t motor_id, const MitSetpointRecord& setpoint,
                                         const MitLimitsRecord& limits) noexcept {
    const std::uint32_t q = encode_linear(setpoint.q, -limits.p_max, limits.p_max, position_bits);
    const std::uint32_t dq = encode_linear(setpoint.dq, -limits.v_max, limits.v_max, velocity_bits);
    const std::uint32_t kp = encode_linear(setpoint.kp, 0.0F, limits.kp_max, gain_bits);
    const std::uint32_t kd = encode_linear(setpoint.kd, 0.0F, limits.kd_max, gain_bits);
    const std::uint32_t tau = encode_linear(setpoint.tau, -limits.t_max, limits.t_max, torque_bits);
    Frame frame{mit_base + motor_id, {}};
    frame.data[0] = static_cast<std::uint8_t>(q >> 8);
    frame.data[1] = static_cast<std::uint8_t>(q & 0xFF);
    frame.data[2] = static_cast<std::uint8_t>(dq >> 4);
    frame.data[3] = static_cast<std::uint8_t>(((dq & 0xF) << 4) | (kp >> 8));
    frame.data[4] = static_cast<std::uint8_t>(kp & 0xFF);
    frame.data[5] = static_cast<std::uint8_t>(kd >> 4);
    frame.data[6] = static_cast<std::uint8_t>(((kd & 0xF) << 4) | (tau >> 8));
    frame.data[7] = static_cast<std::uint8_t>(tau & 0xFF);
    return frame;
}

// POS_VEL, id 0x100 + motor id: position, velocity as little-endian singles.
[[nodiscard]] TERVALIN_BIT_CAST_CONSTEXPR Frame encode_pos_vel(std::uint16_t motor_id,
                                                               const PosVelSetpoint& setpoint) noexcept {
    Frame frame{pos_vel_base + motor_id, {}};
    detail::put_f32(frame.data, 0, setpoint.position);
    detail::put_f32(frame.data, 4, setpoint.velocity);
    return frame;
}

// VEL, id 0x200 + motor id: velocity as a little-endian single, four zeros.
[[nodiscard]] TERVALIN_BIT_CAST_CONSTEXPR Frame encode_vel(std::uint16_t motor_id,
                                                           const VelSetpoint& setpoint) noexcept {
    Frame frame{vel_base + motor_id, {}};
    detail::put_f32(frame.data, 0, setpoint.velocity);
    return frame;
}

// FORCE_POS, id 0x300 + motor id: position as a little-endian single, then
// velocity limit x 100 and torque ratio x 10000 as little-endian u16.
[[nodiscard]] TERVALIN_BIT_CAST_CONSTEXPR Frame encode_force_pos(std::uint16_t motor_id,
                                                                 const ForcePosSetpoint& setpoint) noexcept {
    Frame frame{force_pos_base + motor_id, {}};
    detail::put_f32(frame.data, 0, setpoint.position);
    detail::put_u16(frame.data, 4, detail::scaled(setpoint.velocity_limit, 100.0));
    detail::put_u16(frame.data, 6, detail::scaled(setpoint.torque_ratio, 10000.0));
    return frame;
}

// The frame of a setpoint for `motor`; MIT uses the motor's limits. Empty
// only for a record whose mode is not one of the four (never the case for a
// record read from a ControlSetpoint).
[[nodiscard]] TERVALIN_BIT_CAST_CONSTEXPR std::optional<Frame> encode(const ControlSetpointRecord& setpoint,
                                                                      const DamiaoRecord& motor) noexcept {
    switch (setpoint.mode) {
        case ControlMode::mit:
            return encode_mit(motor.motor_id, setpoint.mit, motor.limits);
        case ControlMode::pos_vel:
            return encode_pos_vel(motor.motor_id, setpoint.pos_vel);
        case ControlMode::vel:
            return encode_vel(motor.motor_id, setpoint.vel);
        case ControlMode::force_pos:
            return encode_force_pos(motor.motor_id, setpoint.force_pos);
    }
    return std::nullopt;
}

// A field of a setpoint: its name (as the Python classes call it) and value.
struct SetpointField {
    const char* name;
    float value;
};

// The first field of `setpoint` that is not finite (NaN or an infinity), if
// any. The encoders give such a field a defined code, but no motor should be
// sent one: callers refuse it.
[[nodiscard]] constexpr std::optional<SetpointField> non_finite_field(const ControlSetpointRecord& setpoint) noexcept {
    const auto first = [](std::initializer_list<SetpointField> fields) -> std::optional<SetpointField> {
        constexpr float largest = 3.4028234663852886e38F;
        for (const SetpointField& field : fields)
            if (!(field.value >= -largest && field.value <= largest)) return field;
        return std::nullopt;
    };
    switch (setpoint.mode) {
        case ControlMode::mit: {
            const MitSetpointRecord& s = setpoint.mit;
            return first({{"q", s.q}, {"dq", s.dq}, {"kp", s.kp}, {"kd", s.kd}, {"tau", s.tau}});
        }
        case ControlMode::pos_vel:
            return first({{"position", setpoint.pos_vel.position}, {"velocity", setpoint.pos_vel.velocity}});
        case ControlMode::vel:
            return first({{"velocity", setpoint.vel.velocity}});
        case ControlMode::force_pos: {
            const ForcePosSetpoint& s = setpoint.force_pos;
            return first({{"position", s.position}, {"velocity_limit", s.velocity_limit},
                          {"torque_ratio", s.torque_ratio}});
        }
    }
    return std::nullopt;
}

// System commands, id = motor id: seven 0xFF bytes, then the command byte.
enum class Command : std::uint8_t { enable = 0xFC, disable = 0xFD, set_zero = 0xFE, clear_error = 0xFB };

[[nodiscard]] constexpr Frame encode_command(std::uint16_t motor_id, Command command) noexcept {
    Frame frame{motor_id, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, static_cast<std::uint8_t>(command)}};
    return frame;
}

// The register protocol. A request on register_id: motor id (u16 LE), the
// command, the register number, the value (u32 LE: an IEEE-754 single's bits
// for float registers, the integer for int registers). The motor answers a
// read or a write (and may answer a save) on its master id with the same
// layout, the value being the register's after the operation.
enum class RegisterCommand : std::uint8_t { read = 0x33, write = 0x55, save = 0xAA };

// Byte 3 of a save request: it saves every register, not the one named.
inline constexpr std::uint8_t save_register = 0x01;

// The data bytes of a register frame, request or answer alike.
[[nodiscard]] constexpr FrameData encode_register_data(std::uint16_t motor_id, RegisterCommand command,
                                                       std::uint8_t reg, std::uint32_t value) noexcept {
    FrameData data{};
    detail::put_u16(data, 0, motor_id);
    data[2] = static_cast<std::uint8_t>(command);
    data[3] = reg;
    detail::put_u32(data, 4, value);
    return data;
}

// Register read, id 0x7FF: the value bytes are zero.
[[nodiscard]] constexpr Frame encode_register_read(std::uint16_t motor_id, std::uint8_t reg) noexcept {
    return {register_id, encode_register_data(motor_id, RegisterCommand::read, reg, 0)};
}

// Register write, id 0x7FF, of an int register's value or a float's bits.
[[nodiscard]] constexpr Frame encode_register_write(std::uint16_t motor_id, std::uint8_t reg,
                                                    std::uint32_t value) noexcept {
    return {register_id, encode_register_data(motor_id, RegisterCommand::write, reg, value)};
}

// Register write of a float register: the single's bits, as they are.
[[nodiscard]] TERVALIN_BIT_CAST_CONSTEXPR Frame encode_register_write_float(std::uint16_t motor_id, std::uint8_t reg,
                                                                            float value) noexcept {
    return encode_register_write(motor_id, reg, detail::float_bits(value));
}

// Saves every register to the motor's flash (a motor does so only while disabled).
[[nodiscard]] constexpr Frame encode_save(std::uint16_t motor_id) noexcept {
    return {register_id, encode_register_data(motor_id, RegisterCommand::save, save_register, 0)};
}

// Switches the motor to `mode`: register 10 takes the mode number 1 to 4.
[[nodiscard]] constexpr Frame encode_mode_switch(std::uint16_t motor_id, ControlMode mode) noexcept {
    return encode_register_write(motor_id, control_mode_register, static_cast<std::uint32_t>(mode));
}

// The motor id of a feedback frame (the low nibble of byte 0): feedback
// arrives on the master id, so this tells which motor sent it.
[[nodiscard]] constexpr std::uint8_t feedback_motor_id(const FrameData& data) noexcept {
    return static_cast<std::uint8_t>(data[0] & feedback_motor_id_mask);
}

// The status code of a feedback frame (the high nibble of byte 0).
[[nodiscard]] constexpr std::uint8_t feedback_status(const FrameData& data) noexcept {
    return static_cast<std::uint8_t>(data[0] >> 4);
}

// A feedback frame, decoded over the ranges of the MIT command.
[[nodiscard]] constexpr MotorStateRecord decode_feedback(const FrameData& data,
                                                         const MitLimitsRecord& limits) noexcept {
    const std::uint32_t q = (std::uint32_t{data[1]} << 8) | data[2];
    const std::uint32_t dq = (std::uint32_t{data[3]} << 4) | (data[4] >> 4);
    const std::uint32_t tau = ((std::uint32_t{data[4]} & 0xF) << 8) | data[5];
    MotorStateRecord state{};
    state.motor_id = feedback_motor_id(data);
    state.error = feedback_status(data);
    state.position = decode_linear(q, -limits.p_max, limits.p_max, position_bits);
    state.velocity = decode_linear(dq, -limits.v_max, limits.v_max, velocity_bits);
    state.torque = decode_linear(tau, -limits.t_max, limits.t_max, torque_bits);
    state.t_mos = data[6];
    state.t_rotor = data[7];
    return state;
}

// The frames as a motor reads them, for whoever answers as one (a simulated
// motor). Each is the inverse of its encoder up to the encoder's rounding.

// A feedback frame of `state` over the ranges of the MIT command: motor id
// and status keep their low four bits, the linear fields clamp as the MIT
// command's do.
[[nodiscard]] constexpr FrameData encode_feedback(const MotorStateRecord& state,
                                                  const MitLimitsRecord& limits) noexcept {
    const std::uint32_t q = encode_linear(state.position, -limits.p_max, limits.p_max, position_bits);
    const std::uint32_t dq = encode_linear(state.velocity, -limits.v_max, limits.v_max, velocity_bits);
    const std::uint32_t tau = encode_linear(state.torque, -limits.t_max, limits.t_max, torque_bits);
    FrameData data{};
    data[0] = static_cast<std::uint8_t>(((state.error & 0xF) << 4) | (state.motor_id & feedback_motor_id_mask));
    data[1] = static_cast<std::uint8_t>(q >> 8);
    data[2] = static_cast<std::uint8_t>(q & 0xFF);
    data[3] = static_cast<std::uint8_t>(dq >> 4);
    data[4] = static_cast<std::uint8_t>(((dq & 0xF) << 4) | (tau >> 8));
    data[5] = static_cast<std::uint8_t>(tau & 0xFF);
    data[6] = state.t_mos;
    data[7] = state.t_rotor;
    return data;
}

// The setpoint of an MIT command, over the motor's limits.
[[nodiscard]] constexpr MitSetpointRecord decode_mit(const FrameData& data, const MitLimitsRecord& limits) noexcept {
    const std::uint32_t q = (std::uint32_t{data[0]} << 8) | data[1];
    const std::uint32_t dq = (std::uint32_t{data[2]} << 4) | (data[3] >> 4);
    const std::uint32_t kp = ((std::uint32_t{data[3]} & 0xF) << 8) | data[4];
    const std::uint32_t kd = (std::uint32_t{data[5]} << 4) | (data[6] >> 4);
    const std::uint32_t tau = ((std::uint32_t{data[6]} & 0xF) << 8) | data[7];
    return {decode_linear(q, -limits.p_max, limits.p_max, position_bits),
            decode_linear(dq, -limits.v_max, limits.v_max, velocity_bits),
            decode_linear(kp, 0.0F, limits.kp_max, gain_bits), decode_linear(kd, 0.0F, limits.kd_max, gain_bits),
            decode_linear(tau, -limits.t_max, limits.t_max, torque_bits)};
}

namespace detail {

[[nodiscard]] TERVALIN_BIT_CAST_CONSTEXPR float float_of_bits(std::uint32_t bits) noexcept {
#ifdef TERVALIN_DM_HAS_BIT_CAST
    return __builtin_bit_cast(float, bits);
#else
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
#endif
}

[[nodiscard]] TERVALIN_BIT_CAST_CONSTEXPR float get_f32(const FrameData& data, std::size_t at) noexcept {
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < 4; ++i) bits |= std::uint32_t{data[at + i]} << (8 * i);
    return float_of_bits(bits);
}

[[nodiscard]] constexpr std::uint32_t get_u16(const FrameData& data, std::size_t at) noexcept {
    return std::uint32_t{data[at]} | (std::uint32_t{data[at + 1]} << 8);
}

}  // namespace detail

[[nodiscard]] TERVALIN_BIT_CAST_CONSTEXPR PosVelSetpoint decode_pos_vel(const FrameData& data) noexcept {
    return {detail::get_f32(data, 0), detail::get_f32(data, 4)};
}

[[nodiscard]] TERVALIN_BIT_CAST_CONSTEXPR VelSetpoint decode_vel(const FrameData& data) noexcept {
    return {detail::get_f32(data, 0)};
}

// The velocity limit and torque ratio as the motor reads them: the codes
// divided by 100 and 10000 (codes above 10000 as they are).
[[nodiscard]] TERVALIN_BIT_CAST_CONSTEXPR ForcePosSetpoint decode_force_pos(const FrameData& data) noexcept {
    return {detail::get_f32(data, 0), static_cast<float>(detail::get_u16(data, 4) / 100.0),
            static_cast<float>(detail::get_u16(data, 6) / 10000.0)};
}

// The system command of a frame on the motor id, if it is one: seven 0xFF
// bytes and a known command byte. Such a frame reads as an MIT command too
// (every field near its top); a motor takes it as the system command.
[[nodiscard]] constexpr std::optional<Command> decode_command(const FrameData& data) noexcept {
    for (std::size_t i = 0; i < 7; ++i)
        if (data[i] != 0xFF) return std::nullopt;
    switch (static_cast<Command>(data[7])) {
        case Command::enable:
        case Command::disable:
        case Command::set_zero:
        case Command::clear_error:
            return static_cast<Command>(data[7]);
    }
    return std::nullopt;
}

// A register frame as read from its data: a request as the motor reads it
// (on register_id) or the motor's answer (on its master id). `value` is the
// raw u32; float_value() reads the same bits as a single.
struct RegisterFrame {
    std::uint16_t motor_id;
    RegisterCommand command;
    std::uint8_t reg;
    std::uint32_t value;

    [[nodiscard]] TERVALIN_BIT_CAST_CONSTEXPR float float_value() const noexcept {
        return detail::float_of_bits(value);
    }
};

// The register frame of `data`, if byte 2 is one of the three commands.
// Which frames are register frames at all is the caller's to know (the id
// they came on, an exchange pending): any 8 bytes with such a byte 2 read as one.
[[nodiscard]] constexpr std::optional<RegisterFrame> decode_register(const FrameData& data) noexcept {
    const auto command = static_cast<RegisterCommand>(data[2]);
    switch (command) {
        case RegisterCommand::read:
        case RegisterCommand::write:
        case RegisterCommand::save: {
            const std::uint32_t value = detail::get_u16(data, 4) | (detail::get_u16(data, 6) << 16);
            return RegisterFrame{static_cast<std::uint16_t>(detail::get_u16(data, 0)), command, data[3], value};
        }
    }
    return std::nullopt;
}

}  // namespace tervalin::dm

#undef TERVALIN_BIT_CAST_CONSTEXPR
#undef TERVALIN_DM_HAS_BIT_CAST
