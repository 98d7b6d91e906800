"""Times tervalin against the hand-written C API, Cython and other contenders.

Runs inside build/bench/tests/native/tervalin_embed, where tervalin is built
in and `_tervalin_native` reaches the native log facade; bench/run builds the
contender extensions and puts them on the path. Every timing is the minimum
over several runs, and the runs go round-robin over all measurements so that
machine noise hits them alike. Timings include timeit's loop overhead (the
empty statement's cost is printed for scale). instructions.py counts the same
measurements under callgrind, which gives the figures of record.

What is measured is described by the sections that sections() returns: each
names its measurements (`measures`) and turns their values (nanoseconds or
instructions per operation) into a table with targets (`table`). A new kind
of row is a new section class added there; a new class row is a Row in ROWS.
"""

import argparse
import logging
import os
import pathlib
import platform
import sys
import time
import timeit
from collections.abc import Callable
from dataclasses import dataclass

import _cython_classes
import _handwritten
import _reference
import _tervalin_native as native
import agreement
import contenders
import kit_extension
import tervalin

# Many short runs rather than a few long ones: on a shared machine a short run
# has a fair chance of finishing inside one undisturbed time slice, and the
# minimum keeps exactly those runs.
REPEATS = 250
RUN_SECONDS = 0.002  # length of one timed run


# ---- what a measurement is ----


@dataclass(frozen=True)
class Statement:
    """A Python statement, looped by the interpreter."""

    group: str  # instructions.py counts each group in a process of its own
    stmt: str
    namespace: dict


@dataclass(frozen=True)
class NativeLoop:
    """A native call that runs the operation `n` times itself and returns the nanoseconds taken."""

    group: str
    run: Callable[[int], int]


@dataclass(frozen=True)
class Values:
    """Per-operation values of one run, and how to print them."""

    values: dict
    unit: str  # "ns" or "instructions"

    def __getitem__(self, key):
        return self.values[key]

    def text(self, value):
        return f"{value:.1f}" if self.unit == "ns" else f"{value:.0f}"


def verdict(ok):
    return "met" if ok else "**missed**"


# ---- the classes: tervalin next to its contenders ----


@dataclass(frozen=True)
class Contender:
    title: str
    module: object
    state: tuple = (1, 0, 0.5, -1.25, 0.1, 35, 40)  # fields of the MotorState row

    def namespace(self):
        m = self.module
        ns = {
            name: getattr(m, name) for name in ("MitLimits", "MitSetpoint", "ControlSetpoint", "Damiao", "mit_setpoint")
        }
        ns["lim"] = m.MitLimits()
        ns["d"] = m.Damiao(1, 0x11)
        ns["sp"] = m.MitSetpoint(0.5, 0.0, 20.0, 1.0, 0.0)
        ns["cs"] = m.ControlSetpoint.vel(1.0)
        ns["state"] = (native.motor_state if m is tervalin else m.motor_state)(*self.state)
        return ns


CONTENDERS = {
    "tervalin": Contender("tervalin", tervalin),
    "handwritten": Contender("hand-written", _handwritten),
    "cython": Contender("Cython", _cython_classes),
    "reference": Contender("PyArg", _reference),
    "dataclass": Contender("dataclass", contenders),
}
NAMESPACES = {key: contender.namespace() for key, contender in CONTENDERS.items()}
# Contenders whose texts must equal tervalin's (the others print their own way).
SAME_TEXT = ("handwritten", "cython")


@dataclass(frozen=True)
class Kind:
    """A kind of row and its targets: tervalin ≤ limit × contender, for each (contender, limit)."""

    name: str
    targets: tuple

    def describe(self):
        return ", ".join(f"≤ {limit:g} × {CONTENDERS[c].title}" for c, limit in self.targets)


CONSTRUCTION = Kind("construction", (("cython", 1.0), ("handwritten", 1.1)))
GETTER = Kind("getter", (("handwritten", 1.1),))
REPR = Kind("repr", (("cython", 0.6),))
ERROR = Kind("binding error", (("handwritten", 1.15),))


@dataclass(frozen=True)
class Row:
    label: str
    kind: Kind
    code: str  # an expression; for binding errors, the failing call

    @property
    def stmt(self):
        if self.kind is ERROR:
            return f"try:\n    {self.code}\nexcept TypeError:\n    pass"
        return self.code


