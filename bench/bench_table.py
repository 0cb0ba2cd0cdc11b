#!/usr/bin/env python3
"""Prints the benchmark table from Google Benchmark's JSON output.

    bench_table.py CODEC.json LOG.json ROUNDTRIP.json [LOGVIEW.json]

Each row is one figure, the baseline it is measured against in the same run,
their ratio and the target. Where a benchmark ran with repetitions, its
median is used. Standard library only.
"""
import json
import sys


def load(path):
    """run_name -> the entry to use (the median when there is one)."""
    try:
        with open(path) as f:
            data = json.load(f)
    except (OSError, ValueError) as e:
        print(f"bench_table: cannot read {path}: {e}", file=sys.stderr)
        return {}, {}
    runs = {}
    for b in data.get("benchmarks", []):
        name = b.get("run_name", b["name"])
        kind = b.get("run_type", "iteration")
        if kind == "aggregate":
            if b.get("aggregate_name") == "median":
                runs[name] = b
        elif name not in runs:
            runs[name] = b
    return runs, data.get("context", {})


def find(runs, prefix):
    for name, b in runs.items():
        if name == prefix or name.startswith(prefix + "/"):
            return b
    return None


def ns(b, key="cpu_time"):
    unit = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
    return b[key] * unit


def rate(value, unit):
    for scale, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if value >= scale:
            return f"{value / scale:.2f} {prefix}{unit}"
    return f"{value:.0f} {unit}"


rows = []


def row(figure, value, baseline, base_value, ratio, target, met):
    verdict = "" if met is None else ("yes" if met else "NO")
    rows.append((figure, value, baseline, base_value, ratio, target, verdict))


def failed(b):
    if b is None:
        return "not run"
    if b.get("error_occurred"):
        return "not run: " + b.get("error_message", "error")
    return None


def codec(runs):
    cases = [
        ("head_only", "head-only packet (24 B)"),
        ("login_ack", "CPktToolLoginAck (36 B)"),
        ("image_list_1000", "image-list reply, 1,000 images"),
        ("image_info_100x10", "image-info reply, 100 images x 10 snapshots"),
    ]
    for key, label in cases:
        mem = find(runs, "Memcpy/" + key)
        for op in ("Decode", "Encode"):
            b = find(runs, f"{op}/{key}")
            why = failed(b) or failed(mem)
            what = "CreatePacket" if op == "Decode" else "Pack"
            if why:
                row(f"{what}: {label}", why, "memcpy", "", "", "", None)
                continue
            speed, limit = b["bytes_per_second"], mem["bytes_per_second"]
            ratio = speed / limit
            target, met = "", None
            if op == "Decode" and key in ("image_list_1000", "image_info_100x10"):
                target, met = ">= 0.25 of memcpy", ratio >= 0.25
            value = f"{rate(speed, 'B/s')}, {rate(b['items_per_second'], 'pkt/s')}"
            if key == "head_only" and op == "Decode":
                target, met = "< 100 ns/packet", ns(b) < 100
                value = f"{ns(b):.1f} ns, " + value
            row(f"{what}: {label}", value, "memcpy", rate(limit, "B/s"), f"{ratio:.3f}", target,
                met)
    b, mem = find(runs, "Decode/all_codes"), find(runs, "Memcpy/all_codes")
    why = failed(b) or failed(mem)
    if why:
        row("CreatePacket: one minimal packet of every code", why, "memcpy", "", "", "", None)
    else:
        codes = int(b.get("codes", 0))
        skipped = int(b.get("codes_skipped", 0))
        label = f"CreatePacket: minimal packet of each of {codes - skipped} codes"
        ns_per = 1e9 / b["items_per_second"]
        row(label, f"{ns_per:.1f} ns/packet, {rate(b['bytes_per_second'], 'B/s')}",
            "memcpy", rate(mem["bytes_per_second"], "B/s"),
            f"{b['bytes_per_second'] / mem['bytes_per_second']:.3f}", "", None)


PLACEMENTS = [
    ("unpinned", "unpinned"),
    ("one_cpu", "every thread on one CPU"),
    ("two_cpus", "caller and server on two CPUs"),
]

# The floor each placement is judged by, and the allowance over its median.
# Where the caller has a CPU of its own, the raw client that polls its socket
# (it pays no wake-up); on one CPU, the blocking one (polling there only
# takes the CPU from the server).
POLLING = ("poll_floor_", "raw TCP ping-pong, polling recv")
BLOCKING = ("floor_", "raw TCP ping-pong, blocking recv")
JUDGED = {"unpinned": (POLLING, BLOCKING, 1.3), "one_cpu": (BLOCKING, POLLING, 1.5),
          "two_cpus": (POLLING, BLOCKING, 1.3)}
