// Native checks for the DM frame codec, compiled as C++17 to hold the public
// headers to that standard.
//
// Build and run:
//   g++ -std=c++17 -O2 -Wall -Wextra -Werror -Iinclude tests/native/test_dm_codec.cpp -o /tmp/tdc && /tmp/tdc
// Prints "N passed, M failed" last and exits non-zero on any failure.

#include <tervalin/dm_codec.hpp>

#include "check.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

namespace dm = tervalin::dm;
using tervalin::ControlMode;
using tervalin::ControlSetpointRecord;
using tervalin::DamiaoRecord;
using tervalin::MitLimitsRecord;
using tervalin::MitSetpointRecord;
using tervalin::MotorStateRecord;
using Bytes = dm::FrameData;

namespace {

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr MitLimitsRecord defaults{12.5F, 30.0F, 500.0F, 5.0F, 10.0F};

constexpr bool same(const dm::Frame& frame, std::uint32_t id, const Bytes& data) {
    for (std::size_t i = 0; i < data.size(); ++i)
        if (frame.data[i] != data[i]) return false;
    return frame.id == id;
}

std::string text(const dm::Frame& frame) {
    std::string out = std::to_string(frame.id) + ":";
    char hex[4];
    for (std::uint8_t byte : frame.data) {
        std::snprintf(hex, sizeof hex, " %02X", byte);
        out += hex;
    }
    return out;
}

// Frames computed by hand from the protocol. The MIT ones are checked at
// compile time too: the codec is usable in constant expressions.
constexpr MitSetpointRecord mit_zero{0, 0, 0, 0, 0};
constexpr MitSetpointRecord mit_ends{12.5F, -30.0F, 500.0F, 5.0F, -10.0F};
constexpr MitSetpointRecord mit_inner{1.0F, 0.5F, 20.0F, 1.0F, -0.5F};
// q 32767.5 -> 0x7FFF, dq and tau 2047.5 -> 0x7FF, gains 0.
static_assert(same(dm::encode_mit(1, mit_zero, defaults), 0x001, {0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}));
// q top 0xFFFF, dq 0, kp and kd top 0xFFF, tau 0.
static_assert(same(dm::encode_mit(2, mit_ends, defaults), 0x002, {0xFF, 0xFF, 0x00, 0x0F, 0xFF, 0xFF, 0xF0, 0x00}));
// q 35388.9 -> 0x8A3C, dq 2081.6 -> 0x821, kp 163.8 -> 0x0A3, kd 819 -> 0x333, tau 1945.1 -> 0x799.
static_assert(same(dm::encode_mit(0x7F, mit_inner, defaults), 0x07F,
                   {0x8A, 0x3C, 0x82, 0x10, 0xA3, 0x33, 0x37, 0x99}));
static_assert(same(dm::encode_command(3, dm::Command::enable), 3, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}));
static_assert(same(dm::encode_mode_switch(0x123, ControlMode::pos_vel), 0x7FF,
                   {0x23, 0x01, 0x55, 0x0A, 0x02, 0x00, 0x00, 0x00}));
static_assert(same(dm::encode_save(1), 0x7FF, {0x01, 0x00, 0xAA, 0x01, 0x00, 0x00, 0x00, 0x00}));
static_assert(dm::decode_register({0x01, 0x00, 0x33, 0x08, 0x7F, 0, 0, 0})->value == 0x7F);
static_assert(dm::decode_feedback({0xE5, 0xFF, 0xFF, 0x00, 0x0F, 0xFF, 0x00, 0xFF}, defaults).torque == 10.0F);

