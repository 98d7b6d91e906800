"""Start-up in fresh processes: failures of the module body and subinterpreters."""

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
