"""Turns the collected results into the printed tables, the JSON file and the plot."""

import json
import statistics

SINGLE_TARGET = "apply_gate 1 target"
PEERS = ("qulacs", "aer", "numpy")
SIMULATOR_ORDER = ("korvel", *PEERS)


def format_seconds(seconds):
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def _qubit_columns(results):
    return sorted(int(n) for n in results["sweep"])


def _cases(results, simulator, qubits):
    entry = results["simulators"].get(simulator, {}).get(str(qubits), {})
    return entry.get("cases", {})


def table_rows(results):
    """(label, {qubits: seconds}) in display order; every row is later divided by the sweep."""
    columns = _qubit_columns(results)
    rows = [("bandwidth sweep (min of repeats)", {n: results["sweep"][str(n)]["min_s"] for n in columns})]
    for simulator in SIMULATOR_ORDER:
        names = []
        for n in columns:
            names.extend(name for name in _cases(results, simulator, n) if name not in names)
        for name in names:
            stats = [("worst_s", "worst"), ("median_s", "median")]
            sample = next(_cases(results, simulator, n)[name] for n in columns if name in _cases(results, simulator, n))
            if "per_target_s" not in sample:
                stats = [("median_s", None)]
            for key, word in stats:
                label = f"{simulator} {name}" + (f", {word} target" if word else "")
                rows.append((label, {n: _cases(results, simulator, n).get(name, {}).get(key) for n in columns}))
    return rows


def render_main_table(results):
    columns = _qubit_columns(results)
    sweep = {n: results["sweep"][str(n)]["min_s"] for n in columns}
    rows = table_rows(results)
    label_width = max(len(label) for label, _ in rows)
    header = f"{'operation (time, × bandwidth sweep)':<{label_width}}" + "".join(f" | {f'n={n}':>19}" for n in columns)
    lines = [header, "-" * len(header)]
    for label, values in rows:
        cells = []
        for n in columns:
            seconds = values.get(n)
            cells.append("-" if seconds is None else f"{format_seconds(seconds)} ({seconds / sweep[n]:.2f}×)")
        lines.append(f"{label:<{label_width}}" + "".join(f" | {cell:>19}" for cell in cells))
    return "\n".join(lines)


def peer_speedups(results):
    """{peer: {qubits: {"median": x, "least": y}}}: the peer's time over korvel's on the
    targets both were timed on; above 1 means korvel is faster."""
    speedups = {}
    for peer in PEERS:
        for n in _qubit_columns(results):
            ours = _cases(results, "korvel", n).get(SINGLE_TARGET, {}).get("per_target_s", {})
            theirs = _cases(results, peer, n).get(SINGLE_TARGET, {}).get("per_target_s", {})
            common = [t for t in theirs if t in ours and ours[t] > 0]
            if common:
                ratios = [theirs[t] / ours[t] for t in common]
                speedups.setdefault(peer, {})[str(n)] = {"median": statistics.median(ratios), "least": min(ratios)}
    return speedups


def render_speedups(results):
    speedups = results.get("peer_speedups") or {}
    if not speedups:
        return "korvel against peers: not measured (korvel or every peer missing)"
    columns = _qubit_columns(results)
    lines = ["korvel speed-up per single-target gate (peer time / korvel time on the same targets; "
             "median, least):"]
    for peer, by_n in speedups.items():
        cells = [f"n={n}: {by_n[str(n)]['median']:.2f}× ({by_n[str(n)]['least']:.2f}×)"
                 for n in columns if str(n) in by_n]
        lines.append(f"  {peer:<7} " + ", ".join(cells))
    return "\n".join(lines)


def render_overhead(results):
    overhead = results.get("overhead")
    if not overhead or "overhead_s" not in overhead:
        return f"call overhead: {overhead.get('skipped') if overhead else 'not measured'}"
    lines = ["call overhead (per call, timeit):"]
    for qubits, calls in overhead["overhead_s"].items():
        cells = ", ".join(f"{call} {seconds * 1e6:.3f} µs" for call, seconds in calls.items())
        lines.append(f"  n={qubits}: {cells}")
    return "\n".join(lines)