ROWS = [
    Row("`MitLimits(1.0, 2.0, 3.0, 4.0, 5.0)`", CONSTRUCTION, "MitLimits(1.0, 2.0, 3.0, 4.0, 5.0)"),
    Row("`MitLimits(kd_max=0.5)`", CONSTRUCTION, "MitLimits(kd_max=0.5)"),
    Row("`MitLimits.dm4310()`", CONSTRUCTION, "MitLimits.dm4310()"),
    Row("`MitSetpoint(q=1.0, dq=2.0)`", CONSTRUCTION, "MitSetpoint(q=1.0, dq=2.0)"),
    Row("`mit_setpoint(q=1.0, kd=0.3)`", CONSTRUCTION, "mit_setpoint(q=1.0, kd=0.3)"),
    Row("`ControlSetpoint.vel(1.0)`", CONSTRUCTION, "ControlSetpoint.vel(1.0)"),
    Row("`ControlSetpoint.vel(velocity=1.0)`", CONSTRUCTION, "ControlSetpoint.vel(velocity=1.0)"),
    Row("`ControlSetpoint.pos_vel(1.0, 2.0)`", CONSTRUCTION, "ControlSetpoint.pos_vel(1.0, 2.0)"),
    Row("`ControlSetpoint.force_pos(1.0, 2.0, 0.3)`", CONSTRUCTION, "ControlSetpoint.force_pos(1.0, 2.0, 0.3)"),
    Row(
        "`ControlSetpoint.force_pos(position=1.0, velocity_limit=2.0, torque_ratio=0.3)`",
        CONSTRUCTION,
        "ControlSetpoint.force_pos(position=1.0, velocity_limit=2.0, torque_ratio=0.3)",
    ),
    Row("`ControlSetpoint.mit(sp)`", CONSTRUCTION, "ControlSetpoint.mit(sp)"),
    Row("`ControlSetpoint.mit(setpoint=sp)`", CONSTRUCTION, "ControlSetpoint.mit(setpoint=sp)"),
    Row("`Damiao(1, 0x11, limits=lim, timeout_ms=50)`", CONSTRUCTION, "Damiao(1, 0x11, limits=lim, timeout_ms=50)"),
    Row("`Damiao(motor_id=1, master_id=2)`", CONSTRUCTION, "Damiao(motor_id=1, master_id=2)"),
    Row("`lim.p_max` (float)", GETTER, "lim.p_max"),
    Row("`d.motor_id` (int)", GETTER, "d.motor_id"),
    Row("`cs.mode`", GETTER, "cs.mode"),
    Row("`state.torque`", GETTER, "state.torque"),
    Row("`repr(lim)` MitLimits", REPR, "repr(lim)"),
    Row("`repr(state)` MotorState", REPR, "repr(state)"),
    Row("`repr(d)` Damiao", REPR, "repr(d)"),
    Row("`MitLimits(1, 2, 3, 4, 5, 6)` TypeError, caught", ERROR, "MitLimits(1, 2, 3, 4, 5, 6)"),
    Row("`Damiao()` TypeError, caught", ERROR, "Damiao()"),
]


def check_contenders():
    """The rows measure the same thing everywhere: the same behaviour (agreement.py), equal texts,
    and the error rows do fail."""
    problems = agreement.differences(NAMESPACES)
    for row in ROWS:
        if row.kind is REPR:
            texts = {c: eval(row.code, NAMESPACES[c]) for c in ("tervalin", *SAME_TEXT)}
            if len(set(texts.values())) != 1:
                problems.append(f"{row.label}: the texts differ: {texts}")
        if row.kind is ERROR:
            for c, ns in NAMESPACES.items():
                try:
                    eval(row.code, ns)
                except TypeError:
                    continue
                problems.append(f"{row.label}: {c} raised no TypeError")
    if problems:
        raise SystemExit("the contenders disagree:\n" + "\n".join(problems))


