#!/usr/bin/env python3
"""Summarizes the runs that before-after.sh left in a folder.

    before_after.py FOLDER

Reads before-native-N.txt / after-native-N.txt (trellum_bench's printed
table: a build from before the results file existed prints only that) and
before-java-N.tsv / after-java-N.tsv (JvmBench's results files). Prints per
row the median of each side and the median of the per-run after/before
ratios; for the native rows also the same ratio of the textbook peer, which
runs unchanged on both sides and so shows how much the machine drifted.
"""
import glob
import os
import re
import statistics
import sys

ROW = re.compile(r"^(?P<workload>.+?)\s+(?P<unit>[a-z]+ ns/op|B/msg)\s+(?P<library>[\d.]+)\s+(?P<peer>[\d.]+)\s")


def runs(folder, side, kind, extension):
    found = {}
    for path in glob.glob(os.path.join(folder, f"{side}-{kind}-*.{extension}")):
        number = int(re.search(r"-(\d+)\.", path).group(1))
        found[number] = path
    return found


def native_rows(path):
    rows = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = ROW.match(line)
            if m:
                rows[m["workload"].strip()] = (m["unit"], float(m["library"]), float(m["peer"]))
    return rows


def java_rows(path):
    rows = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            workload, unit, contender, value = line.rstrip("\n").split("\t")
            rows[(workload, contender)] = (unit, float(value))
    return rows


def paired(before, after, pick):
    """Medians of each side and of the per-run ratios, over runs both sides have."""
    common = sorted(set(before) & set(after))
    b = [pick(before[n]) for n in common]
    a = [pick(after[n]) for n in common]
    ratios = [x / y for x, y in zip(a, b) if y > 0]
    return statistics.median(b), statistics.median(a), statistics.median(ratios)


def main(folder):
    before = {n: native_rows(p) for n, p in runs(folder, "before", "native", "txt").items()}
    after = {n: native_rows(p) for n, p in runs(folder, "after", "native", "txt").items()}
    print(f"\nnative, single-thread rows ({len(set(before) & set(after))} alternated runs of each build)")
    print(f"{'workload':48} {'unit':>10} {'before':>9} {'after':>9} {'after/before':>13} {'peer a/b':>9}")
    first = after[min(after)] if after else {}
    for workload, (unit, _, _) in first.items():
        have = lambda runs_: {n: r[workload] for n, r in runs_.items() if workload in r}
        b, a = have(before), have(after)
        if not b or not a:
            continue
        lb, la, lr = paired(b, a, lambda r: r[1])
        _, _, pr = paired(b, a, lambda r: r[2])
        print(f"{workload:48} {unit:>10} {lb:9.1f} {la:9.1f} {lr:13.3f} {pr:9.3f}")

    before = {n: java_rows(p) for n, p in runs(folder, "before", "java", "tsv").items()}
    after = {n: java_rows(p) for n, p in runs(folder, "after", "java", "tsv").items()}
    print("\nJava (contender: medians over runs; x PBQ: the within-run ratio to PriorityBlockingQueue,"
          " or for the bounded rows to LinkedBlockingQueue, for the selector rows to 1 registered pipe)")
    print(f"{'workload / contender':70} {'unit':>12} {'before':>9} {'after':>9} {'a/b':>6} "
          f"{'x PBQ before':>13} {'x PBQ after':>12}")
    keys = list(after[min(after)].keys()) if after else []
    for key in keys:
        workload, contender = key
        reference = reference_of(workload, after[min(after)])
        a = {n: r for n, r in after.items() if key in r}
        b = {n: r for n, r in before.items() if key in r}
        xa = statistics.median(r[key][1] / r[reference][1] for r in a.values())
        unit = a[min(a)][key][0]
        if b:
            vb, va, ratio = paired(b, a, lambda r: r[key][1])
            xb = statistics.median(r[key][1] / r[reference][1] for r in b.values())
            print(f"{workload + ' / ' + contender:70} {unit:>12} {vb:9.1f} {va:9.1f} {ratio:6.2f} {xb:13.2f} {xa:12.2f}")
        else:
            va = statistics.median(r[key][1] for r in a.values())
            print(f"{workload + ' / ' + contender:70} {unit:>12} {'-':>9} {va:9.1f} {'-':>6} {'-':>13} {xa:12.2f}")
    return 0


def reference_of(workload, rows):
    """The contender a workload's ratios are taken to: the JDK queue it is
    measured against, else its first contender (the selector rows)."""
    for name in ("PriorityBlockingQueue", "LinkedBlockingQueue"):
        if (workload, name) in rows:
            return (workload, name)
    return next(key for key in rows if key[0] == workload)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