def render_memory(results):
    memory = results.get("memory")
    if not memory or "peak_rss_bytes" not in memory:
        return f"peak memory: {memory.get('skipped') if memory else 'not measured'}"
    mib = 1 << 20
    return (f"peak memory, {memory['qubits']} qubits through every operation but probabilities: "
            f"{memory['peak_rss_bytes'] / mib:.0f} MiB resident at peak = {memory['peak_over_state']:.3f}× the "
            f"{memory['state_bytes'] / mib:.0f} MiB state (interpreter and libraries before the register: "
            f"{memory['baseline_peak_rss_bytes'] / mib:.0f} MiB; growth {memory['growth_over_state']:.3f}× the state)")


def render_skips(results):
    lines = []
    for simulator, by_n in results["simulators"].items():
        reasons = sorted({entry["skipped"] for entry in by_n.values() if "skipped" in entry})
        lines.extend(f"skipped {simulator}: {reason}" for reason in reasons)
    return "\n".join(lines)


def render(results):
    parts = [render_main_table(results), render_speedups(results), render_overhead(results),
             render_memory(results), render_skips(results)]
    machine = results["machine"]
    parts.append(f"machine: {machine['cpu_model']}, {machine['logical_cpus']} logical CPUs, "
                 f"{machine['memory_bytes'] / (1 << 30):.1f} GiB, {machine['date_utc']}, "
                 f"load average at start {', '.join(f'{x:.2f}' for x in machine['load_average_at_start'])}; "
                 f"{results['settings']['threads']} threads; source revision "
                 f"{results['settings'].get('source_revision') or 'unknown'}")
    return "\n\n".join(part for part in parts if part)


def write_json(results, path):
    path.parent.mkdir(parents=True, exist_ok=True)
    temporary = path.with_suffix(".json.tmp")
    temporary.write_text(json.dumps(results, indent=1, sort_keys=False) + "\n")
    temporary.replace(path)


def write_plot(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    columns = _qubit_columns(results)
    sweep = [results["sweep"][str(n)]["min_s"] for n in columns]
    series = {"bandwidth sweep": (columns, sweep, "k", "--")}
    styles = {"korvel": "tab:red", "qulacs": "tab:blue", "aer": "tab:purple", "numpy": "tab:green"}
    for simulator, colour in styles.items():
        for key, word, line in (("median_s", "median", "-"), ("worst_s", "worst", ":")):
            points = [(n, _cases(results, simulator, n).get(SINGLE_TARGET, {}).get(key)) for n in columns]
            points = [(n, s) for n, s in points if s]
            if points:
                series[f"{simulator} ({word} target)"] = (*zip(*points), colour, line)

    figure, (absolute, relative) = plt.subplots(1, 2, figsize=(14, 5))
    sweep_at = dict(zip(columns, sweep))
    for label, (xs, ys, colour, line) in series.items():
        absolute.plot(xs, ys, line, color=colour, marker="o", label=label)
        relative.plot(xs, [y / sweep_at[x] for x, y in zip(xs, ys)], line, color=colour, marker="o", label=label)
    absolute.set(yscale="log", xlabel="qubits n", ylabel="seconds per single-qubit gate",
                 title="Time per dense single-qubit gate")
    relative.set(yscale="log", xlabel="qubits n", ylabel="× bandwidth sweep (read + write of 2^n amplitudes)",
                 title="Relative to the memory-bandwidth limit")
    relative.axhline(1.15, color="grey", linewidth=0.8)
    for axis in (absolute, relative):
        axis.set_xticks(columns)
        axis.grid(True, which="both", alpha=0.3)
    relative.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.02, 1.0))
    machine = results["machine"]
    figure.suptitle(f"{machine['cpu_model']}, {results['settings']['threads']} threads, {machine['date_utc']}",
                    fontsize=9)
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=110)
    plt.close(figure)


README_START = "<!-- latest results: written by run.py -->"
README_END = "<!-- end of latest results -->"


def update_readme(results, readme, plot_name):
    """Replaces the block between the two markers of the README with the table and the plot."""
    text = readme.read_text()
    if README_START not in text or README_END not in text:
        return False
    head, rest = text.split(README_START, 1)
    _, tail = rest.split(README_END, 1)
    block = f"{README_START}\n```text\n{results['table']}\n```\n\n![time per gate against n]({plot_name})\n{README_END}"
    readme.write_text(head + block + tail)
    return True
