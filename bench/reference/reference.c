/* The same value classes as tervalin, written the everyday plain C-API way:
 * PyArg_ParseTupleAndKeywords for arguments, snprintf for repr text,
 * PyGetSetDef getters and PyType_FromSpec heap types. It avoids tricks on
 * purpose; the bar is the hand-written fastest version (handwritten.cpp),
 * this one shows what the everyday way costs. Its messages are CPython's. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdio.h>

/* Set once at import; the benchmark runs a single interpreter. */
static PyTypeObject *MitLimitsType, *MitSetpointType, *ControlSetpointType, *MotorStateType, *DamiaoType;

#define FLOAT_GETTER(Struct, field) \
    static PyObject *Struct##_get_##field(PyObject *self, void *c) { \
        (void)c; return PyFloat_FromDouble(((Struct *)self)->field); }
#define INT_GETTER(Struct, field) \
    static PyObject *Struct##_get_##field(PyObject *self, void *c) { \
        (void)c; return PyLong_FromLong(((Struct *)self)->field); }
#define GETSET(Struct, field) {#field, Struct##_get_##field, NULL, NULL, NULL}

/* ---- MitLimits ---- */
typedef struct { PyObject_HEAD float p_max, v_max, kp_max, kd_max, t_max; } MitLimits;

static PyObject *limits_make(PyTypeObject *type, float p, float v, float kp, float kd, float t) {
    MitLimits *self = (MitLimits *)type->tp_alloc(type, 0);
    if (self == NULL) return NULL;
    self->p_max = p; self->v_max = v; self->kp_max = kp; self->kd_max = kd; self->t_max = t;
    return (PyObject *)self;
}

static PyObject *limits_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static char *kwlist[] = {"p_max", "v_max", "kp_max", "kd_max", "t_max", NULL};
    float p = 12.5f, v = 30.0f, kp = 500.0f, kd = 5.0f, t = 10.0f;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|fffff", kwlist, &p, &v, &kp, &kd, &t)) return NULL;
    return limits_make(type, p, v, kp, kd, t);
}

static PyObject *limits_dm4310(PyObject *unused, PyObject *noargs) {
    (void)unused; (void)noargs;
    return limits_make(MitLimitsType, 12.5f, 30.0f, 500.0f, 5.0f, 10.0f);
}

static PyObject *limits_repr(PyObject *op) {
    MitLimits *self = (MitLimits *)op;
    char text[256];
    snprintf(text, sizeof text, "MitLimits(p_max=%g, v_max=%g, kp_max=%g, kd_max=%g, t_max=%g)",
             self->p_max, self->v_max, self->kp_max, self->kd_max, self->t_max);
    return PyUnicode_FromString(text);
}

FLOAT_GETTER(MitLimits, p_max) FLOAT_GETTER(MitLimits, v_max) FLOAT_GETTER(MitLimits, kp_max)
FLOAT_GETTER(MitLimits, kd_max) FLOAT_GETTER(MitLimits, t_max)
static PyGetSetDef limits_getset[] = {
    GETSET(MitLimits, p_max), GETSET(MitLimits, v_max), GETSET(MitLimits, kp_max),
    GETSET(MitLimits, kd_max), GETSET(MitLimits, t_max), {NULL}};
static PyMethodDef limits_methods[] = {
    {"dm4310", limits_dm4310, METH_NOARGS | METH_STATIC, NULL}, {NULL}};
static PyType_Slot limits_slots[] = {
    {Py_tp_new, limits_new}, {Py_tp_repr, limits_repr}, {Py_tp_getset, limits_getset},
    {Py_tp_methods, limits_methods}, {0, NULL}};
static PyType_Spec limits_spec = {"_reference.MitLimits", sizeof(MitLimits), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, limits_slots};

/* ---- MitSetpoint ---- */
typedef struct { PyObject_HEAD float q, dq, kp, kd, tau; } MitSetpoint;
static char *setpoint_kwlist[] = {"q", "dq", "kp", "kd", "tau", NULL};

static PyObject *setpoint_parse(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    float q = 0, dq = 0, kp = 0, kd = 0, tau = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|fffff", setpoint_kwlist, &q, &dq, &kp, &kd, &tau))
        return NULL;
    MitSetpoint *self = (MitSetpoint *)type->tp_alloc(type, 0);
    if (self == NULL) return NULL;
    self->q = q; self->dq = dq; self->kp = kp; self->kd = kd; self->tau = tau;
    return (PyObject *)self;
}

static PyObject *mit_setpoint(PyObject *module, PyObject *args, PyObject *kwargs) {
    (void)module;
    return setpoint_parse(MitSetpointType, args, kwargs);
}

