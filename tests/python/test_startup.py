"""Start-up in fresh processes: failures of the module body and subinterpreters."""

import pathlib

import pytest

from conftest import run_python


def output_lines(*pieces):
    child = run_python(*pieces)
    assert child.returncode == 0, child.stderr
    return child.stdout.splitlines()


ATTEMPT = """
def attempt():
    try:
        import tervalin
        return "imported " + ",".join(tervalin.__all__)
    except BaseException as error:
        return f"{type(error).__name__}: {error}"
"""


def test_logging_that_cannot_be_imported_fails_start_up():
    first, second = output_lines(ATTEMPT, """
        import sys
        sys.modules["logging"] = None
        print(attempt())
        del sys.modules["logging"]
        print(attempt())  # nothing was installed, so a second start-up succeeds
    """)
    assert first.startswith("PanicException: Failed to initialize python logging: "
                            "PyErr { type: <class 'ModuleNotFoundError'>, value: ModuleNotFoundError(")
    assert second.startswith("imported __version__,MitLimits,")


def test_second_start_up_after_a_failure_past_the_bridge():
    # While the bridge imports logging, the new module object is already alive:
    # spoiling its __all__ makes the first registration fail after installation.
    first, second = output_lines(ATTEMPT, """
        import builtins, gc, sys
        real_import = builtins.__import__
        def spoiling_import(name, *args, **kwargs):
            module = real_import(name, *args, **kwargs)
            if name == "logging":
                for obj in gc.get_objects():
                    if type(obj) is type(sys) and obj.__name__ == "tervalin":
                        obj.__all__ = ()
            return module
        builtins.__import__ = spoiling_import
        print(attempt())
        builtins.__import__ = real_import
        print(attempt())
    """)
    assert first.startswith("PanicException: could not append __name__ to __all__: "
                            "PyErr { type: <class 'SystemError'>")
    assert second == "PanicException: called `Result::unwrap()` on an `Err` value: SetLoggerError(())"


SUBINTERPRETER = """
    import _interpreters
    def in_subinterpreter(code):
        interp = _interpreters.create(_interpreters.new_config("legacy"))
        failure = _interpreters.run_string(interp, code)
        return "ok" if failure is None else f"{failure.type.__name__}: {failure.msg}"
"""
REFUSAL = "ImportError: tervalin does not yet support subinterpreters"


def test_subinterpreter_after_main_is_refused():
    main, sub, again = output_lines(SUBINTERPRETER, """
        import tervalin
        print(len(tervalin.__all__))
        print(in_subinterpreter("import tervalin"))
        print(tervalin.MitLimits.dm4310())
    """)
    assert main == "7"
    assert sub.startswith(REFUSAL) and "Limitations" in sub
    assert again == "MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=5, t_max=10)"


def test_subinterpreter_first_leaves_main_as_owner():
    # A single-phase module is initialised in the main interpreter first, so
    # the main interpreter becomes the owner and the subinterpreter is refused.
    sub, main = output_lines(SUBINTERPRETER, """
        print(in_subinterpreter("import tervalin"))
        import tervalin
        print(tervalin.Damiao(1, 2))
    """)
    assert sub.startswith(REFUSAL)
    assert main == "Damiao(motor_id=0x1, master_id=0x2)"


def dynamic_flags(path):
    """DT_FLAGS of a 64-bit little-endian ELF shared object (0 when absent)."""
    import struct

    data = pathlib.Path(path).read_bytes()
    assert data[:4] == b"\x7fELF" and data[4] == 2 and data[5] == 1
    phoff, = struct.unpack_from("<Q", data, 0x20)
    phentsize, phnum = struct.unpack_from("<HH", data, 0x36)
    for i in range(phnum):
        kind, _, offset, _, _, size, _, _ = struct.unpack_from("<IIQQQQQQ", data, phoff + i * phentsize)
        if kind == 2:  # PT_DYNAMIC
            for at in range(offset, offset + size, 16):
                tag, value = struct.unpack_from("<qQ", data, at)
                if tag == 30:  # DT_FLAGS
                    return value
    return 0


def test_module_takes_no_static_tls():
    # A library loaded with dlopen that needs static TLS draws on a small
    # surplus shared by all such libraries; once it is used up, the import fails.
    import sys
    import tervalin

    if not getattr(tervalin, "__file__", None) or sys.platform != "linux":
        pytest.skip("the module is built into this program")
    DF_STATIC_TLS = 0x10
    assert dynamic_flags(tervalin.__file__) & DF_STATIC_TLS == 0