void hand_frames() {
    struct Case {
        dm::Frame frame;
        std::uint32_t id;
        Bytes data;
    };
    const Case cases[] = {
        {dm::encode_mit(1, mit_zero, defaults), 0x001, {0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}},
        {dm::encode_mit(0x7F, mit_inner, defaults), 0x07F, {0x8A, 0x3C, 0x82, 0x10, 0xA3, 0x33, 0x37, 0x99}},
        // Beyond the range: clamped to the ends, infinities too.
        {dm::encode_mit(2, {100.0F, -inf, 1e9F, inf, -11.0F}, defaults), 0x002,
         {0xFF, 0xFF, 0x00, 0x0F, 0xFF, 0xFF, 0xF0, 0x00}},
        {dm::encode_mit(2, {-inf, inf, -1.0F, -inf, inf}, defaults), 0x002,
         {0x00, 0x00, 0xFF, 0xF0, 0x00, 0x00, 0x0F, 0xFF}},
        // NaN encodes as 0.0 would.
        {dm::encode_mit(1, {nan, nan, nan, nan, nan}, defaults), 0x001,
         {0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}},
        // 1.0 = 0x3F800000, -2.0 = 0xC0000000, little-endian.
        {dm::encode_pos_vel(1, {1.0F, -2.0F}), 0x101, {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0xC0}},
        {dm::encode_pos_vel(0x10, {inf, nan}), 0x110, {0x00, 0x00, 0x80, 0x7F, 0x00, 0x00, 0xC0, 0x7F}},
        {dm::encode_vel(1, {2.0F}), 0x201, {0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00}},
        // 10 x 100 = 1000 = 0x03E8, 0.3 x 10000 = 3000 = 0x0BB8.
        {dm::encode_force_pos(1, {0.5F, 10.0F, 0.3F}), 0x301, {0x00, 0x00, 0x00, 0x3F, 0xE8, 0x03, 0xB8, 0x0B}},
        // Rounded, not truncated: 0.29F is 0.28999999; 0.07F x 100 is 7.0000000298.
        {dm::encode_force_pos(2, {0.0F, 0.07F, 0.29F}), 0x302, {0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x54, 0x0B}},
        // Clamped to 0..10000 (0x2710); NaN gives 0.
        {dm::encode_force_pos(3, {-1.0F, 200.0F, -0.5F}), 0x303, {0x00, 0x00, 0x80, 0xBF, 0x10, 0x27, 0x00, 0x00}},
        {dm::encode_force_pos(3, {0.0F, inf, nan}), 0x303, {0x00, 0x00, 0x00, 0x00, 0x10, 0x27, 0x00, 0x00}},
        {dm::encode_force_pos(3, {0.0F, nan, -inf}), 0x303, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {dm::encode_force_pos(3, {0.0F, 99.99F, 0.99999F}), 0x303, {0x00, 0x00, 0x00, 0x00, 0x0F, 0x27, 0x10, 0x27}},
        {dm::encode_command(3, dm::Command::enable), 3, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}},
        {dm::encode_command(0x7FF, dm::Command::disable), 0x7FF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD}},
        {dm::encode_command(4, dm::Command::set_zero), 4, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}},
        {dm::encode_command(5, dm::Command::clear_error), 5, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFB}},
        {dm::encode_register_write(0xABCD, 7, 0x12345678), 0x7FF, {0xCD, 0xAB, 0x55, 0x07, 0x78, 0x56, 0x34, 0x12}},
        {dm::encode_mode_switch(1, ControlMode::mit), 0x7FF, {0x01, 0x00, 0x55, 0x0A, 0x01, 0x00, 0x00, 0x00}},
        // Register requests: 12.5 = 0x41480000, -1.5 = 0xBFC00000; a read's and a save's value is zero.
        {dm::encode_register_read(0x123, 21), 0x7FF, {0x23, 0x01, 0x33, 0x15, 0x00, 0x00, 0x00, 0x00}},
        {dm::encode_register_write_float(1, 21, 12.5F), 0x7FF, {0x01, 0x00, 0x55, 0x15, 0x00, 0x00, 0x48, 0x41}},
        {dm::encode_register_write_float(2, 0, -1.5F), 0x7FF, {0x02, 0x00, 0x55, 0x00, 0x00, 0x00, 0xC0, 0xBF}},
        {dm::encode_register_write(1, 9, 0xDEADBEEF), 0x7FF, {0x01, 0x00, 0x55, 0x09, 0xEF, 0xBE, 0xAD, 0xDE}},
        {dm::encode_save(0x7FF), 0x7FF, {0xFF, 0x07, 0xAA, 0x01, 0x00, 0x00, 0x00, 0x00}},
        {dm::encode_mode_switch(1, ControlMode::force_pos), 0x7FF, {0x01, 0x00, 0x55, 0x0A, 0x04, 0x00, 0x00, 0x00}},
    };
    for (const Case& c : cases) CHECK(same(c.frame, c.id, c.data), text(c.frame));
}

