#!/usr/bin/env python3
"""Draws the benchmark's results as an SVG bar chart.

    chart.py OUT.svg RESULTS.tsv... [--title TEXT]

Each results file has lines of workload, unit, contender and value,
tab-separated, as trellum_bench and JvmBench write them. Every workload gets
its own group of bars on its own scale (the units and magnitudes differ too
much to share one): the library's bars beside its peers', shortest fastest.
Written by hand so that the benchmark needs nothing beyond python3.
"""
import datetime
import os
import platform
import sys
from xml.sax.saxutils import escape

WIDTH = 900
LABEL_WIDTH = 260
BAR_SPACE = WIDTH - LABEL_WIDTH - 120
BAR_HEIGHT = 14
BAR_GAP = 4
GROUP_GAP = 14
HEADING = 18

# The library's own paths in one colour, each peer in its own.
OURS = "#1f77b4"
PEER_COLOURS = {
    "textbook peer": "#8c8c8c",
    "oneTBB peer": "#ff7f0e",
    "PriorityBlockingQueue": "#2ca02c",
    "PriorityBlockingQueue + copy": "#98df8a",
}
OUR_PREFIXES = ("libtrellum", "TrellumJNI", "ChannelPipe")


def colour(contender):
    if contender.startswith(OUR_PREFIXES):
        return OURS
    return PEER_COLOURS.get(contender, "#d62728")


def read(paths):
    groups = {}  # workload -> (unit, [(contender, value)]), in order of appearance
    for path in paths:
        with open(path, encoding="utf-8") as f:
            for line in f:
                fields = line.rstrip("\n").split("\t")
                if len(fields) != 4:
                    continue
                workload, unit, contender, value = fields
                groups.setdefault(workload, (unit, []))[1].append((contender, float(value)))
    return groups


def text(x, y, s, anchor="start", weight="normal", size=12):
    return (f'<text x="{x}" y="{y}" text-anchor="{anchor}" font-weight="{weight}" '
            f'font-size="{size}">{escape(s)}</text>')


def machine():
    """When and on what the figures were taken, e.g. '2-core x86_64, Debian 12'."""
    system = platform.system()
    try:
        with open("/etc/os-release", encoding="utf-8") as f:
            fields = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        system = f'{fields.get("NAME", system).strip(chr(34)).split()[0]} {fields.get("VERSION_ID", "").strip(chr(34))}'
    except OSError:
        pass
    return f"{datetime.date.today().isoformat()}, {os.cpu_count()}-core {platform.machine()}, {system.strip()}"


def draw(groups, title):
    parts = []
    y = 30
    parts.append(text(10, y, f"{title} ({machine()})", weight="bold", size=15))
    y += 20
    parts.append(text(10, y, "Medians of interleaved rounds; shorter bars are faster. "
                             "Blue: libtrellum's paths; other colours: the peers.", size=11))
    y += 16
    for workload, (unit, bars) in groups.items():
        y += GROUP_GAP
        parts.append(text(10, y, f"{workload} ({unit})", weight="bold"))
        y += HEADING - 12
        top = max(v for _, v in bars) or 1.0
        for contender, value in bars:
            length = max(1.0, BAR_SPACE * value / top)
            parts.append(text(LABEL_WIDTH - 8, y + BAR_HEIGHT - 3, contender, anchor="end", size=11))
            parts.append(f'<rect x="{LABEL_WIDTH}" y="{y}" width="{length:.1f}" height="{BAR_HEIGHT}" '
                         f'fill="{colour(contender)}"/>')
            parts.append(text(f"{LABEL_WIDTH + length + 6:.1f}", y + BAR_HEIGHT - 3, f"{value:.1f}", size=11))
            y += BAR_HEIGHT + BAR_GAP
    height = y + 20
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{WIDTH}" height="{height}" '
            f'viewBox="0 0 {WIDTH} {height}" font-family="sans-serif">\n'
            f'<rect width="100%" height="100%" fill="white"/>\n' + "\n".join(parts) + "\n</svg>\n")


def main(argv):
    title = "libtrellum benchmarks"
    args = []
    i = 1
    while i < len(argv):
        if argv[i] == "--title" and i + 1 < len(argv):
            title = argv[i + 1]
            i += 2
        else:
            args.append(argv[i])
            i += 1
    if len(args) < 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    out, inputs = args[0], args[1:]
    groups = read(inputs)
    if not groups:
        print("chart.py: no results in " + " ".join(inputs), file=sys.stderr)
        return 1
    with open(out, "w", encoding="utf-8") as f:
        f.write(draw(groups, title))
    print(f"chart: {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