P99_ALLOWANCE = 2.0


def latency(b, prefix):
    """Median and p99 of the library ("") or of a floor ("floor_", "poll_floor_")."""
    return f"median {b[prefix + 'p50_us']:.1f} us, p99 {b[prefix + 'p99_us']:.1f} us"


def roundtrip(runs, context):
    requests = [("RoundTrip/login", "SendAskPack login (56 B -> 36 B)"),
                ("RoundTrip/image_list_100", "SendAskPack image list (24 B -> 27,236 B)")]
    for key, label in requests:
        for where, text in PLACEMENTS:
            b = find(runs, f"{key}/{where}")
            (floor, base), (other, other_base), allowance = JUDGED[where]
            why = failed(b)
            if why:
                row(f"{label}, {text}", why, base, "", "", "", None)
                continue
            ratio = b["p50_us"] / b[floor + "p50_us"]
            tail = b["p99_us"] / b[floor + "p99_us"]
            row(f"{label}, {text}", latency(b, ""), base, latency(b, floor),
                f"{ratio:.2f}, p99 {tail:.2f}",
                f"<= {allowance}x floor (median), p99 <= {P99_ALLOWANCE:.0f}x",
                ratio <= allowance and tail <= P99_ALLOWANCE)
            row("  (diagnostic) the same against the other floor", "", other_base,
                latency(b, other), f"{b['p50_us'] / b[other + 'p50_us']:.2f}", "", None)
    b = find(runs, "RoundTrip/discover")
    label, base = "SendAskPack discovery (broadcast, 24 B -> 32 B)", "raw UDP broadcast ping-pong"
    why = failed(b)
    if why:
        row(label, why, base, "", "", "", None)
    else:
        ratio = b["p50_us"] / b["floor_p50_us"]
        row(label, latency(b, ""), base + ", blocking recv", latency(b, "floor_"),
            f"{ratio:.2f}", "<= 1.5x floor (median)", ratio <= 1.5)
        row("  (diagnostic) the same against the other floor", "", base + ", polling recv",
            latency(b, "poll_floor_"), f"{b['p50_us'] / b['poll_floor_p50_us']:.2f}", "", None)
    b = find(runs, "Wait/no_reply")
    why = failed(b)
    label = "CPU of a request whose reply never comes"
    if why:
        row(label, why, "", "", "", "", None)
    else:
        row(label, f"{b['cpu_us']:.0f} us in a {b['wait_ms']:.0f} ms wait",
            "bare wait as long (condition variable)", f"{b['bare_wait_cpu_us']:.0f} us",
            f"{b['cpu_us'] / b['bare_wait_cpu_us']:.2f}", "< 1 ms: spin, then sleep",
            b["cpu_us"] < 1000)
    memory(runs)


def memory(runs):
    b = find(runs, "Memory/requests_200000")
    why = failed(b)
    if why:
        row("resident memory over 200,000 requests", why, "", "", "", "", None)
        return
    for key, label in (("anon", "not file-backed"), ("rss", "all")):
        before, half, after = (b[f"{key}_{when}_kib"] for when in ("before", "half", "after"))
        for value, base, base_label, n in ((half, before, "before them", "100,000"),
                                           (after, half, "after 100,000", "200,000")):
            target, met = "", None
            if key == "anon":
                # Any leak of a byte per request would show as 100 KiB.
                target, met = "no growth (< 16 KiB)", value - base < 16
            row(f"resident memory ({label}) after {n} requests", f"{value:.0f} KiB", base_label,
                f"{base:.0f} KiB", f"{value / base:.3f}", target, met)