void dispatch_by_mode() {
    DamiaoRecord motor{0x12, 0x22, {25.0F, 45.0F, 500.0F, 5.0F, 18.0F}, {0, 20000000}};
    ControlSetpointRecord setpoint{};
    setpoint.mode = ControlMode::mit;
    setpoint.mit = mit_inner;
    auto frame = dm::encode(setpoint, motor);
    CHECK(frame && same(*frame, 0x12, dm::encode_mit(0x12, mit_inner, motor.limits).data), "mit uses the motor's limits");
    CHECK(frame && !same(*frame, 0x12, dm::encode_mit(0x12, mit_inner, defaults).data), "limits matter");
    setpoint.mode = ControlMode::pos_vel;
    setpoint.pos_vel = {1.0F, -2.0F};
    frame = dm::encode(setpoint, motor);
    CHECK(frame && same(*frame, 0x112, {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0xC0}), "pos_vel");
    setpoint.mode = ControlMode::vel;
    setpoint.vel = {2.0F};
    frame = dm::encode(setpoint, motor);
    CHECK(frame && same(*frame, 0x212, {0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00}), "vel");
    setpoint.mode = ControlMode::force_pos;
    setpoint.force_pos = {0.5F, 10.0F, 0.3F};
    frame = dm::encode(setpoint, motor);
    CHECK(frame && same(*frame, 0x312, {0x00, 0x00, 0x00, 0x3F, 0xE8, 0x03, 0xB8, 0x0B}), "force_pos");
    setpoint.mode = static_cast<ControlMode>(9);
    CHECK(!dm::encode(setpoint, motor), "unknown mode");
    // Non-finite fields are named, the first one in field order; finite extremes are not.
    struct NonFinite {
        ControlSetpointRecord setpoint;
        const char* field;
    };
    const auto with = [](ControlMode mode, float a, float b, float c, float d, float e) {
        ControlSetpointRecord r{};
        r.mode = mode;
        r.mit = {a, b, c, d, e};  // the other modes' fields overlay the first ones
        return r;
    };
    constexpr float big = std::numeric_limits<float>::max();
    const NonFinite non_finite[] = {
        {with(ControlMode::mit, nan, 0, 0, 0, 0), "q"},
        {with(ControlMode::mit, 0, inf, 0, 0, 0), "dq"},
        {with(ControlMode::mit, 0, 0, -inf, 0, 0), "kp"},
        {with(ControlMode::mit, 0, 0, 0, nan, inf), "kd"},
        {with(ControlMode::mit, big, -big, 0, 0, -inf), "tau"},
        {with(ControlMode::mit, big, -big, big, 0, 0), nullptr},
        {with(ControlMode::pos_vel, 1, -inf, 0, 0, 0), "velocity"},
        {with(ControlMode::pos_vel, 1, 2, nan, 0, 0), nullptr},
        {with(ControlMode::vel, nan, 0, 0, 0, 0), "velocity"},
        {with(ControlMode::vel, 1, nan, 0, 0, 0), nullptr},
        {with(ControlMode::force_pos, 0, inf, 0, 0, 0), "velocity_limit"},
        {with(ControlMode::force_pos, 0, 0, nan, 0, 0), "torque_ratio"},
        {with(ControlMode::force_pos, 0, 0, 0, nan, 0), nullptr},
    };
    for (const NonFinite& c : non_finite) {
        const auto found = dm::non_finite_field(c.setpoint);
        CHECK(c.field == nullptr ? !found : found && std::string(found->name) == c.field,
              c.field == nullptr ? "all finite" : c.field);
    }
    // Ids are base + motor id, never wrapped; beyond 11 bits they are flagged.
    setpoint.mode = ControlMode::vel;
    motor.motor_id = 0xFFFF;
    frame = dm::encode(setpoint, motor);
    CHECK(frame && frame->id == 0x200 + 0xFFFF && !dm::is_standard_id(frame->id), "wide id");
    CHECK(dm::is_standard_id(0x7FF) && !dm::is_standard_id(0x800), "standard ids");
}

