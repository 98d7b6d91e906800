"""Start-up in fresh processes: failures of the module body and subinterpreters."""

import pathlib

import pytest

from conftest import python_command, run_python


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


def tls_through_descriptors(path):
    """The names of the thread-locals that a 64-bit little-endian ELF shared
    object reaches through TLS descriptors (R_X86_64_TLSDESC, 36, or
    R_AARCH64_TLSDESC, 1031), read from its relocations and symbol table."""
    import struct

    data = pathlib.Path(path).read_bytes()
    machine, = struct.unpack_from("<H", data, 0x12)
    wanted = {62: 36, 183: 1031}[machine]  # EM_X86_64, EM_AARCH64
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    offsets, tls = set(), {}
    for _, kind, _, _, offset, size, link, _, _, entsize in sections:
        if kind == 4:  # SHT_RELA: a descriptor for a local thread-local carries its offset as addend
            for at in range(offset, offset + size, 24):
                _, info, addend = struct.unpack_from("<QQq", data, at)
                if info & 0xFFFFFFFF == wanted:
                    offsets.add(addend)
        elif kind == 2:  # SHT_SYMTAB, its names in the linked string table
            names = sections[link][4]
            for at in range(offset, offset + size, entsize):
                name, info, _, _, value, _ = struct.unpack_from("<IBBHQQ", data, at)
                if info & 0xF == 6 and data[names + name] != ord("$"):  # STT_TLS, not a mapping symbol
                    tls[value] = data[names + name:data.index(b"\0", names + name)].decode()
    return sorted(tls.get(offset, f"offset {offset}") for offset in offsets)


def test_module_reaches_its_thread_state_without_descriptors():
    # x86_64 glibc before 2.40 lets _dl_tlsdesc_dynamic, the descriptor path of
    # a library whose TLS is not in the static block, clobber vector registers
    # that the caller keeps floats in; the general-dynamic model calls
    # __tls_get_addr as an ordinary function instead. On aarch64 the C++
    # runtime linked into the module reaches its exception globals through a
    # descriptor (its build's default), in two functions that hold no value
    # across the call.
    import platform
    import sys
    import tervalin

    if not getattr(tervalin, "__file__", None) or sys.platform != "linux":
        pytest.skip("the module is built into this program")
    reached = tls_through_descriptors(tervalin.__file__)
    if platform.machine() == "x86_64":
        assert reached == []
    else:  # named where the module keeps its symbol table
        assert not [name for name in reached if name.startswith("_ZN8tervalin")], reached


DYNAMIC_TLS = """
import threading, tervalin as t

def work(i):
    x = i / 7
    sp = t.MitSetpoint(q=x, dq=-x, kp=3 * x, kd=x / 3, tau=x * x)
    lim = t.MitLimits(x + 1, x + 2, x + 3, x + 4, x + 5)
    cs = t.ControlSetpoint.force_pos(x, x + 0.5, 0.25)
    return f"{sp!r} {lim!r} {cs!r} {lim.p_max + sp.kd + lim.t_max!r}"

def thread_results():
    # Every call is the first of a new thread, whose TLS block the loader
    # allocates on that call when the module's TLS is not in the static block.
    out = [None] * 64
    def run(i):
        out[i] = work(i)
    for i in range(64):
        thread = threading.Thread(target=run, args=(i,))
        thread.start()
        thread.join()
    return out
print("\\n".join(thread_results()))
"""


def test_results_with_the_module_tls_outside_the_static_block():
    # No optional static TLS: the loader cannot place the module's TLS in the
    # static block, so every thread reaches it through the dynamic path.
    import subprocess

    command, env = python_command(DYNAMIC_TLS)
    plain = subprocess.run(command, capture_output=True, text=True, env=env, timeout=60)
    env["GLIBC_TUNABLES"] = ":".join(filter(None, [env.get("GLIBC_TUNABLES"), "glibc.rtld.optional_static_tls=0"]))
    dynamic = subprocess.run(command, capture_output=True, text=True, env=env, timeout=60)
    assert plain.returncode == 0 and dynamic.returncode == 0, plain.stderr + dynamic.stderr
    assert len(plain.stdout.splitlines()) == 64 and dynamic.stdout == plain.stdout
