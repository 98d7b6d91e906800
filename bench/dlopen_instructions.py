"""Instructions per call of the main operations of tervalin loaded the way
users load it: an extension module that the interpreter opens with dlopen, where thread-local state is reached
through the module's TLS model (the embedding program of `bench/run
--instructions` links the module into the executable, where it is not).

    .venv/bin/python bench/dlopen_instructions.py DIRECTORY

counts, under callgrind, the module found in DIRECTORY (for example
build/native) with the interpreter running this script.
"""

import os
import pathlib
import sys
import tempfile

from instructions import callgrind_loops, loop_runner

LOOPS = 20_000
ROWS = {
    "empty loop": "pass",
    "lim.p_max": "lim.p_max",
    "MitLimits()": "MitLimits()",
    "MitLimits(1.0, 2.0, 3.0, 4.0, 5.0)": "MitLimits(1.0, 2.0, 3.0, 4.0, 5.0)",
    "MitSetpoint(q=1.0, dq=2.0)": "MitSetpoint(q=1.0, dq=2.0)",
    "ControlSetpoint.vel(1.0)": "ControlSetpoint.vel(1.0)",
    "Damiao(motor_id=1, master_id=2)": "Damiao(motor_id=1, master_id=2)",
    "d.motor_id": "d.motor_id",
    "repr(lim)": "repr(lim)",
    "repr(d)": "repr(d)",
    "Damiao() TypeError, caught": "try:\n    Damiao()\nexcept TypeError:\n    pass",
}


def child(directory):
    sys.path.insert(0, directory)
    import tervalin

    namespace = {
        "lim": tervalin.MitLimits(),
        "d": tervalin.Damiao(1, 2),
        **{name: getattr(tervalin, name) for name in ("MitLimits", "MitSetpoint", "ControlSetpoint", "Damiao")},
    }
    for stmt in ROWS.values():
        loop = loop_runner(stmt, namespace)
        loop(50)
        os.getppid()  # callgrind dumps before each call: set-up and warm-up end here
        loop(LOOPS)
        os.getppid()  # and the counted loop here


def main(directory):
    with tempfile.TemporaryDirectory() as workdir:
        loops = callgrind_loops(
            [sys.executable, __file__, "--child", directory], pathlib.Path(workdir) / "callgrind.out", marker="getppid"
        )
    for label, total in list(zip(ROWS, loops, strict=True))[1:]:
        print(f"{label}: {(total - loops[0]) / LOOPS:.1f} instructions (loop of {LOOPS} minus an empty loop)")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        child(sys.argv[2])
    else:
        main(sys.argv[1])
