#!/usr/bin/env python3
"""Independent reference for the golden stage-2 cases.

Recomputes phase2/*.json of every case folder from its events/ with plain
Python: exact means and variances as Fractions, correctly rounded square
roots by integer square root, medians by a stable sort. It shares no code
with the engine, so the golden files check the engine rather than restate it.

Usage: reference.py CASE_DIR...   (writes CASE_DIR/phase2/*.json)
"""
import json
import math
import os
import sys
from fractions import Fraction

FAMILIES = [("git", "git"), ("ci", "github_actions"), ("testing", "junit_xml"),
            ("coverage", "coverage_xml"), ("dependency", "pip"), ("schema", "openapi"),
            ("deployment", "github_releases"), ("config", "terraform"),
            ("security", "trivy"), ("error_tracking", "sentry")]


def num(v):
    return int(v) if isinstance(v, bool) else v


def correctly_rounded_sqrt(q):
    if q == 0:
        return 0.0
    p, d = q.numerator, q.denominator
    k = max(0, (140 + 2 * d.bit_length() - p.bit_length()) // 2 + 1)
    scaled, rem = divmod(p << (2 * k), d)
    root = math.isqrt(scaled)
    if rem or root * root != scaled:
        root |= 1  # round to odd: the double rounding below stays exact
    return float(Fraction(root, 1 << k))


def mean(values):
    total = sum(Fraction(v) for v in values) / len(values)
    if all(isinstance(v, int) for v in values) and total.denominator == 1:
        return int(total)
    return float(total)


def pstdev(values):
    if len(values) < 2:
        return 0.0
    xs = [Fraction(v) for v in values]
    m = sum(xs) / len(xs)
    return correctly_rounded_sqrt(sum((x - m) ** 2 for x in xs) / len(xs))


def median(values):
    s = sorted(values)
    n = len(s)
    if n % 2:
        return s[n // 2]
    a, b = s[n // 2 - 1], s[n // 2]
    if isinstance(a, int) and isinstance(b, int):
        return float(Fraction(a + b, 2))
    return (float(a) + float(b)) / 2.0


def robust(observed, values):
    med = median(values)
    mad = median([abs(v - med) for v in values])
    if mad > 0:
        return round(0.6745 * (observed - med) / mad, 6), "modified_zscore", med, mad
    s = sorted(values)
    iqr = s[3 * len(s) // 4] - s[len(s) // 4]
    if iqr > 0:
        return round((observed - med) / (iqr / 1.35), 6), "iqr_normalized", med, 0.0
    return (0.0 if observed == med else None), "degenerate", med, 0.0


def get(p, *path, default):
    for key in path[:-1]:
        p = p.get(key, {})
    return p.get(path[-1], default)


def flag(v):
    return 1.0 if v not in (None, False, 0, "", [], {}) else 0.0


def extract(family, p):
    if family == "ci":
        conclusion = p["conclusion"] if "conclusion" in p else p.get("status", "")
        return {"run_duration": get(p, "timing", "duration_seconds", default=0.0),
                "run_failed": 1.0 if conclusion == "failure" else 0.0}
    if family == "testing":
        total = get(p, "summary", "total", default=0)
        return {"total_tests": total,
                "failure_rate": get(p, "summary", "failed", default=0) / max(total, 1),
                "skip_rate": get(p, "summary", "skipped", default=0) / max(total, 1),
                "suite_duration": get(p, "execution", "duration_seconds", default=0.0)}
    if family == "coverage":
        return {"line_rate": p.get("line_rate", 0.0), "branch_rate": p.get("branch_rate", 0.0)}
    if family == "dependency":
        out = {"dependency_count": get(p, "snapshot", "total_count", default=0)}
        if p.get("ecosystem", "") in ("npm", "go", "cargo", "bundler"):
            out["max_depth"] = get(p, "snapshot", "max_depth", default=1)
        return out
    if family == "schema":
        endpoints = get(p, "structure", "endpoint_count", default=0)
        churn = 0
        for key in ("endpoints_added", "endpoints_removed", "fields_added", "fields_removed",
                    "types_added", "types_removed"):
            churn += get(p, "diff", key, default=0)
        return {"endpoint_count": endpoints,
                "type_count": get(p, "structure", "type_count", default=0),
                "field_count": get(p, "structure", "field_count", default=0),
                "schema_churn": churn / max(endpoints, 1)}
    if family == "deployment":
        out = {"is_prerelease": flag(p.get("is_prerelease", False)),
               "asset_count": p.get("asset_count", 0)}
        interval = get(p, "timing", "since_previous_seconds", default=None)
        if interval is not None:
            out["release_cadence_hours"] = interval / 3600.0
        return out
    if family == "config":
        churn = 0
        for key in ("resources_added", "resources_removed", "resources_modified"):
            churn += get(p, "diff", key, default=0)
        return {"resource_count": get(p, "structure", "resource_count", default=0),
                "resource_type_count": get(p, "structure", "resource_types", default=0),
                "config_churn": churn}
    if family == "error_tracking":
        return {"event_count": get(p, "stats", "event_count", default=0),
                "user_count": get(p, "stats", "user_count", default=0),
                "is_unhandled": flag(p.get("is_unhandled", False))}
    total = get(p, "summary", "total", default=0)
    fixable = sum(1 for f in p.get("findings", []) if flag(f.get("fixed_version")))
    return {"vulnerability_count": total,
            "critical_count": get(p, "summary", "critical", default=0),
            "fixable_ratio": fixable / max(total, 1)}


def top_level(path):
    if path.startswith("/"):
        return "/"
    parts = [c for c in path.split("/") if c not in ("", ".")]
    return parts[0] if parts else "_root"


def dispersion(files):
    if not files:
        return 0.0
    counts = {}
    for f in files:
        counts[top_level(f)] = counts.get(top_level(f), 0) + 1
    entropy = 0.0
    for key in sorted(counts, key=lambda c: c.encode()):
        p = counts[key] / len(files)
        entropy = entropy - p * math.log2(p)
    return entropy


def git_metrics(files, window):
    recent = set().union(*[w["files"] for w in window]) if window else set()
    pairs = set()
    if len(files) <= 30:
        ordered = sorted(files)
        pairs = {(a, b) for i, a in enumerate(ordered) for b in ordered[i + 1:]}
    out = {"files_touched": len(files), "dispersion": dispersion(files),
           "change_locality": len(files & recent) / len(files) if files else 0.0}
    if pairs and window:
        seen = set().union(*[w["pairs"] for w in window])
        out["cochange_novelty_ratio"] = len(pairs - seen) / len(pairs)
    else:
        out["cochange_novelty_ratio"] = 1.0
    return out, pairs


def signal(family, label, metric, observed, sample, size, ref):
    measure, unit, med, mad = robust(float(num(observed)), sample)
    return {"engine_id": family, "source_type": label, "metric": metric,
            "window": {"type": "rolling", "size": size},
            "baseline": {"mean": mean(sample), "stddev": pstdev(sample), "median": med, "mad": mad},
            "observed": observed,
            "deviation": {"measure": 0.0 if measure is None else measure, "unit": unit,
                          "degenerate": unit == "degenerate"},
            "confidence": {"sample_count": len(sample),
                           "status": "sufficient" if len(sample) >= size else "accumulating"},
            "event_ref": ref}


def run(case):
    params = {"window_size": 50, "min_baseline": 5}
    if os.path.exists(os.path.join(case, "params.json")):
        params.update(json.load(open(os.path.join(case, "params.json"))))
    size, least = params["window_size"], params["min_baseline"]
    names = sorted(n for n in os.listdir(os.path.join(case, "events")) if n.endswith(".json"))
    events = [json.load(open(os.path.join(case, "events", n), encoding="utf-8")) for n in names]
    os.makedirs(os.path.join(case, "phase2"), exist_ok=True)
    for family, label in FAMILIES:
        if family == "git":
            chosen = [e for e in events if e.get("source_type") == "git"]
        else:
            chosen = [e for e in events if e.get("source_family") == family]
        chosen.sort(key=lambda e: e.get("observed_at") or "")
        if not chosen and family != "git":
            continue
        window, signals = [], []
        for e in chosen:
            if family == "git":
                files = set(e["payload"].get("files", []))
                metrics, pairs = git_metrics(files, window)
            else:
                metrics = extract(family, e["payload"])
            if len(window) >= least:
                for metric, observed in metrics.items():
                    if observed is None:
                        continue
                    sample = [num(w["metrics"][metric]) for w in window
                              if w["metrics"].get(metric) is not None]
                    if len(sample) < least:
                        continue
                    ref = e["event_id"] if family == "git" else (e.get("event_id") or "")
                    signals.append(signal(family, label, metric, observed, sample, size, ref))
            entry = {"metrics": metrics}
            if family == "git":
                entry.update(files=files, pairs=pairs)
            window = (window + [entry])[-size:]
        with open(os.path.join(case, "phase2", family + "_signals.json"), "w") as out:
            out.write(json.dumps(signals, indent=2))


if __name__ == "__main__":
    for case_dir in sys.argv[1:]:
        run(case_dir)