void feedback_frames() {
    const MotorStateRecord s = dm::decode_feedback({0x11, 0x80, 0x00, 0x80, 0x08, 0x00, 35, 40}, defaults);
    // Codes 32768, 2048, 2048: one half step above the middle of each range.
    CHECK(s.motor_id == 1 && s.error == dm::status::enabled && s.t_mos == 35 && s.t_rotor == 40, "fields");
    CHECK(s.position == static_cast<float>(32768.0 * 25.0 / 65535.0 - 12.5), "position");
    CHECK(s.velocity == static_cast<float>(2048.0 * 60.0 / 4095.0 - 30.0), "velocity");
    CHECK(s.torque == static_cast<float>(2048.0 * 20.0 / 4095.0 - 10.0), "torque");
    const MotorStateRecord e = dm::decode_feedback({0xE5, 0xFF, 0xFF, 0x00, 0x0F, 0xFF, 0x00, 0xFF}, defaults);
    CHECK(e.motor_id == 5 && e.error == dm::status::overload && e.t_mos == 0 && e.t_rotor == 255, "ends");
    CHECK(e.position == 12.5F && e.velocity == -30.0F && e.torque == 10.0F, "ends");
    // Each field from its own bits: velocity 0xABC, torque 0x123.
    const MotorStateRecord f = dm::decode_feedback({0xDF, 0x00, 0x00, 0xAB, 0xC1, 0x23, 7, 8}, defaults);
    CHECK(f.motor_id == 15 && f.error == dm::status::communication_lost && f.position == -12.5F, "nibbles");
    CHECK(f.velocity == dm::decode_linear(0xABC, -30.0F, 30.0F, 12), "velocity bits");
    CHECK(f.torque == dm::decode_linear(0x123, -10.0F, 10.0F, 12), "torque bits");
}

// Every code of every field decodes to a value that encodes back to the
// same code or the one below (decoding rounds to a single), and every value
// in range decodes back within one quantisation step.
void round_trips() {
    const MitLimitsRecord presets[] = {defaults, {12.5F, 50.0F, 500.0F, 5.0F, 28.0F},
                                       {3.1415926F, 25.0F, 200.0F, 10.0F, 120.0F}, {1e-3F, 1e6F, 1.0F, 0.1F, 3e30F}};
    for (const MitLimitsRecord& limits : presets) {
        struct Range {
            float min, max;
            unsigned bits;
        };
        const Range ranges[] = {{-limits.p_max, limits.p_max, 16}, {-limits.v_max, limits.v_max, 12},
                                {0.0F, limits.kp_max, 12}, {0.0F, limits.kd_max, 12},
                                {-limits.t_max, limits.t_max, 12}};
        for (const Range& r : ranges) {
            const std::uint32_t top = (1U << r.bits) - 1;
            const double step = (static_cast<double>(r.max) - r.min) / top;
            CHECK(dm::encode_linear(r.min, r.min, r.max, r.bits) == 0, "min");
            CHECK(dm::encode_linear(r.max, r.min, r.max, r.bits) == top, "max");
            CHECK(dm::decode_linear(0, r.min, r.max, r.bits) == r.min, "min back");
            CHECK(dm::decode_linear(top, r.min, r.max, r.bits) == r.max, "max back");
            CHECK(dm::encode_linear(std::nextafter(r.max, 0.0F), r.min, r.max, r.bits) == top - 1 ||
                      dm::encode_linear(std::nextafter(r.max, 0.0F), r.min, r.max, r.bits) == top,
                  "below max");
            for (std::uint32_t code = 0; code <= top; ++code) {
                const float x = dm::decode_linear(code, r.min, r.max, r.bits);
                const std::uint32_t back = dm::encode_linear(x, r.min, r.max, r.bits);
                CHECK(back == code || back + 1 == code, std::to_string(code) + " -> " + std::to_string(back));
            }
            for (int i = 0; i <= 20000; ++i) {
                const float x = static_cast<float>(r.min + (static_cast<double>(r.max) - r.min) * i / 20000);
                const float y = dm::decode_linear(dm::encode_linear(x, r.min, r.max, r.bits), r.min, r.max, r.bits);
                const double error = static_cast<double>(x) - y;
                CHECK(error >= -step * 1e-6 && error <= step * (1 + 1e-6), std::to_string(x) + " -> " + std::to_string(y));
            }
        }
    }
}