def logwriter(runs):
    for threads in (1, 2):
        b = find(runs, f"Log/writer/real_time/threads:{threads}")
        s = find(runs, f"Log/spdlog/real_time/threads:{threads}")
        label = f"LogPrint, file (flushed) + ring, {threads} thread{'s' if threads > 1 else ''}"
        why = failed(b) or failed(s)
        if why:
            row(label, why, "spdlog, file sink, flush per line", "", "", "", None)
            continue
        ratio = b["items_per_second"] / s["items_per_second"]
        row(label, rate(b["items_per_second"], "lines/s"), "spdlog, file sink, flush per line",
            rate(s["items_per_second"], "lines/s"), f"{ratio:.2f}", ">= 1.0 of spdlog",
            ratio >= 1.0)
    b = find(runs, "Log/writer_tid_cached/real_time/threads:1")
    s = find(runs, "Log/spdlog/real_time/threads:1")
    if not failed(b) and not failed(s):
        ratio = b["items_per_second"] / s["items_per_second"]
        row("  (diagnostic) the same with the thread id asked once per thread",
            rate(b["items_per_second"], "lines/s"), "spdlog, 1 thread",
            rate(s["items_per_second"], "lines/s"), f"{ratio:.2f}", "", None)
    m, s = find(runs, "Log/writer_masked"), find(runs, "Log/spdlog_masked")
    why = failed(m) or failed(s)
    if why:
        row("LogPrint, level masked out", why, "spdlog, level off", "", "", "", None)
    else:
        row("LogPrint, level masked out", f"{ns(m):.2f} ns", "spdlog, level off",
            f"{ns(s):.2f} ns", f"{ns(m) / ns(s):.2f}", "a few ns", ns(m) < 10)
    u = find(runs, "Log/writer_masked_under_load")
    if not failed(u) and not failed(m):
        row("LogPrint, masked out, another thread writing lines", f"{ns(u):.2f} ns",
            "masked out, alone", f"{ns(m):.2f} ns", f"{ns(u) / ns(m):.2f}",
            "no lock: same cost", ns(u) < 2 * ns(m) + 2)


def logview(runs):
    """kelvane-logview following 100,000 lines: flat out and at paced rates."""
    paced = {}
    for name, b in runs.items():
        if name.startswith("LogviewFollow/rate:") and not failed(b):
            paced[int(name.split(":")[1].split("/")[0])] = b
    full = paced.pop(0, None)
    label = "kelvane-logview following a writer flat out (100,000 lines)"
    if full is None:
        row(label, "not run", "the writer", "", "", "", None)
        return
    row(label, f"{rate(full['shown_per_second'], 'lines/s')} shown, "
        f"{full['lost_reported']:.0f} reported lost", "the writer",
        rate(full["writer_per_second"], "lines/s"),
        f"{full['shown_per_second'] / full['writer_per_second']:.2f}", "", None)
    kept = [r for r, b in sorted(paced.items()) if b["lost_reported"] == 0]
    tried = ", ".join(f"{r // 1000}k" for r in sorted(paced))
    row("kelvane-logview, paced writer (1 s of lines): fastest rate with no line lost",
        rate(max(kept), "lines/s") if kept else f"none of {tried} lines/s", "", "", "", "",
        None)
    dropped = max(b["lost_unreported"] for b in list(paced.values()) + [full])
    row("kelvane-logview: lines dropped though the ring held them", f"{dropped:.0f}", "", "",
        "", "0", dropped == 0)
    if "idle_cpu_percent" in full:
        cpu = full["idle_cpu_percent"]
        row("kelvane-logview CPU while idle (sleeps on the event)", f"{cpu:.2f} %", "", "", "",
            "< 1 %", cpu < 1)


def writers(runs):
    """kelvane-logview following four writer processes of one name flat out."""
    b = find(runs, "LogviewFollowWriters")
    label = "kelvane-logview following 4 writer processes of one name flat out (4 x 100,000 lines)"
    why = failed(b)
    if why:
        row(label, why, "the writers", "", "", "", None)
        return
    bad = b["torn"] + b["out_of_order"] + b["unaccounted"]
    row(label, f"{b['shown']:.0f} shown, {b['lost']:.0f} lost, {b['torn']:.0f} torn, "
        f"{b['out_of_order']:.0f} out of order, {b['unaccounted']:.0f} unaccounted",
        "the writers", rate(b["writers_per_second"], "lines/s"), "",
        "0 torn, 0 out of order, every line shown or lost", bad == 0)


def main(argv):
    if len(argv) not in (4, 5):
        print(__doc__, file=sys.stderr)
        return 2
    codec_runs, _ = load(argv[1])
    log_runs, _ = load(argv[2])
    rt_runs, rt_context = load(argv[3])
    codec(codec_runs)
    roundtrip(rt_runs, rt_context)
    logwriter(log_runs)
    if len(argv) == 5:
        logview_runs = load(argv[4])[0]
        logview(logview_runs)
        writers(logview_runs)

    head = ("figure", "value", "baseline (same run)", "baseline value", "ratio", "target",
            "met")
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(len(head))]
    line = "| " + " | ".join(h.ljust(w) for h, w in zip(head, widths)) + " |"
    print(line)
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print("| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |")
    network = rt_context.get("network")
    if network:
        print(f"\nRound trips: {network}; server at {rt_context.get('server', '?')}.")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
