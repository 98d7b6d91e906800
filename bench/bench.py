"""Times tervalin against a plain C-API reference and frozen dataclasses.

Runs inside build/bench/tests/native/tervalin_embed, where tervalin is built
in and `_tervalin_native` reaches the native log facade. Every timing is the
minimum over several runs, and the runs go round-robin over all contenders so
that machine noise hits them alike. Timings include timeit's loop overhead
(the empty statement's cost is printed for scale).
"""
import argparse
import logging
import os
import pathlib
import platform
import sys
import time
import timeit

import _reference
import _tervalin_native as native
import contenders
import tervalin

# Many short runs rather than a few long ones: on a shared machine a short run
# has a fair chance of finishing inside one undisturbed time slice, and the
# minimum keeps exactly those runs.
REPEATS = 250
RUN_SECONDS = 0.002  # length of one timed run

CONSTRUCT, PRESET, GETTER, REPR, ERROR = (
    ("construction", 0.75), ("preset", 1.1), ("getter", 1.15), ("repr", 0.6), ("binding error", 1.0))

ROWS = [
    ("`MitLimits(1.0, 2.0, 3.0, 4.0, 5.0)`", CONSTRUCT, "MitLimits(1.0, 2.0, 3.0, 4.0, 5.0)"),
    ("`MitLimits(kd_max=0.5)`", CONSTRUCT, "MitLimits(kd_max=0.5)"),
    ("`MitLimits.dm4310()`", PRESET, "MitLimits.dm4310()"),
    ("`Damiao(1, 0x11, limits=lim, timeout_ms=50)`", CONSTRUCT, "Damiao(1, 0x11, limits=lim, timeout_ms=50)"),
    ("`mit_setpoint(q=1.0, kd=0.3)`", CONSTRUCT, "mit_setpoint(q=1.0, kd=0.3)"),
    ("`ControlSetpoint.vel(1.0)`", CONSTRUCT, "ControlSetpoint.vel(1.0)"),
    ("`ControlSetpoint.mit(sp)`", CONSTRUCT, "ControlSetpoint.mit(sp)"),
    ("`lim.p_max` (float)", GETTER, "lim.p_max"),
    ("`d.motor_id` (int)", GETTER, "d.motor_id"),
    ("`cs.mode`", GETTER, "cs.mode"),
    ("`state.torque`", GETTER, "state.torque"),
    ("`repr(lim)` MitLimits", REPR, "repr(lim)"),
    ("`repr(state)` MotorState", REPR, "repr(state)"),
    ("`repr(d)` Damiao", REPR, "repr(d)"),
    ("`Damiao()` TypeError, caught", ERROR, "try:\n    Damiao()\nexcept TypeError:\n    pass"),
]


def namespace(module, state):
    ns = {name: getattr(module, name) for name in
          ("MitLimits", "MitSetpoint", "ControlSetpoint", "Damiao", "mit_setpoint")}
    ns["lim"] = ns["MitLimits"]()
    ns["d"] = ns["Damiao"](1, 0x11)
    ns["sp"] = ns["MitSetpoint"](0.5, 0.0, 20.0, 1.0, 0.0)
    ns["cs"] = ns["ControlSetpoint"].vel(1.0)
    ns["state"] = state
    return ns


CONTENDERS = {
    "tervalin": namespace(tervalin, native.motor_state(1, 0, 0.5, -1.25, 0.1, 35, 40)),
    "reference": namespace(_reference, _reference.motor_state()),
    "dataclass": namespace(contenders, contenders.motor_state()),
}


class NoOpHandler(logging.Handler):
    def emit(self, record):
        pass


class CountingHandler(logging.Handler):
    def __init__(self):
        super().__init__()
        self.count = 0

    def emit(self, record):
        self.count += 1


INFO = 3  # native level number of info, which maps to logging.INFO (20)
REJECTED, FORWARDED = "bench::rejected", "bench::forwarded"


def prepare_loggers():
    rejected = logging.getLogger(REJECTED.replace("::", "."))
    rejected.setLevel(logging.CRITICAL)
    native.log(INFO, REJECTED, "caches the rejecting filter")
    forwarded = logging.getLogger(FORWARDED.replace("::", "."))
    forwarded.setLevel(logging.DEBUG)
    forwarded.propagate = False
    # Make sure the forwarded row really reaches a handler before timing it.
    counter = CountingHandler()
    forwarded.addHandler(counter)
    native.emit_timed(INFO, FORWARDED, 3)
    assert counter.count == 3, "native records did not reach the Python handler"
    forwarded.removeHandler(counter)
    forwarded.addHandler(NoOpHandler())
    return forwarded


def timeit_runner(stmt, ns):
    timer = timeit.Timer(stmt, globals=ns)
    return timer.timeit


def emit_runner(target):
    return lambda number: native.emit_timed(INFO, target, number) / 1e9


def calibrate(run):
    """Loop count that makes one run last about RUN_SECONDS."""
    number = 1
    while True:
        elapsed = run(number)
        if elapsed >= RUN_SECONDS / 10:
            return max(1, int(number * RUN_SECONDS / elapsed))
        number *= 10


