"""Counts the instructions each benchmarked operation executes, under callgrind.

Instruction counts do not depend on what else the machine is doing, so these
ratios are repeatable where the timings of bench.py are not. Run by
`bench/run --instructions`; the child role runs inside the embedding program
under valgrind, one process per contender.
"""
import os
import pathlib
import re
import subprocess
import sys
import tempfile

LOOPS = 2000  # operations counted per row, after a warm-up that lets CPython specialise
EMPTY = "pass"


def counted(run):
    run(50)
    os.getppid()  # callgrind dumps before each call: this one closes the set-up and warm-up,
    run(LOOPS)
    os.getppid()  # and this one the counted run


def loop_runner(stmt, ns):
    body = "".join("        " + line + "\n" for line in stmt.split("\n"))
    exec("def loop(n):\n    for _ in range(n):\n" + body, ns)
    return ns["loop"]


def child(contender):
    import bench  # noqa: E402  (the rows and the namespaces)

    if contender == "log":
        logger = bench.prepare_loggers()
        counted(loop_runner(EMPTY, {}))
        counted(loop_runner('logger.handle(logger.makeRecord(name, 20, None, 0, "timed record", (), None))',
                            {"logger": logger, "name": logger.name}))
        for target in (bench.FORWARDED, bench.REJECTED):
            counted(lambda n, target=target: bench.native.emit_timed(bench.INFO, target, n))
        return
    ns = bench.CONTENDERS[contender]
    for stmt in [EMPTY] + [row[2] for row in bench.ROWS]:
        counted(loop_runner(stmt, ns))


def counts(embed, contender, workdir):
    out = pathlib.Path(workdir) / f"{contender}.out"
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", "--dump-before=os_getppid",
                    embed, __file__, "--child", contender],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    totals = []
    for dump in sorted(out.parent.glob(out.name + ".*"), key=lambda p: int(p.suffix[1:])):
        match = re.search(r"^(?:summary|totals): (\d+)", dump.read_text(), re.MULTILINE)
        totals.append(int(match.group(1)))
    # Dumps alternate: set-up with warm-up, then the counted loop; the last one is the exit.
    loops = totals[1::2]
    if contender == "log":  # the Python row runs in a loop; the native rows loop inside one call
        return [(loops[1] - loops[0]) / LOOPS] + [total / LOOPS for total in loops[2:]]
    empty = loops[0]
    return [(total - empty) / LOOPS for total in loops[1:]]


def main():
    embed = sys.argv[1]
    sys.path.insert(0, str(pathlib.Path(__file__).parent))
    import bench

    with tempfile.TemporaryDirectory() as workdir:
        results = {c: counts(embed, c, workdir) for c in [*bench.CONTENDERS, "log"]}
    lines = ["| operation | tervalin | reference | dataclass | ratio | target |", "|---|--:|--:|--:|--:|---|"]
    for i, (label, (kind, limit), _) in enumerate(bench.ROWS):
        t, r, p = (results[c][i] for c in bench.CONTENDERS)
        lines.append(f"| {label} | {t:.0f} | {r:.0f} | {p:.0f} | {t / r:.2f} | {kind} ≤ {limit} |")
    python, forwarded, rejected = results["log"]
    lines.append(f"| native record rejected by the cache | {rejected:.0f} | — | — "
                 f"| {rejected / forwarded:.4f} of forwarded | ≤ 0.02 of forwarded |")
    lines.append(f"| native record forwarded vs Python `makeRecord` + `handle` | {forwarded:.0f} | — | {python:.0f} "
                 f"| {forwarded / python:.2f} × Python | ≤ 1.2 × Python |")
    print(f"Instructions per operation (callgrind, loop of {LOOPS} minus an empty loop):\n")
    print("\n".join(lines))


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        sys.path.insert(0, str(pathlib.Path(__file__).parent))
        child(sys.argv[2])
    else:
        main()