// Ranges that are no interval encode as 0 and never convert NaN or an
// infinity to an integer; decoding them gives floats, whatever they are.
void degenerate_ranges() {
    const float bounds[][2] = {{0, 0},     {1, -1},    {nan, 1},       {-1, nan},     {-inf, inf},
                               {-inf, 0},  {0, inf},   {-3e38F, 3e38F}, {5, 5}};
    const float values[] = {0.0F, -0.0F, 1.0F, -1.0F, 1e38F, -1e38F, inf, -inf, nan};
    for (const auto& b : bounds) {
        const bool interval = b[0] < b[1] && std::isfinite(b[0]) && std::isfinite(b[1]);
        for (float x : values) {
            const std::uint32_t code = dm::encode_linear(x, b[0], b[1], 16);
            CHECK(interval ? code <= 0xFFFF : code == 0, std::to_string(b[0]) + ".." + std::to_string(b[1]));
        }
    }
    // The widest finite range works: its span overflows a single, not a double.
    CHECK(dm::encode_linear(0.0F, -3e38F, 3e38F, 16) == 32767, "widest");
    const MotorStateRecord s = dm::decode_feedback({0, 1, 2, 3, 4, 5, 6, 7}, {nan, inf, 0, 0, -1.0F});
    CHECK(std::isnan(s.position) && std::isnan(s.velocity) && s.torque > 0.49F && s.torque < 0.5F, "decoded");
}

