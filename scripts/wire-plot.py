#!/usr/bin/env python3
"""Poll rate against pumps per line, measured with `de30ctl bench`, as an SVG.

Runs the bench for each pump count and poll kind, writes the figures to
docs/wire-efficiency.csv and draws docs/wire-efficiency.svg. Standard library only.

  scripts/wire-plot.py                    measure (10 s a point) and draw
  scripts/wire-plot.py --duration 30      longer runs
  scripts/wire-plot.py --from-csv         redraw from the committed figures
"""
import argparse
import csv
import os
import re
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CSV = os.path.join(ROOT, "docs", "wire-efficiency.csv")
SVG = os.path.join(ROOT, "docs", "wire-efficiency.svg")
PUMPS = [1, 2, 4, 8, 16, 31]
KINDS = ["short", "multi"]
FIELDS = ["poll", "pumps", "polls", "failed", "seconds", "bytes_per_poll", "wire_limit",
          "achieved", "efficiency_pct", "cpu_pct"]


def measure(ctl, kind, pumps, duration):
    out = subprocess.run([ctl, "bench", "--duration", str(duration), "--pumps", str(pumps),
                          "--poll", kind], check=True, capture_output=True, text=True).stdout

    def grab(pattern):
        return re.search(pattern, out).groups()

    polls, failed = grab(r"polls:\s+(\d+) \((\d+) failed\)")
    per_poll, = grab(r"([\d.]+) a poll")
    limit, = grab(r"wire limit:\s+([\d.]+)")
    achieved, pct = grab(r"achieved:\s+([\d.]+) polls/s, ([\d.]+) %")
    seconds, cpu = grab(r"in ([\d.]+) s, ([\d.]+) % of one core")
    row = dict(poll=kind, pumps=pumps, polls=polls, failed=failed, seconds=seconds,
               bytes_per_poll=per_poll, wire_limit=limit, achieved=achieved,
               efficiency_pct=pct, cpu_pct=cpu)
    print(", ".join(f"{k}={v}" for k, v in row.items()), flush=True)
    return row


def draw(rows):
    width, height = 680, 400
    left, right, top, bottom = 70, 180, 40, 60
    plot_w, plot_h = width - left - right, height - top - bottom
    y_max = 50.0

    def x(pumps):
        return left + plot_w * (PUMPS.index(pumps) / (len(PUMPS) - 1))

    def y(rate):
        return top + plot_h * (1 - rate / y_max)

    parts = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
        f'font-family="sans-serif" font-size="12">',
        f'<rect width="{width}" height="{height}" fill="white"/>',
        f'<text x="{left}" y="22" font-size="14">de30ctl bench: polls per second on one '
        f'2400-baud line (pseudo-terminal, paced)</text>',
    ]
    for tick in range(0, int(y_max) + 1, 10):
        parts.append(f'<line x1="{left}" x2="{left + plot_w}" y1="{y(tick):.1f}" '
                     f'y2="{y(tick):.1f}" stroke="#ddd"/>')
        parts.append(f'<text x="{left - 8}" y="{y(tick) + 4:.1f}" text-anchor="end">{tick}</text>')
    for pumps in PUMPS:
        parts.append(f'<text x="{x(pumps):.1f}" y="{top + plot_h + 18}" '
                     f'text-anchor="middle">{pumps}</text>')
    parts.append(f'<text x="{left + plot_w / 2}" y="{height - 18}" text-anchor="middle">'
                 f'pumps on the line (polled in turn)</text>')
    parts.append(f'<text x="18" y="{top + plot_h / 2}" text-anchor="middle" '
                 f'transform="rotate(-90 18 {top + plot_h / 2})">polls per second, all pumps</text>')
    parts.append(f'<rect x="{left}" y="{top}" width="{plot_w}" height="{plot_h}" fill="none" '
                 f'stroke="black"/>')
    colours = {"short": "#1f77b4", "multi": "#d62728"}
    names = {"short": "GetSost", "multi": "GetSostEx, 4 nozzles"}
    for n, kind in enumerate(KINDS):
        mine = sorted((r for r in rows if r["poll"] == kind), key=lambda r: int(r["pumps"]))
        if not mine:
            continue
        colour = colours[kind]
        limit = " ".join(f'{x(int(r["pumps"])):.1f},{y(float(r["wire_limit"])):.1f}' for r in mine)
        got = " ".join(f'{x(int(r["pumps"])):.1f},{y(float(r["achieved"])):.1f}' for r in mine)
        parts.append(f'<polyline points="{limit}" fill="none" stroke="{colour}" '
                     f'stroke-dasharray="5,4"/>')
        parts.append(f'<polyline points="{got}" fill="none" stroke="{colour}" stroke-width="2"/>')
        for r in mine:
            parts.append(f'<circle cx="{x(int(r["pumps"])):.1f}" cy="{y(float(r["achieved"])):.1f}" '
                         f'r="3" fill="{colour}"/>')
        ly = top + 20 + 50 * n
        lx = left + plot_w + 12
        parts.append(f'<line x1="{lx}" x2="{lx + 24}" y1="{ly}" y2="{ly}" stroke="{colour}" '
                     f'stroke-width="2"/>')
        parts.append(f'<text x="{lx + 30}" y="{ly + 4}">{names[kind]}</text>')
        parts.append(f'<line x1="{lx}" x2="{lx + 24}" y1="{ly + 18}" y2="{ly + 18}" '
                     f'stroke="{colour}" stroke-dasharray="5,4"/>')
        parts.append(f'<text x="{lx + 30}" y="{ly + 22}">its wire limit</text>')
    parts.append("</svg>")
    with open(SVG, "w") as f:
        f.write("\n".join(parts) + "\n")
    print(f"wrote {os.path.relpath(SVG, ROOT)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--duration", type=float, default=10)
    parser.add_argument("--ctl", default=os.path.join(ROOT, "build", "release", "bin", "de30ctl"))
    parser.add_argument("--from-csv", action="store_true")
    args = parser.parse_args()
    if args.from_csv:
        with open(CSV) as f:
            rows = list(csv.DictReader(f))
    else:
        rows = [measure(args.ctl, kind, pumps, args.duration) for kind in KINDS for pumps in PUMPS]
        with open(CSV, "w", newline="") as f:
            writer = csv.DictWriter(f, fieldnames=FIELDS)
            writer.writeheader()
            writer.writerows(rows)
        print(f"wrote {os.path.relpath(CSV, ROOT)}")
    draw(rows)


if __name__ == "__main__":
    main()