FLOAT_GETTER(MitSetpoint, q) FLOAT_GETTER(MitSetpoint, dq) FLOAT_GETTER(MitSetpoint, kp)
FLOAT_GETTER(MitSetpoint, kd) FLOAT_GETTER(MitSetpoint, tau)
static PyGetSetDef setpoint_getset[] = {
    GETSET(MitSetpoint, q), GETSET(MitSetpoint, dq), GETSET(MitSetpoint, kp),
    GETSET(MitSetpoint, kd), GETSET(MitSetpoint, tau), {NULL}};
static PyType_Slot setpoint_slots[] = {
    {Py_tp_new, setpoint_parse}, {Py_tp_getset, setpoint_getset}, {0, NULL}};
static PyType_Spec setpoint_spec = {"_reference.MitSetpoint", sizeof(MitSetpoint), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, setpoint_slots};

/* ---- ControlSetpoint ---- */
typedef struct { PyObject_HEAD int mode; float a, b, c, d, e; } ControlSetpoint;

static ControlSetpoint *control_alloc(int mode) {
    ControlSetpoint *self = (ControlSetpoint *)ControlSetpointType->tp_alloc(ControlSetpointType, 0);
    if (self != NULL) self->mode = mode;
    return self;
}

static PyObject *control_vel(PyObject *unused, PyObject *args, PyObject *kwargs) {
    static char *kwlist[] = {"velocity", NULL};
    float velocity;
    (void)unused;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "f", kwlist, &velocity)) return NULL;
    ControlSetpoint *self = control_alloc(3);
    if (self != NULL) self->a = velocity;
    return (PyObject *)self;
}

static PyObject *control_pos_vel(PyObject *unused, PyObject *args, PyObject *kwargs) {
    static char *kwlist[] = {"position", "velocity", NULL};
    float position, velocity;
    (void)unused;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ff", kwlist, &position, &velocity)) return NULL;
    ControlSetpoint *self = control_alloc(2);
    if (self != NULL) { self->a = position; self->b = velocity; }
    return (PyObject *)self;
}

static PyObject *control_force_pos(PyObject *unused, PyObject *args, PyObject *kwargs) {
    static char *kwlist[] = {"position", "velocity_limit", "torque_ratio", NULL};
    float position, velocity_limit, torque_ratio;
    (void)unused;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "fff", kwlist, &position, &velocity_limit, &torque_ratio))
        return NULL;
    ControlSetpoint *self = control_alloc(4);
    if (self != NULL) { self->a = position; self->b = velocity_limit; self->c = torque_ratio; }
    return (PyObject *)self;
}

static PyObject *control_mit(PyObject *unused, PyObject *args, PyObject *kwargs) {
    static char *kwlist[] = {"setpoint", NULL};
    PyObject *arg;
    (void)unused;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!", kwlist, MitSetpointType, &arg)) return NULL;
    MitSetpoint *sp = (MitSetpoint *)arg;
    ControlSetpoint *self = control_alloc(1);
    if (self == NULL) return NULL;
    self->a = sp->q; self->b = sp->dq; self->c = sp->kp; self->d = sp->kd; self->e = sp->tau;
    return (PyObject *)self;
}

INT_GETTER(ControlSetpoint, mode)
static PyGetSetDef control_getset[] = {GETSET(ControlSetpoint, mode), {NULL}};
static PyMethodDef control_methods[] = {
    {"vel", (PyCFunction)(void (*)(void))control_vel, METH_VARARGS | METH_KEYWORDS | METH_STATIC, NULL},
    {"mit", (PyCFunction)(void (*)(void))control_mit, METH_VARARGS | METH_KEYWORDS | METH_STATIC, NULL},
    {"pos_vel", (PyCFunction)(void (*)(void))control_pos_vel, METH_VARARGS | METH_KEYWORDS | METH_STATIC, NULL},
    {"force_pos", (PyCFunction)(void (*)(void))control_force_pos, METH_VARARGS | METH_KEYWORDS | METH_STATIC, NULL},
    {NULL}};
static PyType_Slot control_slots[] = {
    {Py_tp_getset, control_getset}, {Py_tp_methods, control_methods}, {0, NULL}};
static PyType_Spec control_spec = {
    "_reference.ControlSetpoint", sizeof(ControlSetpoint), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, control_slots};

/* ---- MotorState ---- */
typedef struct {
    PyObject_HEAD unsigned char motor_id, error, t_mos, t_rotor;
    float position, velocity, torque;
} MotorState;

static PyObject *motor_state(PyObject *module, PyObject *args) {
    unsigned char motor_id, error, t_mos, t_rotor;
    float position, velocity, torque;
    (void)module;
    if (!PyArg_ParseTuple(args, "bbfffbb", &motor_id, &error, &position, &velocity, &torque, &t_mos, &t_rotor))
        return NULL;
    MotorState *self = (MotorState *)MotorStateType->tp_alloc(MotorStateType, 0);
    if (self == NULL) return NULL;
    self->motor_id = motor_id; self->error = error; self->position = position; self->velocity = velocity;
    self->torque = torque; self->t_mos = t_mos; self->t_rotor = t_rotor;
    return (PyObject *)self;
}

