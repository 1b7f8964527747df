#!/usr/bin/env python3
"""The benchmark's table, CSV and picture from one run's raw figures.

usage: report.py WORK_DIR

Reads, from WORK_DIR:
  samples.csv  one line per measured session or floor pass (written by nvbench --samples)
  figures.csv  the service's handles and private bytes as the system reports them (nvbench --figures)
  linux.csv    what Linux sees of the service process (written by run-bench.sh)
Writes table.md (also printed), table.csv (the same figures, one per line) and latency.png (the
latency distributions of both floors, idle and back-to-back sessions, one panel per path).
"""
import csv
import os
import sys

PATHS = ("refused", "accepted")
# "floor-per-step" is the examination with every read opening the package again, the sequence the
# service first ran: the yardstick of the one-open examination ("floor") and of the service.
MEASUREMENTS = ("floor-per-step", "floor", "idle", "back-to-back")
LABELS = {
    "floor-per-step": "floor (as specified)",
    "floor": "floor (one open)",
    "idle": "idle connect to decision",
    "back-to-back": "back-to-back connect to decision",
}
RATIO_GOAL = 1.10
# The service's idle greeting to decision against the per-step floor of the same run.
GAIN_GOAL = 0.60


def percentile(values, p):
    """The same nearest-rank percentile nvbench prints."""
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    rank = int(p * (len(ordered) - 1) + 0.5)
    return ordered[min(rank, len(ordered) - 1)]


def read_csv(path):
    if not os.path.exists(path):
        return []
    with open(path, newline="") as handle:
        return list(csv.DictReader(handle))


def number(text):
    return float(text) if text not in (None, "") else None


def latencies(samples, path, measurement, column="to_decision_ms"):
    return [number(row[column]) for row in samples
            if row["path"] == path and row["measurement"] == measurement and number(row[column]) is not None]


def handles(row):
    """The per-process query's count, or the process list's where the query answers 0."""
    direct = int(row["handles"]) if row["handles"] else 0
    return direct if direct else int(row["listed_handles"])


def private_bytes(row):
    direct = int(row["private_bytes"]) if row["private_bytes"] else 0
    return direct if direct else int(row["listed_private_bytes"])


def service_span(figures, path):
    """The service's figures before the path's first measured sessions and after its last ones."""
    rows = [row for row in figures if row["path"] == path and not row["measurement"].startswith("floor")]
    if not rows:
        return None
    first = next(row for row in rows if row["moment"] == "before")
    last = [row for row in rows if row["moment"] == "after"][-1]
    return first, last


def linux_span(linux, path):
    rows = {row["moment"]: row for row in linux if row["path"] == path}
    if "after-warm-up" not in rows or "after-run" not in rows:
        return None
    return rows["after-warm-up"], rows["after-run"]