// The motor's side: what a simulated motor reads from each command and the
// feedback it answers with, against the frames above.
void motor_side() {
    // The hand-made MIT frame above, read back: each field within one step.
    const MitSetpointRecord mit = dm::decode_mit({0x8A, 0x3C, 0x82, 0x10, 0xA3, 0x33, 0x37, 0x99}, defaults);
    CHECK(mit.q == dm::decode_linear(0x8A3C, -12.5F, 12.5F, 16) && mit.q <= 1.0F && mit.q > 1.0F - 25.0F / 65535,
          "q");
    CHECK(mit.dq == dm::decode_linear(0x821, -30.0F, 30.0F, 12), "dq");
    CHECK(mit.kp == dm::decode_linear(0x0A3, 0.0F, 500.0F, 12), "kp");
    CHECK(mit.kd == dm::decode_linear(0x333, 0.0F, 5.0F, 12), "kd");
    CHECK(mit.tau == dm::decode_linear(0x799, -10.0F, 10.0F, 12), "tau");
    const MitSetpointRecord ends = dm::decode_mit({0xFF, 0xFF, 0x00, 0x0F, 0xFF, 0xFF, 0xF0, 0x00}, defaults);
    CHECK(ends.q == 12.5F && ends.dq == -30.0F && ends.kp == 500.0F && ends.kd == 5.0F && ends.tau == -10.0F, "ends");
    const auto pos_vel = dm::decode_pos_vel({0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0xC0});
    CHECK(pos_vel.position == 1.0F && pos_vel.velocity == -2.0F, "pos_vel");
    CHECK(dm::decode_vel({0x00, 0x00, 0xC0, 0x7F, 0, 0, 0, 0}).velocity != dm::decode_vel({}).velocity, "vel NaN");
    const auto force = dm::decode_force_pos({0x00, 0x00, 0x00, 0x3F, 0xE8, 0x03, 0xB8, 0x0B});
    CHECK(force.position == 0.5F && force.velocity_limit == 10.0F && force.torque_ratio == 0.3F, "force_pos");
    CHECK(dm::decode_force_pos({0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}).velocity_limit == 655.35F, "beyond 10000");
    // System commands: seven 0xFF bytes and a known command byte, nothing else.
    CHECK(dm::decode_command({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFB}) == dm::Command::clear_error, "clear");
    CHECK(!dm::decode_command({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFA}), "unknown byte");
    CHECK(!dm::decode_command({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0xFC}), "byte 6");
    const auto write = dm::decode_register({0xCD, 0xAB, 0x55, 0x07, 0x78, 0x56, 0x34, 0x12});
    CHECK(write && write->motor_id == 0xABCD && write->command == dm::RegisterCommand::write && write->reg == 7 &&
              write->value == 0x12345678,
          "register write");
    const auto read = dm::decode_register({0x01, 0x00, 0x33, 0x15, 0x00, 0x00, 0x48, 0x41});
    CHECK(read && read->command == dm::RegisterCommand::read && read->reg == 21 && read->float_value() == 12.5F,
          "register answer, float");
    const auto save = dm::decode_register({0xFF, 0x07, 0xAA, 0x01, 0, 0, 0, 0});
    CHECK(save && save->motor_id == 0x7FF && save->command == dm::RegisterCommand::save && save->value == 0, "save");
    for (std::uint8_t command : {0x00, 0x32, 0x34, 0x54, 0x56, 0xA9, 0xAB, 0xFF})
        CHECK(!dm::decode_register({0x01, 0x00, command, 0x07, 0, 0, 0, 0}), "no register command");
    // Feedback: the inverse of decode_feedback on every code it produces.
    const Bytes frames[] = {{0x11, 0x80, 0x00, 0x80, 0x08, 0x00, 35, 40}, {0xE5, 0xFF, 0xFF, 0x00, 0x0F, 0xFF, 0x00, 0xFF},
                            {0xDF, 0x00, 0x00, 0xAB, 0xC1, 0x23, 7, 8}, {0x00, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE}};
    const auto codes = [](const Bytes& d) {
        return std::array<std::uint32_t, 3>{(std::uint32_t{d[1]} << 8) | d[2], (std::uint32_t{d[3]} << 4) | (d[4] >> 4),
                                            ((std::uint32_t{d[4]} & 0xF) << 8) | d[5]};
    };
    for (const Bytes& frame : frames) {
        const Bytes again = dm::encode_feedback(dm::decode_feedback(frame, defaults), defaults);
        CHECK(again[0] == frame[0] && again[6] == frame[6] && again[7] == frame[7], "bytes 0, 6, 7");
        // A decoded value encodes to its own code or the one below.
        for (std::size_t i = 0; i < 3; ++i)
            CHECK(codes(again)[i] == codes(frame)[i] || codes(again)[i] + 1 == codes(frame)[i], std::to_string(i));
    }
    MotorStateRecord state{0x12, 0x1E, 100.0F, -100.0F, nan, 1, 2};
    const Bytes clamped = dm::encode_feedback(state, defaults);
    CHECK(clamped[0] == 0xE2 && clamped[1] == 0xFF && clamped[2] == 0xFF && clamped[3] == 0x00, "clamped, nibbles");
    CHECK(clamped[4] == 0x07 && clamped[5] == 0xFF && clamped[6] == 1 && clamped[7] == 2, "NaN torque as 0.0");
    CHECK(dm::feedback_motor_id(clamped) == 2 && dm::feedback_status(clamped) == dm::status::overload, "routing");
}

}  // namespace

int main() {
    motor_side();
    hand_frames();
    dispatch_by_mode();
    feedback_frames();
    round_trips();
    degenerate_ranges();
    return summary();
}