def measure(runs):
    """Minimum ns per loop for each named run, interleaved round-robin."""
    numbers = {key: calibrate(run) for key, run in runs.items()}
    best = {key: float("inf") for key in runs}
    for _ in range(REPEATS):
        for key, run in runs.items():
            best[key] = min(best[key], run(numbers[key]) / numbers[key] * 1e9)
    return best


def verdict(ok):
    return "met" if ok else "**not met**"


def table(best, rows, with_log):
    lines = ["| operation | tervalin ns | reference ns | dataclass / pure Python ns | ratio | target | status |",
             "|---|--:|--:|--:|--:|---|---|"]
    misses = []
    for label, (kind, limit), _ in rows:
        t, r, p = (best[(label, c)] for c in CONTENDERS)
        ratio = t / r
        lines.append(f"| {label} | {t:.1f} | {r:.1f} | {p:.1f} | {ratio:.2f} | {kind} ≤ {limit} × reference "
                     f"| {verdict(ratio <= limit)} |")
        if ratio > limit:
            misses.append(f"{label}: {ratio:.2f} (target ≤ {limit})")
    if not with_log:
        return "\n".join(lines), misses
    rejected, forwarded, python = best["rejected"], best["forwarded"], best["python log"]
    ratio = rejected / forwarded
    lines.append(f"| native record rejected by the cache | {rejected:.1f} | — | — | {ratio:.4f} of forwarded "
                 f"| ≤ 1/50 (0.02) of forwarded | {verdict(ratio <= 1 / 50)} |")
    if ratio > 1 / 50:
        misses.append(f"rejected log record: {ratio:.4f} of forwarded (target ≤ 0.02)")
    ratio = forwarded / python
    lines.append(f"| native record forwarded vs Python `makeRecord` + `handle` | {forwarded:.1f} | — | {python:.1f} "
                 f"| {ratio:.2f} × Python | ≤ 1.2 × Python | {verdict(ratio <= 1.2)} |")
    if ratio > 1.2:
        misses.append(f"forwarded log record: {ratio:.2f} × Python (target ≤ 1.2)")
    return "\n".join(lines), misses


def cpu_model():
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


ANALYSIS_MARK = "<!-- analysis: kept by bench.py, written by hand -->"


def write_results(report):
    """Replaces the table in RESULTS.md, keeping the hand-written analysis below the mark."""
    path = pathlib.Path(__file__).with_name("RESULTS.md")
    old = path.read_text() if path.exists() else ""
    analysis = old[old.index(ANALYSIS_MARK):] if ANALYSIS_MARK in old else ANALYSIS_MARK + "\n"
    path.write_text(report + "\n" + analysis)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", metavar="TEXT", action="append",
                        help="time only the rows whose label contains TEXT ('log' for the logging rows); "
                             "a partial run leaves RESULTS.md alone")
    only = parser.parse_args().only
    rows = [row for row in ROWS if not only or any(text in row[0] for text in only)]
    with_log = not only or "log" in only
    logger = prepare_loggers()
    name = logger.name
    runs = {}
    for label, _, stmt in rows:
        for contender, ns in CONTENDERS.items():
            runs[(label, contender)] = timeit_runner(stmt, ns)
    if with_log:
        runs["rejected"] = emit_runner(REJECTED)
        runs["forwarded"] = emit_runner(FORWARDED)
        runs["python log"] = timeit_runner(
            'logger.handle(logger.makeRecord(name, 20, None, 0, "timed record", (), None))',
            {"logger": logger, "name": name})
    empty = min(timeit.repeat("pass", number=1_000_000, repeat=5)) * 1e3

    load_before = os.getloadavg()[0]
    started = time.perf_counter()
    best = measure(runs)
    text, misses = table(best, rows, with_log)

    header = "\n".join([
        "# tervalin benchmark",
        "",
        f"- machine: {platform.platform()}, {cpu_model()}",
        f"- interpreter: CPython {sys.version}",
        f"- tervalin {tervalin.__version__}; minimum of {REPEATS} interleaved runs of ~{RUN_SECONDS * 1000:g} ms each;"
        f" timeit loop overhead (empty statement) {empty:.1f} ns, included in every timeit row",
        f"- load average (1 min) {load_before:.1f} before and {os.getloadavg()[0]:.1f} after timing, on"
        f" {os.cpu_count()} CPUs: a load above the CPU count means other work shared the machine",
        "- ratio: tervalin / reference unless stated; reference = plain C API (`bench/reference/`),"
        " dataclass = `@dataclass(frozen=True, slots=True)` (`bench/contenders.py`)",
    ])
    report = header + "\n\n" + text + "\n"
    print(report)
    print(f"(timing took {time.perf_counter() - started:.0f} s)")
    print("missed targets: " + ("; ".join(misses) if misses else "none"))
    if not only:
        write_results(report)


if __name__ == "__main__":
    main()