def build(work):
    samples = read_csv(os.path.join(work, "samples.csv"))
    figures = read_csv(os.path.join(work, "figures.csv"))
    linux = read_csv(os.path.join(work, "linux.csv"))
    flat = []   # (path, figure, value, unit)
    md = ["| Path | " + " | ".join(LABELS[m] + ", median / p95 (ms)" for m in MEASUREMENTS)
          + " | ratio idle / floor (medians) | idle greeting to decision / floor (as specified) |",
          "|---|" + "---|" * (len(MEASUREMENTS) + 2)]
    for path in PATHS:
        if not any(row["path"] == path for row in samples):
            continue
        cells = []
        medians = {}
        for measurement in MEASUREMENTS:
            values = latencies(samples, path, measurement)
            if not values:
                cells.append("-")
                continue
            medians[measurement] = percentile(values, 0.5)
            p95 = percentile(values, 0.95)
            cells.append("%.1f / %.1f (n=%d)" % (medians[measurement], p95, len(values)))
            flat += [(path, measurement + " sessions", len(values), ""),
                     (path, measurement + " median", round(medians[measurement], 3), "ms"),
                     (path, measurement + " p95", round(p95, 3), "ms")]
            if not measurement.startswith("floor"):
                connect = latencies(samples, path, measurement, "connect_ms")
                flat.append((path, measurement + " connect median", round(percentile(connect, 0.5), 3), "ms"))
        for floor in ("floor", "floor-per-step"):
            after = latencies(samples, path, floor, "after_result_ms")
            if after:
                flat.append((path, floor + " after-result median", round(percentile(after, 0.5), 3), "ms"))
        ratio = "-"
        if "floor" in medians and "idle" in medians and medians["floor"] > 0:
            value = medians["idle"] / medians["floor"]
            ratio = "%.2f (goal <= %.2f)" % (value, RATIO_GOAL)
            flat.append((path, "ratio idle/floor", round(value, 3), ""))
        gain = "-"
        greeting = latencies(samples, path, "idle", "greeting_to_decision_ms")
        if greeting and medians.get("floor-per-step", 0) > 0:
            value = percentile(greeting, 0.5) / medians["floor-per-step"]
            gain = "%.2f (goal <= %.2f)" % (value, GAIN_GOAL)
            flat += [(path, "idle greeting-to-decision median", round(percentile(greeting, 0.5), 3), "ms"),
                     (path, "ratio idle greeting/floor per step", round(value, 3), "")]
        md.append("| %s | %s | %s | %s |" % (path, " | ".join(cells), ratio, gain))

    service = ["", "| Path | service handles | private bytes (Wine: process list) | VmRSS kB | RssAnon kB | open descriptors |",
               "|---|---|---|---|---|---|"]
    for path in PATHS:
        span = service_span(figures, path)
        view = linux_span(linux, path)
        if not span and not view:
            continue
        cells = []
        if span:
            before, after = span
            cells += ["%d -> %d" % (handles(before), handles(after)),
                      "%d -> %d" % (private_bytes(before), private_bytes(after))]
            flat += [(path, "handles after warm-up", handles(before), ""), (path, "handles after run", handles(after), ""),
                     (path, "private bytes after warm-up", private_bytes(before), "B"),
                     (path, "private bytes after run", private_bytes(after), "B")]
        else:
            cells += ["-", "-"]
        if view:
            before, after = view
            for key, name in (("vmrss_kb", "VmRSS"), ("rssanon_kb", "RssAnon"), ("fds", "descriptors")):
                cells.append("%s -> %s (%+d)" % (before[key], after[key], int(after[key]) - int(before[key])))
                flat += [(path, name + " after warm-up", int(before[key]), "kB" if key != "fds" else ""),
                         (path, name + " after run", int(after[key]), "kB" if key != "fds" else "")]
        else:
            cells += ["-", "-", "-"]
        service.append("| %s | %s |" % (path, " | ".join(cells)))
    if len(service) > 3:
        md += service
    return samples, md, flat


def draw(samples, out):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    colours = {"floor-per-step": "tab:olive", "floor": "tab:green", "idle": "tab:blue", "back-to-back": "tab:red"}
    figure, axes = plt.subplots(1, len(PATHS), figsize=(12, 4.8), sharey=True)
    for axis, path in zip(axes, PATHS):
        for measurement in MEASUREMENTS:
            values = sorted(latencies(samples, path, measurement))
            if not values:
                continue
            shares = [(i + 1) / len(values) for i in range(len(values))]
            median = percentile(values, 0.5)
            axis.step(values, shares, where="post", color=colours[measurement],
                      label="%s (median %.1f ms)" % (LABELS[measurement], median))
            axis.axvline(median, color=colours[measurement], linestyle=":", linewidth=1)
        axis.set_xscale("log")
        axis.set_ylim(0, 1.02)
        axis.set_title("%s package" % path)
        axis.set_xlabel("time to the decision (ms, log scale)")
        axis.grid(True, which="both", alpha=0.3)
        axis.legend(loc="lower right", fontsize=8)
    axes[0].set_ylabel("share of sessions at or below")
    figure.suptitle("What the service adds to its own checks: both floors, idle and back-to-back sessions")
    figure.tight_layout()
    figure.savefig(out, dpi=110)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    work = sys.argv[1]
    samples, md, flat = build(work)
    with open(os.path.join(work, "table.md"), "w") as handle:
        handle.write("\n".join(md) + "\n")
    with open(os.path.join(work, "table.csv"), "w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(("path", "figure", "value", "unit"))
        writer.writerows(flat)
    print("\n".join(md))
    if samples:
        draw(samples, os.path.join(work, "latency.png"))
        print("\npicture: %s" % os.path.join(work, "latency.png"))


if __name__ == "__main__":
    main()
