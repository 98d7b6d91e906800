"""Counts the instructions each benchmarked operation executes, under callgrind.

Instruction counts do not depend on what else the machine is doing, so these
ratios are repeatable where the timings of bench.py are not; they are the
figures of record. Run by `bench/run --instructions`. The measurements are
those of bench.sections(); each group of them (one per contender, one for the
logging bridge) is counted in its own process inside the embedding program
under valgrind, and the groups run side by side on the available CPUs.
"""

import argparse
import concurrent.futures
import datetime
import gc
import os
import pathlib
import re
import subprocess
import sys
import tempfile

LOOPS = 2000  # operations counted per row, after a warm-up that lets CPython specialise
EMPTY = "pass"


POOL_BYTES = 16 * 1024  # one pool of CPython 3.13's small-object allocator on 64-bit platforms


def ballast():
    """Half-used pools in every size class of CPython's small-object allocator (16 to 512 bytes).

    An operation allocates a block and frees it again. When that block is the
    only used block of its pool, every free empties the pool and the next
    allocation takes a new one; when it is the only free block, the pool
    leaves and rejoins the allocator's list on every operation. Either costs
    20 to 50 instructions per operation and depends on nothing but the heap's
    incidental state, so the same row would count differently in a full run
    and in an --only run. Filling two pools of every size class and freeing
    every other block leaves the pool that the next allocation takes with
    blocks both used and free.
    """
    blocks = []
    for size in range(16, 513, 16):
        count = 2 * POOL_BYTES // size + 2
        if size == 16:
            blocks += [object() for _ in range(count)]
        elif size == 32:
            blocks += [10**9 + i for i in range(count)]  # an int of one 30-bit digit takes 28 bytes
        else:
            blocks += [bytes(size - 33) for _ in range(count)]  # a bytes object takes 33 bytes plus its length
    return blocks[::2]


def counted(run):
    run(50)
    kept = ballast()
    # The counted loop starts with an empty young generation, so that the
    # collections inside it (rows that make exceptions) fall at the same
    # places whatever ran before.
    gc.collect()
    os.getppid()  # callgrind dumps before each call: this one closes the set-up and warm-up,
    run(LOOPS)
    os.getppid()  # and this one the counted run
    del kept


def loop_runner(stmt, ns):
    body = "".join("        " + line + "\n" for line in stmt.split("\n"))
    exec("def loop(n):\n    for _ in range(n):\n" + body, ns)
    return ns["loop"]


def callgrind_loops(command, out, marker="os_getppid"):
    """Runs `command` under callgrind, writing dumps to `out`.N, and returns each counted loop's total.

    Callgrind dumps before every os.getppid() call, so the dumps alternate:
    set-up with warm-up, then a counted loop; the last one is the exit. The
    marker is the function callgrind dumps before: CPython's os_getppid, or
    libc's getppid for an interpreter without a symbol table (Debian's).
    """
    subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", f"--dump-before={marker}", *command],
        check=True,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    totals = []
    for dump in sorted(out.parent.glob(out.name + ".*"), key=lambda p: int(p.suffix[1:])):
        match = re.search(r"^(?:summary|totals): (\d+)", dump.read_text(), re.MULTILINE)
        totals.append(int(match.group(1)))
    return totals[1::2]


def group_measures(bench, group, only):
    """The measurements of one group, in a fixed order."""
    return [(key, m) for section in bench.sections(only) for key, m in section.measures().items() if m.group == group]


def child(group, only):
    import bench

    counted(loop_runner(EMPTY, {}))
    for _, m in group_measures(bench, group, only):
        counted(loop_runner(m.stmt, m.namespace) if isinstance(m, bench.Statement) else m.run)


def counts(embed, group, measures, only, workdir):
    """Instructions per operation for each of `measures`, the (key, measurement) pairs of `group`."""
    import bench

    command = [embed, __file__, "--child", group]
    for text in only or []:
        command += ["--only", text]
    loops = callgrind_loops(command, pathlib.Path(workdir) / f"{group}.out")
    empty, results = loops[0], {}
    for (key, m), total in zip(measures, loops[1:], strict=True):
        # A Python loop pays the interpreter's loop overhead; a native loop runs inside one call.
        results[key] = (total - empty) / LOOPS if isinstance(m, bench.Statement) else total / LOOPS
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("embed")
    parser.add_argument(
        "--only",
        metavar="TEXT",
        action="append",
        help="count only the rows whose label contains TEXT ('log' for the logging rows); "
        "a partial run leaves RESULTS.md alone",
    )
    args = parser.parse_args()
    sys.path.insert(0, str(pathlib.Path(__file__).parent))
    import bench

    bench.check_contenders()
    chosen = bench.sections(args.only)
    groups = {}
    for section in chosen:
        for key, m in section.measures().items():
            groups.setdefault(m.group, []).append((key, m))
    with (
        tempfile.TemporaryDirectory() as workdir,
        concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool,
    ):
        futures = [
            pool.submit(counts, args.embed, group, measures, args.only, workdir) for group, measures in groups.items()
        ]
        values = {key: value for future in futures for key, value in future.result().items()}
    tables, misses = bench.report(chosen, bench.Values(values, "instructions"))
    text = "\n".join(
        [
            "## Instructions per operation (figures of record)",
            "",
            f"- counted under callgrind on {datetime.date.today().isoformat()}: a loop of {LOOPS} operations after a"
            " warm-up, minus an empty loop (the native log rows loop inside one native call)",
            f"- tervalin {bench.tervalin.__version__}, CPython {sys.version.split()[0]}",
            f"- {bench.describe_contenders()}",
            "",
            tables,
        ]
    )
    print(text)
    print("\nmissed targets: " + ("; ".join(misses) if misses else "none"))
    if not args.only:
        bench.write_results("instructions", text)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        sys.path.insert(0, str(pathlib.Path(__file__).parent))
        child(sys.argv[2], [sys.argv[i + 1] for i, a in enumerate(sys.argv) if a == "--only"] or None)
    else:
        main()
