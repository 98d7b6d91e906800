"""Rejected native records on 1, 2, 4 and 8 threads while another thread keeps
storing new cache entries: the time per record and the slowest record.

Run by `bench/run --threads` inside the embedding program. Every record goes
through the bridge's native check and is rejected by its cached filter; the
storing thread replaces the cache's tree as fast as it can, so readers run
against a writer all the time. Times include one reading of the clock per
record (its cost is printed). With more threads than cores, a record that
spans a preemption is as slow as the scheduler makes it: the p99.9 column
shows what the cache itself costs at the tail.
"""

import os

import _tervalin_native as native
import tervalin  # noqa: F401  (installs the bridge)

RECORDS = 500_000  # per thread
TARGETS = 64  # distinct targets the storing thread cycles through
THREADS = (1, 2, 4, 8)


def main():
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


if __name__ == "__main__":
    main()