class ClassSection:
    title = "Classes"

    def __init__(self, rows):
        self.rows = rows

    def measures(self):
        return {(row.label, c): Statement(c, row.stmt, NAMESPACES[c]) for row in self.rows for c in CONTENDERS}

    def table(self, v: Values):
        titles = [contender.title for contender in CONTENDERS.values()]
        lines = [
            "| operation | " + " | ".join(titles) + " | ÷ hand-written | ÷ Cython | target | status |",
            "|---|" + "--:|" * (len(titles) + 2) + "---|---|",
        ]
        misses = []
        for row in self.rows:
            own = v[(row.label, "tervalin")]
            ratio = {c: own / v[(row.label, c)] for c in CONTENDERS}
            missed = [
                f"{ratio[c]:.2f} × {CONTENDERS[c].title} (≤ {limit:g})"
                for c, limit in row.kind.targets
                if ratio[c] > limit
            ]
            cells = [v.text(v[(row.label, c)]) for c in CONTENDERS]
            lines.append(
                f"| {row.label} | "
                + " | ".join(cells)
                + f" | {ratio['handwritten']:.2f} | {ratio['cython']:.2f} | {row.kind.name} "
                f"{row.kind.describe()} | {verdict(not missed)} |"
            )
            if missed:
                misses.append(f"{row.label}: " + ", ".join(missed))
        return lines, misses


# ---- the logging bridge ----


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
TRACE = 5  # above the facade's maximum level: never forwarded
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
    kit_extension.log_repeat(INFO, FORWARDED, 2)
    assert counter.count == 5, "native records did not reach the Python handler"
    forwarded.removeHandler(counter)
    forwarded.addHandler(NoOpHandler())
    return forwarded


class LogSection:
    title = "Logging bridge"

    def measures(self):
        logger = prepare_loggers()
        return {
            "python log": Statement(
                "log",
                'logger.handle(logger.makeRecord(name, 20, None, 0, "timed record", (), None))',
                {"logger": logger, "name": logger.name},
            ),
            "forwarded": NativeLoop("log", lambda n: native.emit_timed(INFO, FORWARDED, n)),
            "rejected": NativeLoop("log", lambda n: native.emit_timed(INFO, REJECTED, n)),
            # The same records from an extension built separately on the kit (<tervalin/log.hpp>).
            "kit forwarded": NativeLoop("log", lambda n: kit_extension.log_repeat(INFO, FORWARDED, n)),
            "kit rejected": NativeLoop("log", lambda n: kit_extension.log_repeat(INFO, REJECTED, n)),
            "kit trace": NativeLoop("log", lambda n: kit_extension.log_repeat(TRACE, REJECTED, n)),
        }

    def table(self, v: Values):
        rejected, forwarded, python = v["rejected"], v["forwarded"], v["python log"]
        lines = ["| measurement | tervalin | Python `logging` | ratio | target | status |", "|---|--:|--:|--:|---|---|"]
        misses = []
        ratio = rejected / forwarded
        lines.append(
            f"| native record rejected by the cache | {v.text(rejected)} | — | {ratio:.4f} of forwarded "
            f"| ≤ 1/50 (0.02) of forwarded | {verdict(ratio <= 1 / 50)} |"
        )
        if ratio > 1 / 50:
            misses.append(f"rejected log record: {ratio:.4f} of forwarded (target ≤ 0.02)")
        ratio = forwarded / python
        lines.append(
            f"| native record forwarded vs Python `makeRecord` + `handle` | {v.text(forwarded)} "
            f"| {v.text(python)} | {ratio:.2f} × Python | ≤ 1.2 × Python | {verdict(ratio <= 1.2)} |"
        )
        if ratio > 1.2:
            misses.append(f"forwarded log record: {ratio:.2f} × Python (target ≤ 1.2)")
        kit_rejected, kit_forwarded = v["kit rejected"], v["kit forwarded"]
        ratio = kit_rejected / kit_forwarded
        lines.append(
            f"| separately built extension (kit): record rejected by the cache | {v.text(kit_rejected)} | — "
            f"| {ratio:.4f} of forwarded | ≤ 1/50 (0.02) of forwarded | {verdict(ratio <= 1 / 50)} |"
        )
        if ratio > 1 / 50:
            misses.append(f"kit's rejected log record: {ratio:.4f} of forwarded (target ≤ 0.02)")
        ratio = kit_forwarded / python
        lines.append(
            f"| separately built extension (kit): record forwarded | {v.text(kit_forwarded)} "
            f"| {v.text(python)} | {ratio:.2f} × Python | ≤ 1.2 × Python | {verdict(ratio <= 1.2)} |"
        )
        if ratio > 1.2:
            misses.append(f"kit's forwarded log record: {ratio:.2f} × Python (target ≤ 1.2)")
        lines.append(
            f"| separately built extension (kit): trace record, refused before any call | "
            f"{v.text(v['kit trace'])} | — | {v['kit trace'] / kit_forwarded:.4f} of forwarded | — | — |"
        )
        return lines, misses


