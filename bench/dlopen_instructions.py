"""Instructions per getter call (`lim.p_max`) and per constructor call
(`MitLimits()`) of tervalin loaded the way users load it: an extension module
that the interpreter opens with dlopen, where thread-local state is reached
through the module's TLS model (the embedding program of `bench/run
--instructions` links the module into the executable, where it is not).

    .venv/bin/python bench/dlopen_instructions.py DIRECTORY

counts, under callgrind, the module found in DIRECTORY (for example
build/native) with the interpreter running this script.
"""
import os
import pathlib
import re
import subprocess
import sys
import tempfile

LOOPS = 20_000
ROWS = {"empty loop": "pass", "lim.p_max": "lim.p_max", "MitLimits()": "MitLimits()"}


def child(directory):
    sys.path.insert(0, directory)
    import tervalin

    namespace = {"lim": tervalin.MitLimits(), "MitLimits": tervalin.MitLimits}
    for stmt in ROWS.values():
        exec(f"def loop(n):\n    for _ in range(n):\n        {stmt}\n", namespace)
        namespace["loop"](50)
        os.getppid()  # callgrind dumps before each call: set-up and warm-up end here
        namespace["loop"](LOOPS)
        os.getppid()  # and the counted loop here


def main(directory):
    with tempfile.TemporaryDirectory() as workdir:
        out = pathlib.Path(workdir) / "callgrind.out"
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--dump-before=os_getppid",
                        sys.executable, __file__, "--child", directory],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        totals = []
        for dump in sorted(out.parent.glob(out.name + ".*"), key=lambda p: int(p.suffix[1:])):
            totals.append(int(re.search(r"^(?:summary|totals): (\d+)", dump.read_text(), re.MULTILINE).group(1)))
    loops = totals[1::2]
    for label, total in list(zip(ROWS, loops))[1:]:
        print(f"{label}: {(total - loops[0]) / LOOPS:.1f} instructions (loop of {LOOPS} minus an empty loop)")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        child(sys.argv[2])
    else:
        main(sys.argv[1])
