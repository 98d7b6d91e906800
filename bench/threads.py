"""Native threads that log: rejected records under concurrent stores, and
forwarded records from attached and unattached threads.

Run by `bench/run --threads [rejected|forwarded]` inside the embedding
program.

Rejected: records on 1, 2, 4 and 8 threads while another thread keeps
storing new cache entries, the time per record and the slowest record. Every record goes
through the bridge's native check and is rejected by its cached filter; the
storing thread replaces the cache's tree as fast as it can, so readers run
against a writer all the time. Times include one reading of the clock per
record (its cost is printed). With more threads than cores, a record that
spans a preemption is as slow as the scheduler makes it: the p99.9 column
shows what the cache itself costs at the tail.

Forwarded: records that reach a handler, sent through the kit's header from
native threads with a ThreadAttachment (one thread state for the thread's
life) and without one (CPython makes and deletes a thread state per record),
against Python's own `logger.info` to the same logger and handler. The
instruction counts (callgrind, one thread, thread start and end subtracted)
are the figures of record; the times are taken in the same run, minimum of
interleaved repeats, thread start and end included.
"""

import argparse
import gc
import logging
import os
import pathlib
import sys
import tempfile
import time

import _tervalin_native as native
import tervalin  # noqa: F401  (installs the bridge)

RECORDS = 500_000  # per thread
TARGETS = 64  # distinct targets the storing thread cycles through
THREADS = (1, 2, 4, 8)


def rejected():
    native.reject_under_stores(2, 20_000, TARGETS, None)  # warm-up
    lines = [
        "| reader threads | CPU ns per record | median ns | p99.9 ns | slowest record ns | wall ns per record "
        "| stores during the run |",
        "|--:|--:|--:|--:|--:|--:|--:|",
    ]
    clock = []
    for threads in THREADS:
        r = native.reject_under_stores(threads, RECORDS, TARGETS, None)
        clock.append(r["clock_ns"])
        lines.append(
            f"| {threads} | {r['cpu_ns']:.1f} | {r['median_ns']} | {r['p999_ns']} | {r['max_ns']:,} "
            f"| {r['mean_ns']:.1f} | {r['stores']:,} |"
        )
    print(
        f"Rejected native records, {RECORDS:,} per thread, against a thread storing entries for "
        f"{TARGETS} targets ({os.cpu_count()} cores; reading the clock costs about {min(clock)} ns "
        f"and is included):\n"
    )
    print("\n".join(lines))


UNATTACHED, ATTACHED = 0, 1  # kit_attached_threads' modes
FORWARDED = "bench::threads"
MESSAGE = "0:0"  # the length of the native records' messages "<thread>:<index>"
REPEATS = 15
TIMED_RECORDS = 2000  # per thread and repeat


class CountingHandler(logging.Handler):
    def __init__(self):
        super().__init__(logging.NOTSET)
        self.count = 0

    def emit(self, record):
        self.count += 1


def forwarding_logger():
    """The logger and handler every forwarded row sends to, checked to receive the native records."""
    logger = logging.getLogger(FORWARDED.replace("::", "."))
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    handler = CountingHandler()
    logger.addHandler(handler)
    for mode in (UNATTACHED, ATTACHED):
        native.kit_attached_threads(1, 10, FORWARDED, mode)
    logger.info(MESSAGE)
    assert handler.count == 21, "native records did not reach the handler"
    return logger


def python_records(logger, records):
    info = logger.info
    for _ in range(records):
        info(MESSAGE)


def native_rows(threads):
    return {
        f"{label}, {threads} thread{'s' if threads > 1 else ''}": mode
        for label, mode in (("attached", ATTACHED), ("unattached", UNATTACHED))
    }


def timed_rows(logger):
    """Nanoseconds per record, minimum over interleaved repeats."""
    best = {}

    def keep(key, ns):
        best[key] = min(best.get(key, ns), ns)

    for _ in range(REPEATS):
        start = time.perf_counter_ns()
        python_records(logger, TIMED_RECORDS)
        keep("python", (time.perf_counter_ns() - start) / TIMED_RECORDS)
        for threads in (1, 4):
            for key, mode in native_rows(threads).items():
                _, ns = native.kit_attached_threads(threads, TIMED_RECORDS, FORWARDED, mode)
                keep(key, ns / (threads * TIMED_RECORDS))
    return best


def counted_child():
    """Under callgrind: each counted run is framed by os.getppid() calls (see instructions.py)."""
    from instructions import counted, loop_runner

    logger = forwarding_logger()
    counted(loop_runner("pass", {}))
    counted(loop_runner("info(message)", {"info": logger.info, "message": MESSAGE}))
    for mode in (ATTACHED, UNATTACHED):
        counted(lambda n, mode=mode: native.kit_attached_threads(1, n, FORWARDED, mode))
        # Thread start, attachment and end without records, to subtract.
        counted(lambda n, mode=mode: native.kit_attached_threads(1, 0, FORWARDED, mode))


def counted_rows(embed):
    from instructions import LOOPS, callgrind_loops

    with tempfile.TemporaryDirectory() as workdir:
        loops = callgrind_loops([embed, __file__, "--counted-child"], pathlib.Path(workdir) / "threads.out")
    empty, python, attached, attached_bare, unattached, unattached_bare = loops
    return {
        "python": (python - empty) / LOOPS,
        "attached, 1 thread": (attached - attached_bare) / LOOPS,
        "unattached, 1 thread": (unattached - unattached_bare) / LOOPS,
        "attachment": attached_bare - unattached_bare,
    }


def forwarded():
    embed = os.readlink("/proc/self/exe")
    logger = forwarding_logger()
    gc.collect()
    times = timed_rows(logger)
    counts = counted_rows(embed)
    lines = [
        "| records sent by | instructions per record | ÷ Python | ns per record | ÷ Python |",
        "|---|--:|--:|--:|--:|",
        f"| Python `logger.info`, calling thread | {counts['python']:,.0f} | 1.00 | {times['python']:,.0f} | 1.00 |",
    ]
    for threads in (1, 4):
        for key in native_rows(threads):
            count = counts.get(key)
            counted_text = f"{count:,.0f} | {count / counts['python']:.2f}" if count else "— | —"
            lines.append(
                f"| kit, native {key} | {counted_text} | {times[key]:,.0f} | {times[key] / times['python']:.2f} |"
            )
    print(
        f"Forwarded records, one logger with one counting handler, the message {MESSAGE!r}; instructions "
        f"counted under callgrind on one thread; times the minimum of {REPEATS} interleaved repeats of "
        f"{TIMED_RECORDS:,} records per thread ({os.cpu_count()} cores, load average "
        f"{os.getloadavg()[0]:.1f}):\n"
    )
    print("\n".join(lines))
    print(f"\nAttaching a thread and ending its attachment (no records): {counts['attachment']:,.0f} instructions.")


def main():
    tables = {"rejected": rejected, "forwarded": forwarded}
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("tables", nargs="*", metavar="TABLE", help=f"one of {', '.join(tables)} (default: all)")
    chosen = parser.parse_args().tables or list(tables)
    unknown = [name for name in chosen if name not in tables]
    if unknown:
        parser.error(f"unknown table {unknown[0]!r}: choose from {', '.join(tables)}")
    for name in chosen:
        tables[name]()
        print()


if __name__ == "__main__":
    sys.path.insert(0, str(pathlib.Path(__file__).parent))
    if sys.argv[1:2] == ["--counted-child"]:
        counted_child()
    else:
        main()