def sections(only=None):
    """The sections to measure; `only` keeps the class rows whose label contains one of its texts
    ("log" selects the logging section)."""
    rows = [row for row in ROWS if not only or any(text in row.label for text in only)]
    chosen = [ClassSection(rows)] if rows else []
    if not only or "log" in only:
        chosen.append(LogSection())
    return chosen


def report(chosen, values: Values):
    """The markdown tables of all sections, and the missed targets."""
    parts, misses = [], []
    for section in chosen:
        lines, missed = section.table(values)
        parts.append(f"### {section.title}\n\n" + "\n".join(lines))
        misses += missed
    return "\n\n".join(parts), misses


# ---- RESULTS.md ----

ANALYSIS_MARK = "<!-- analysis: kept by bench.py, written by hand -->"
GENERATED_MARKS = {
    "instructions": "<!-- instructions: written by bench/run --instructions -->",
    "timing": "<!-- timing: written by bench/run -->",
}
TITLE = "# tervalin benchmark\n"


def write_results(part, text):
    """Replaces one generated part of RESULTS.md, keeping the other and the hand-written analysis."""
    path = pathlib.Path(__file__).with_name("RESULTS.md")
    head, mark, analysis = (path.read_text() if path.exists() else "").partition(ANALYSIS_MARK)
    if not mark:
        head, analysis = "", ""
    parts = {}
    for name, start in GENERATED_MARKS.items():
        _, found, rest = head.partition(start)
        if found:  # up to the nearest following mark
            parts[name] = min((rest.partition(m)[0] for m in GENERATED_MARKS.values()), key=len).strip("\n")
    parts[part] = text.strip("\n")
    body = "".join(f"{mark}\n{parts[name]}\n\n" for name, mark in GENERATED_MARKS.items() if name in parts)
    path.write_text(TITLE + "\n" + body + ANALYSIS_MARK + (analysis or "\n"))


def describe_contenders():
    return (
        "contenders: hand-written = the fastest plain C-API version with the module's behaviour "
        "(`bench/reference/handwritten.cpp`, the bar), Cython = `cdef` classes "
        "(`bench/reference/cython_classes.pyx`, its argument errors carry Cython's messages), "
        "PyArg = the everyday C API with `PyArg_ParseTupleAndKeywords` (`bench/reference/reference.c`), "
        "dataclass = `@dataclass(frozen=True, slots=True)` (`bench/contenders.py`); "
        "÷ = tervalin divided by that contender"
    )


# ---- timing ----


def runner(measure):
    """run(n) -> seconds for n operations."""
    if isinstance(measure, Statement):
        return timeit.Timer(measure.stmt, globals=measure.namespace).timeit
    return lambda number: measure.run(number) / 1e9


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


def cpu_model():
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--only",
        metavar="TEXT",
        action="append",
        help="time only the rows whose label contains TEXT ('log' for the logging rows); "
        "a partial run leaves RESULTS.md alone",
    )
    only = parser.parse_args().only
    check_contenders()
    chosen = sections(only)
    runs = {key: runner(m) for section in chosen for key, m in section.measures().items()}
    empty = min(timeit.repeat("pass", number=1_000_000, repeat=5)) * 1e3

    load_before = os.getloadavg()[0]
    started = time.perf_counter()
    best = measure(runs)
    tables, misses = report(chosen, Values(best, "ns"))

    text = "\n".join(
        [
            "## Time per operation (ns)",
            "",
            f"- machine: {platform.platform()}, {cpu_model()}",
            f"- interpreter: CPython {sys.version}",
            f"- tervalin {tervalin.__version__}; minimum of {REPEATS} interleaved runs"
            f" of ~{RUN_SECONDS * 1000:g} ms each;"
            f" timeit loop overhead (empty statement) {empty:.1f} ns, included in every timeit row",
            f"- load average (1 min) {load_before:.1f} before and {os.getloadavg()[0]:.1f} after timing, on"
            f" {os.cpu_count()} CPUs: a load above the CPU count means other work shared the machine",
            f"- {describe_contenders()}",
            "",
            tables,
        ]
    )
    print(text)
    print(f"\n(timing took {time.perf_counter() - started:.0f} s)")
    print("missed targets: " + ("; ".join(misses) if misses else "none"))
    if not only:
        write_results("timing", text)


if __name__ == "__main__":
    main()
