# cython: language_level=3
"""tervalin's classes as a Cython user would write them: `cdef class`es with
single-precision fields, typed constructor parameters with defaults, static
methods for the presets and static constructors, read-only attributes and a
`__repr__` that gives the module's texts.

A benchmark contender only: argument errors carry Cython's own messages, not
the module's. The shortest digits of a single come from the C++ standard
library (`std::to_chars`), which is what a user has at hand; the four-decimal
form is printf's "%.4f", which rounds the exact value half to even as the
module does.
"""
cimport cython
from libc.math cimport isinf, isnan, signbit
from libc.stdio cimport snprintf
from libc.string cimport memcpy, memset, strlen

cdef extern from *:
    """
    #include <charconv>
    // Shortest round-trip digits of a positive finite single in scientific
    // form ("1.2566e+01"); returns the length written.
    static int shortest_scientific(float v, char* out) {
        return (int)(std::to_chars(out, out + 32, v, std::chars_format::scientific).ptr - out);
    }
    """
    int shortest_scientific(float v, char* out)


cdef char* put(char* out, const char* text):
    cdef size_t n = strlen(text)
    memcpy(out, text, n)
    return out + n


cdef char* put_shortest(char* out, float v):
    """Fewest digits that read back as `v`, laid out without an exponent."""
    cdef char sci[32]
    cdef char digits[16]
    cdef int length, count = 0, exponent = 0, point, i = 0
    cdef bint negative_exponent = False
    if isnan(v):
        return put(out, b"NaN")
    if signbit(v):
        out[0] = c'-'
        out += 1
        v = -v
    if isinf(v):
        return put(out, b"inf")
    if v == 0:
        return put(out, b"0")
    length = shortest_scientific(v, sci)
    while i < length and sci[i] != c'e':
        if sci[i] != c'.':
            digits[count] = sci[i]
            count += 1
        i += 1
    i += 1
    if sci[i] == c'-':
        negative_exponent = True
    i += 1
    while i < length:
        exponent = exponent * 10 + (sci[i] - 48)
        i += 1
    if negative_exponent:
        exponent = -exponent
    point = exponent + 1
    if point <= 0:
        out = put(out, b"0.")
        memset(out, c'0', -point)
        out += -point
        memcpy(out, digits, count)
        return out + count
    if point < count:
        memcpy(out, digits, point)
        out[point] = c'.'
        memcpy(out + point + 1, digits + point, count - point)
        return out + count + 1
    memcpy(out, digits, count)
    memset(out + count, c'0', point - count)
    return out + point


cdef char* put_four_decimal(char* out, float v):
    if isnan(v):
        return put(out, b"NaN")
    return out + snprintf(out, 64, "%.4f", <double>v)


cdef str ascii_text(char* start, char* end):
    return start[:end - start].decode("ascii")


@cython.final
cdef class MitLimits:
    cdef readonly float p_max, v_max, kp_max, kd_max, t_max

    def __cinit__(self, float p_max=12.5, float v_max=30.0, float kp_max=500.0, float kd_max=5.0,
                  float t_max=10.0):
        self.p_max = p_max
        self.v_max = v_max
        self.kp_max = kp_max
        self.kd_max = kd_max
        self.t_max = t_max

    @staticmethod
    def dm4310():
        return make_limits(12.5, 30.0, 500.0, 5.0, 10.0)

    def __repr__(self):
        cdef char text[320]
        cdef char* p = put(text, b"MitLimits(p_max=")
        p = put_shortest(p, self.p_max)
        p = put_shortest(put(p, b", v_max="), self.v_max)
        p = put_shortest(put(p, b", kp_max="), self.kp_max)
        p = put_shortest(put(p, b", kd_max="), self.kd_max)
        p = put_shortest(put(p, b", t_max="), self.t_max)
        p = put(p, b")")
        return ascii_text(text, p)


cdef MitLimits make_limits(float p_max, float v_max, float kp_max, float kd_max, float t_max):
    cdef MitLimits limits = MitLimits.__new__(MitLimits)
    limits.p_max = p_max
    limits.v_max = v_max
    limits.kp_max = kp_max
    limits.kd_max = kd_max
    limits.t_max = t_max
    return limits


@cython.final
cdef class MitSetpoint:
    cdef readonly float q, dq, kp, kd, tau

    def __cinit__(self, float q=0.0, float dq=0.0, float kp=0.0, float kd=0.0, float tau=0.0):
        self.q = q
        self.dq = dq
        self.kp = kp
        self.kd = kd
        self.tau = tau

    def __repr__(self):
        cdef char text[320]
        cdef char* p = put_shortest(put(text, b"MitSetpoint(q="), self.q)
        p = put_shortest(put(p, b", dq="), self.dq)
        p = put_shortest(put(p, b", kp="), self.kp)
        p = put_shortest(put(p, b", kd="), self.kd)
        p = put_shortest(put(p, b", tau="), self.tau)
        return ascii_text(text, put(p, b")"))


def mit_setpoint(float q=0.0, float dq=0.0, float kp=0.0, float kd=0.0, float tau=0.0):
    """Build a `MitSetpoint` (handy when keyword args are awkward)."""
    cdef MitSetpoint setpoint = MitSetpoint.__new__(MitSetpoint)
    setpoint.q = q
    setpoint.dq = dq
    setpoint.kp = kp
    setpoint.kd = kd
    setpoint.tau = tau
    return setpoint


