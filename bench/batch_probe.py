"""The compute limit: ``compute_limit --json --level L`` for every kernel level
the CPU has (AVX-512, AVX2, baseline with 128-bit registers), run before the
searches, after each store size and at the end; the tables use the median of
the runs' best-of rates.

"Unfused" is a multiply then an add, as the kernels score (every sum is
rounded as the reference rounds it); "fused" is one FMA (for baseline, whose
instructions have none, 128-bit FMA where the CPU has it, else none).
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess

from common import cpu_flags


class Probe:
    """Runs of the compute-limit program, per level."""

    def __init__(self, program: str | None):
        self.program = program if program and os.path.exists(program) else None
        flags = cpu_flags()
        self.levels = [lvl for lvl, ok in (("avx512", "avx512f" in flags),
                                           ("avx2", "avx2" in flags and "fma" in flags), ("baseline", True)) if ok]
        self.runs: dict[str, list[dict]] = {lvl: [] for lvl in self.levels}

    def run(self) -> None:
        if not self.program:
            return
        for level in self.levels:
            out = subprocess.run([self.program, "--level", level, "--json"], capture_output=True, text=True,
                                 check=True).stdout
            self.runs[level].append(json.loads(out))

    def machine(self) -> dict | None:
        """The machine's best unfused and best fused rates over its levels
        (the shape a query-tiled kernel uses), and their ratio."""
        rates = {lvl: r for lvl in self.levels if (r := self.rate(lvl)) and r["fused"]}
        if not rates:
            return None
        best = max(rates, key=lambda lvl: rates[lvl]["unfused"])
        fused = max(r["fused"] for r in rates.values())
        return {"level": best, "unfused": rates[best]["unfused"], "fused": fused,
                "ratio": rates[best]["unfused"] / fused}

    def rate(self, level: str) -> dict | None:
        runs = self.runs.get(level) or []
        if not runs:
            return None
        unfused = statistics.median(r["unfused_gflops"] for r in runs)
        out = {"unfused": unfused, "fused": None, "ratio": None, "runs": len(runs),
               "unfused_range": (min(r["unfused_gflops"] for r in runs), max(r["unfused_gflops"] for r in runs)),
               "fused_range": None, "ratio_range": None, "shape": runs[0]["shape"]}
        fused_runs = [r for r in runs if r["fused_gflops"] is not None]
        if fused_runs:
            fused = statistics.median(r["fused_gflops"] for r in fused_runs)
            out.update(fused=fused, ratio=unfused / fused,
                       fused_range=(min(r["fused_gflops"] for r in fused_runs),
                                    max(r["fused_gflops"] for r in fused_runs)),
                       ratio_range=(min(r["ratio"] for r in fused_runs), max(r["ratio"] for r in fused_runs)))
        return out


def probe_table(probe: Probe, level: str) -> list[str]:
    lines = ["| level | runs | unfused GFLOP/s (median; range) | fused GFLOP/s (median; range) | "
             "unfused / fused (range) | kernel runs at |",
             "| --- | ---: | ---: | ---: | ---: | --- |"]
    for lvl in probe.levels:
        r = probe.rate(lvl)
        if not r:
            continue
        fused = (f"{r['fused']:.1f} ({r['fused_range'][0]:.1f}-{r['fused_range'][1]:.1f})"
                 + (" (128-bit FMA)" if lvl == "baseline" else "")) if r["fused"] else "none"
        ratio = f"{r['ratio']:.3f} ({r['ratio_range'][0]:.3f}-{r['ratio_range'][1]:.3f})" if r["ratio"] else "-"
        lines.append(f"| {lvl} ({r['shape']}) | {r['runs']} | {r['unfused']:.1f} ({r['unfused_range'][0]:.1f}-"
                     f"{r['unfused_range'][1]:.1f}) | {fused} | {ratio} | {'yes' if lvl == level else ''} |")
    return lines
