"""The picture of the single-query benchmark: time per query against store
size at d = 128 (log-log), and the same relative to the one-core read limit.
"""

from __future__ import annotations


def plot(results: list, path: str, w: int, title: str) -> str | None:
    """Draws the picture into `path`; returns why not, or None."""
    sweep = sorted((r for r in results if r["dim"] == 128), key=lambda r: r["n"])
    if len(sweep) < 2:
        return "fewer than two sizes at d = 128"
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as e:
        return f"matplotlib missing ({e})"
    series = [  # (method, label, colour, line style, marker)
        ("tessaray search", "tessaray search", "tab:blue", "-", "o"),
        (f"tessaray parallel_search ({w} workers)", f"tessaray parallel_search ({w} workers)", "tab:blue", "--", "s"),
        ("numpy 1 thread", "numpy, 1 thread", "tab:orange", "-", "o"),
        (f"numpy {w} threads", f"numpy, {w} threads", "tab:orange", "--", "s"),
        ("faiss 1 thread", "faiss IndexFlatIP, 1 thread", "tab:green", "-", "o"),
        (f"faiss {w} threads", f"faiss IndexFlatIP, {w} threads", "tab:green", "--", "s"),
        ("read limit, 1 core", "read limit, 1 core", "black", "-", None),
        (f"read limit, {w} cores", f"read limit, {w} cores", "black", "--", None),
    ]
    rows = [r["n"] for r in sweep]
    fig, (left, right) = plt.subplots(1, 2, figsize=(13, 5.4), layout="constrained")
    for method, label, colour, style, marker in series:
        if not all(method in r["medians"] for r in sweep):
            continue
        t = [r["medians"][method] for r in sweep]
        left.plot(rows, [x * 1e3 for x in t], color=colour, linestyle=style, marker=marker, markersize=4, label=label)
        right.plot(rows, [x / r["medians"]["read limit, 1 core"] for x, r in zip(t, sweep)], color=colour,
                   linestyle=style, marker=marker, markersize=4, label=label)
    left.set_xscale("log")
    left.set_yscale("log")
    left.set_xlabel("rows in the store (d = 128)")
    left.set_ylabel("time per query (ms)")
    left.set_title("time per query, k = 10, query as a list")
    left.grid(True, which="major", alpha=0.4)
    left.grid(True, which="minor", alpha=0.12)
    left.legend(fontsize=8)
    right.set_xscale("log")
    right.set_yscale("log")
    from matplotlib.ticker import LogLocator, NullFormatter, ScalarFormatter

    right.yaxis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
    right.yaxis.set_major_formatter(ScalarFormatter())
    right.yaxis.set_minor_formatter(NullFormatter())
    right.set_xlabel("rows in the store (d = 128)")
    right.set_ylabel("time / one-core read limit")
    right.set_title("the same, relative to reading the store's bytes once on one core")
    right.axhline(1.0, color="grey", linewidth=0.8)
    right.grid(True, which="major", alpha=0.4)
    right.grid(True, which="minor", alpha=0.12)
    small = [r["n"] for r in sweep if r["warm"]]
    if small:
        for ax in (left, right):
            ax.axvspan(rows[0] / 1.2, max(small) * 1.2, color="grey", alpha=0.08, linewidth=0)
        for ax in (left, right):
            ax.text(rows[0] / 1.15, ax.get_ylim()[0] * 1.05, " fits in cache (timed warm)", fontsize=8,
                    va="bottom", color="dimgrey")
    fig.suptitle(title, fontsize=10)
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return None