static PyObject *state_repr(PyObject *op) {
    MotorState *s = (MotorState *)op;
    char text[256];
    snprintf(text, sizeof text,
             "MotorState(motor_id=%d, error=%d, position=%.4f, velocity=%.4f, torque=%.4f, t_mos=%d, t_rotor=%d)",
             s->motor_id, s->error, s->position, s->velocity, s->torque, s->t_mos, s->t_rotor);
    return PyUnicode_FromString(text);
}

INT_GETTER(MotorState, motor_id) INT_GETTER(MotorState, error) INT_GETTER(MotorState, t_mos)
INT_GETTER(MotorState, t_rotor) FLOAT_GETTER(MotorState, position) FLOAT_GETTER(MotorState, velocity)
FLOAT_GETTER(MotorState, torque)
static PyGetSetDef state_getset[] = {
    GETSET(MotorState, motor_id), GETSET(MotorState, error), GETSET(MotorState, position),
    GETSET(MotorState, velocity), GETSET(MotorState, torque), GETSET(MotorState, t_mos),
    GETSET(MotorState, t_rotor), {NULL}};
static PyType_Slot state_slots[] = {{Py_tp_repr, state_repr}, {Py_tp_getset, state_getset}, {0, NULL}};
static PyType_Spec state_spec = {
    "_reference.MotorState", sizeof(MotorState), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, state_slots};

/* ---- Damiao ---- */
typedef struct {
    PyObject_HEAD unsigned short motor_id, master_id;
    float p_max, v_max, kp_max, kd_max, t_max;
    unsigned long long timeout_ms;
} Damiao;

static PyObject *damiao_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static char *kwlist[] = {"motor_id", "master_id", "limits", "timeout_ms", NULL};
    unsigned short motor_id, master_id;
    PyObject *limits = Py_None;
    unsigned long long timeout_ms = 20;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "HH|OK", kwlist, &motor_id, &master_id, &limits, &timeout_ms))
        return NULL;
    if (limits != Py_None && !PyObject_TypeCheck(limits, MitLimitsType)) {
        PyErr_SetString(PyExc_TypeError, "limits must be MitLimits or None");
        return NULL;
    }
    Damiao *self = (Damiao *)type->tp_alloc(type, 0);
    if (self == NULL) return NULL;
    self->motor_id = motor_id; self->master_id = master_id; self->timeout_ms = timeout_ms;
    if (limits == Py_None) {
        self->p_max = 12.5f; self->v_max = 30.0f; self->kp_max = 500.0f; self->kd_max = 5.0f; self->t_max = 10.0f;
    } else {
        MitLimits *l = (MitLimits *)limits;
        self->p_max = l->p_max; self->v_max = l->v_max; self->kp_max = l->kp_max;
        self->kd_max = l->kd_max; self->t_max = l->t_max;
    }
    return (PyObject *)self;
}

static PyObject *damiao_repr(PyObject *op) {
    Damiao *d = (Damiao *)op;
    char text[64];
    snprintf(text, sizeof text, "Damiao(motor_id=%#x, master_id=%#x)", d->motor_id, d->master_id);
    return PyUnicode_FromString(text);
}

INT_GETTER(Damiao, motor_id) INT_GETTER(Damiao, master_id)
static PyGetSetDef damiao_getset[] = {GETSET(Damiao, motor_id), GETSET(Damiao, master_id), {NULL}};
static PyType_Slot damiao_slots[] = {
    {Py_tp_new, damiao_new}, {Py_tp_repr, damiao_repr}, {Py_tp_getset, damiao_getset}, {0, NULL}};
static PyType_Spec damiao_spec = {"_reference.Damiao", sizeof(Damiao), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, damiao_slots};

/* ---- module ---- */
static PyMethodDef module_methods[] = {
    {"mit_setpoint", (PyCFunction)(void (*)(void))mit_setpoint, METH_VARARGS | METH_KEYWORDS, NULL},
    {"motor_state", motor_state, METH_VARARGS, NULL},
    {NULL}};

static int add_type(PyObject *module, PyType_Spec *spec, PyTypeObject **slot) {
    *slot = (PyTypeObject *)PyType_FromSpec(spec);
    if (*slot == NULL) return -1;
    return PyModule_AddObjectRef(module, strrchr(spec->name, '.') + 1, (PyObject *)*slot);
}

static struct PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_reference",
                                        "Plain C-API reference for the tervalin benchmark.", -1, module_methods,
                                        NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__reference(void) {
    PyObject *module = PyModule_Create(&module_def);
    if (module == NULL) return NULL;
    if (add_type(module, &limits_spec, &MitLimitsType) < 0 || add_type(module, &setpoint_spec, &MitSetpointType) < 0 ||
        add_type(module, &control_spec, &ControlSetpointType) < 0 || add_type(module, &state_spec, &MotorStateType) < 0 ||
        add_type(module, &damiao_spec, &DamiaoType) < 0) {
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