@cython.final
cdef class ControlSetpoint:
    cdef readonly unsigned char mode
    cdef float a, b, c, d, e

    def __init__(self, *args, **kwargs):
        raise TypeError("No constructor defined for ControlSetpoint")

    @staticmethod
    def mit(MitSetpoint setpoint not None):
        """MIT impedance setpoint (control mode 1)."""
        cdef ControlSetpoint result = make_control(1)
        result.a = setpoint.q
        result.b = setpoint.dq
        result.c = setpoint.kp
        result.d = setpoint.kd
        result.e = setpoint.tau
        return result

    @staticmethod
    def pos_vel(float position, float velocity):
        """POS_VEL setpoint (control mode 2)."""
        cdef ControlSetpoint result = make_control(2)
        result.a = position
        result.b = velocity
        return result

    @staticmethod
    def vel(float velocity):
        """VEL setpoint (control mode 3)."""
        cdef ControlSetpoint result = make_control(3)
        result.a = velocity
        return result

    @staticmethod
    def force_pos(float position, float velocity_limit, float torque_ratio):
        """FORCE_POS setpoint (control mode 4)."""
        cdef ControlSetpoint result = make_control(4)
        result.a = position
        result.b = velocity_limit
        result.c = torque_ratio
        return result

    def __repr__(self):
        cdef char text[320]
        cdef char* p
        if self.mode == 1:
            p = put_shortest(put(text, b"ControlSetpoint.mit(q="), self.a)
            p = put_shortest(put(p, b", dq="), self.b)
            p = put_shortest(put(p, b", kp="), self.c)
            p = put_shortest(put(p, b", kd="), self.d)
            p = put_shortest(put(p, b", tau="), self.e)
        elif self.mode == 2:
            p = put_shortest(put(text, b"ControlSetpoint.pos_vel(position="), self.a)
            p = put_shortest(put(p, b", velocity="), self.b)
        elif self.mode == 3:
            p = put_shortest(put(text, b"ControlSetpoint.vel("), self.a)
        else:
            p = put_shortest(put(text, b"ControlSetpoint.force_pos(position="), self.a)
            p = put_shortest(put(p, b", velocity_limit="), self.b)
            p = put_shortest(put(p, b", torque_ratio="), self.c)
        return ascii_text(text, put(p, b")"))


cdef ControlSetpoint make_control(unsigned char mode):
    cdef ControlSetpoint result = ControlSetpoint.__new__(ControlSetpoint)
    result.mode = mode
    return result


@cython.final
cdef class MotorState:
    cdef readonly unsigned char motor_id, error, t_mos, t_rotor
    cdef readonly float position, velocity, torque

    def __init__(self, *args, **kwargs):
        raise TypeError("No constructor defined for MotorState")

    def __repr__(self):
        cdef char position[64]
        cdef char velocity[64]
        cdef char torque[64]
        cdef char text[320]
        put_four_decimal(position, self.position)[0] = 0
        put_four_decimal(velocity, self.velocity)[0] = 0
        put_four_decimal(torque, self.torque)[0] = 0
        cdef int n = snprintf(text, sizeof(text),
                              "MotorState(motor_id=%u, error=%u, position=%s, velocity=%s, torque=%s, t_mos=%u, "
                              "t_rotor=%u)", self.motor_id, self.error, position, velocity, torque, self.t_mos,
                              self.t_rotor)
        return ascii_text(text, text + n)


def motor_state(unsigned char motor_id, unsigned char error, float position, float velocity, float torque,
                unsigned char t_mos, unsigned char t_rotor):
    cdef MotorState state = MotorState.__new__(MotorState)
    state.motor_id = motor_id
    state.error = error
    state.position = position
    state.velocity = velocity
    state.torque = torque
    state.t_mos = t_mos
    state.t_rotor = t_rotor
    return state


@cython.final
cdef class Damiao:
    cdef readonly unsigned short motor_id, master_id
    cdef float p_max, v_max, kp_max, kd_max, t_max
    cdef unsigned long long timeout_seconds
    cdef unsigned int timeout_nanoseconds

    def __cinit__(self, unsigned short motor_id, unsigned short master_id, MitLimits limits=None,
                  unsigned long long timeout_ms=20):
        self.motor_id = motor_id
        self.master_id = master_id
        if limits is None:
            self.p_max, self.v_max, self.kp_max, self.kd_max, self.t_max = 12.5, 30.0, 500.0, 5.0, 10.0
        else:
            self.p_max = limits.p_max
            self.v_max = limits.v_max
            self.kp_max = limits.kp_max
            self.kd_max = limits.kd_max
            self.t_max = limits.t_max
        self.timeout_seconds = timeout_ms // 1000
        self.timeout_nanoseconds = (timeout_ms % 1000) * 1000000

    def __repr__(self):
        cdef char text[64]
        cdef int n = snprintf(text, sizeof(text), "Damiao(motor_id=0x%x, master_id=0x%x)", self.motor_id,
                              self.master_id)
        return ascii_text(text, text + n)
