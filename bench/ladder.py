#!/usr/bin/env python3
"""The level ladder against its peers: size, make and decode time, peak memory, and a plot.

For each input (default: the mix compare.py builds from the corpus, and a tar of
/usr/include) this makes one archive per level (-1 .. -9, or --levels), decodes each
several times on one thread and checks the output byte for byte, then does the same for
the peer settings (bzip2 -9, xz -1/-6/-9, zstd -19, 7z -mx=9, zpaq -m3/-m4/-m5). It
prints a table per input (user CPU seconds, median of the decodes; peak
resident memory of the decoder) and, with --plot, draws size against decode speed on
log scales, our levels as a line and the peers as points.

    bench/ladder.py [FILE...] [--levels 1,2,...] [--peers all|none|xz-6,...] [--runs N] [--plot PNG]
                    [--results JSON]

--results keeps every measurement in a JSON file: a later run replaces the rows it measures
again and keeps the others, so slow rows (the CM levels, zpaq) need not be re-run for a
change that cannot touch them, and the table and plot show the whole set.

Missing peers are installed from Debian packages (bzip2 xz-utils zstd p7zip-full zpaq)
when the script may run apt-get; the plot needs python3-matplotlib.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
CORPUS = REPO.parent / "shared" / "corpus"
UNREAD_OUTPUT = [None]  # set to a file in the work folder
HEADERS_BYTES = 48 << 20  # the headers tar stops past this many bytes of files, so runs stay short
PEER_PACKAGES = {"bzip2": "bzip2", "xz": "xz-utils", "zstd": "zstd", "7z": "p7zip-full", "zpaq": "zpaq"}


def run_measured(command, cwd, stdout=None):
    """Runs a command; returns (user CPU seconds of it and its children, peak resident MB).
    Output nobody reads goes to a file in the work folder, not to the system's null
    device. User time alone, since system time on a shared, loaded host is mostly noise.
    The peak comes from /usr/bin/time when it is there: a child forked from this script
    starts with the script's own peak (the input it holds), which would hide a small one."""
    peak_file = Path(UNREAD_OUTPUT[0]).with_suffix(".peak")
    timed = ["/usr/bin/time", "-f", "%M", "-o", str(peak_file)] if Path("/usr/bin/time").exists() else []
    with open(UNREAD_OUTPUT[0], "wb") as unread:
        process = subprocess.Popen(timed + command, cwd=cwd, stdout=stdout or unread, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(process.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"failed: {' '.join(map(str, command))}\n{process.stderr.read().decode()}")
    peak_kb = int(peak_file.read_text().split()[-1]) if timed else usage.ru_maxrss
    return usage.ru_utime, peak_kb / 1024


class Result:
    def __init__(self, name, size, make_seconds, decode_seconds, peak_mb, ours):
        self.name, self.size, self.make, self.decode, self.peak, self.ours = (
            name, size, make_seconds, decode_seconds, peak_mb, ours)


def measure(name, work, make, decode, decoded, expected, runs, ours):
    """make(): builds the archive (a list of commands run in work), returns its path;
    decode: the command that writes decoded (or stdout to decoded when it is a list)."""
    make_seconds = 0.0
    for command in make["commands"]:
        make_seconds += run_measured(command, work)[0]
    times, peak = [], 0.0
    for _ in range(runs):
        make.get("prepare", lambda: None)()
        if make.get("stdout"):
            with open(decoded, "wb") as out:
                seconds, rss = run_measured(decode, work, out)
        else:
            seconds, rss = run_measured(decode, work)
        times.append(seconds)
        peak = max(peak, rss)
        if Path(decoded).read_bytes() != expected:
            sys.exit(f"{name}: decoded output differs from the input")
    return Result(name, Path(make["archive"]).stat().st_size, make_seconds, statistics.median(times), peak, ours)


def ours(build, work, level, source, expected, runs):
    archive = work / f"level{level}.qvx"
    quorvex = str(build / "quorvex")
    plan = {"commands": [[quorvex, "-q", "-z", "-f", "-T", "1", f"-{level}", "-o", str(archive), str(source)]],
            "archive": archive, "stdout": True}
    return measure(f"-{level}", work, plan, [quorvex, "-q", "-c", "-T", "1", str(archive)], work / "out",
                   expected, runs, True)


def stream_peer(work, tool, level, source, expected, runs):
    archive = work / f"peer-{tool}{level}"
    shell = f"{tool} {level} -c {source} > {archive}"
    plan = {"commands": [["sh", "-c", shell]], "archive": archive, "stdout": True}
    return measure(f"{tool} {level}", work, plan, [tool, "-d", "-c", str(archive)], work / "peer.out",
                   expected, runs, False)


def sevenzip_peer(work, source, expected, runs):
    archive = work / "peer.7z"
    archive.unlink(missing_ok=True)
    plan = {"commands": [["7z", "a", "-bd", "-mx=9", str(archive), str(source)]], "archive": archive, "stdout": True}
    return measure("7z -mx=9", work, plan, ["7z", "e", "-so", str(archive)], work / "peer.out", expected, runs, False)


def zpaq_peer(work, method, source, expected, runs):
    archive = work / f"peer{method}.zpaq"
    archive.unlink(missing_ok=True)
    target = work / "zpaq-out"
    plan = {"commands": [["zpaq", "a", str(archive), source.name, f"-m{method}"]], "archive": archive,
            # zpaq skips a file that already stands there with the same contents: extract afresh.
            "prepare": lambda: shutil.rmtree(target, ignore_errors=True)}
    return measure(f"zpaq -m{method}", source.parent, plan,
                   ["zpaq", "x", str(archive), source.name, "-to", str(target / source.name)],
                   target / source.name, expected, runs, False)


PEERS = {
    "bzip2-9": lambda w, s, e, r: stream_peer(w, "bzip2", "-9", s, e, r),
    "xz-1": lambda w, s, e, r: stream_peer(w, "xz", "-1", s, e, r),
    "xz-6": lambda w, s, e, r: stream_peer(w, "xz", "-6", s, e, r),
    "xz-9": lambda w, s, e, r: stream_peer(w, "xz", "-9", s, e, r),
    "zstd-19": lambda w, s, e, r: stream_peer(w, "zstd", "-19", s, e, r),
    "7z-mx9": sevenzip_peer,
    "zpaq-m3": lambda w, s, e, r: zpaq_peer(w, 3, s, e, r),
    "zpaq-m4": lambda w, s, e, r: zpaq_peer(w, 4, s, e, r),
    "zpaq-m5": lambda w, s, e, r: zpaq_peer(w, 5, s, e, r),
}


def ensure_peer_tools(names, work):
    missing = sorted({PEER_PACKAGES[n.split("-")[0]] for n in names if not shutil.which(n.split("-")[0])})
    if missing and shutil.which("apt-get") and os.geteuid() == 0:
        with open(work / "apt.log", "wb") as log:
            subprocess.run(["apt-get", "install", "-y", "-q", *missing], check=False, stdout=log)


def default_inputs(work):
    """The corpus mix of compare.py and a tar of /usr/include, built in work."""
    mix = work / "mix.bin"
    with open(mix, "wb") as out:
        for path in sorted(p for p in CORPUS.rglob("*") if p.is_file()):
            out.write(path.read_bytes())
    headers = work / "include.tar"
    with tarfile.open(headers, "w") as tar:
        total = 0
        for path in sorted(p for p in Path("/usr/include").rglob("*") if p.is_file() and not p.is_symlink()):
            if total >= HEADERS_BYTES:
                break
            tar.add(path, arcname=str(path.relative_to("/usr")), recursive=False)
            total += path.stat().st_size
    return [mix, headers]


def merged(saved_path, label, raw, fresh):
    """The rows saved for this input in saved_path, with fresh rows replacing those of the
    same name; saves the merged set back. Rows keep the order: our levels, then peers."""
    saved = json.loads(saved_path.read_text()) if saved_path.exists() else {}
    rows = {row["name"]: row for row in saved.get(label, {}).get("rows", [])}
    if saved.get(label, {}).get("raw") not in (None, raw):
        rows = {}  # another input under the same name: its rows do not compare
    rows.update({r.name: vars(r) for r in fresh})
    ordered = sorted(rows.values(), key=lambda row: (not row["ours"], row["ours"] and int(row["name"][1:]) or 0))
    saved[label] = {"raw": raw, "rows": ordered}
    saved_path.write_text(json.dumps(saved, indent=1))
    return [Result(row["name"], row["size"], row["make"], row["decode"], row["peak"], row["ours"]) for row in ordered]


def table(results, raw):
    lines = [f"{'setting':10} {'size':>12} {'ratio':>6} {'make s':>8} {'decode s':>9} {'MB/s':>8} {'peak MB':>8}"]
    for r in results:
        lines.append(f"{r.name:10} {r.size:>12,} {raw / r.size:6.2f} {r.make:8.2f} {r.decode:9.2f} "
                     f"{raw / 1e6 / max(r.decode, 1e-9):8.1f} {r.peak:8.0f}")
    return "\n".join(lines)


def plot(all_results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    figure, axes = plt.subplots(1, len(all_results), figsize=(5 * len(all_results), 4), squeeze=False)
    for axis, (label, raw, results) in zip(axes[0], all_results):
        levels = [r for r in results if r.ours]
        speed = lambda r: raw / 1e6 / max(r.decode, 1e-9)
        axis.plot([speed(r) for r in levels], [r.size for r in levels], "o-", color="tab:blue", label="quorvex levels")
        for r in levels:
            axis.annotate(r.name, (speed(r), r.size), fontsize=7, xytext=(3, 3), textcoords="offset points")
        for r in results:
            if not r.ours:
                axis.plot(speed(r), r.size, "s", color="tab:red")
                axis.annotate(r.name, (speed(r), r.size), fontsize=7, xytext=(3, -9), textcoords="offset points")
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_xlabel("decode speed, MB/s of CPU time (log)")
        axis.set_ylabel("archive bytes (log)")
        axis.set_title(f"{label} ({raw / 1e6:.1f} MB)", fontsize=9)
        axis.grid(True, which="both", alpha=0.3)
        axis.legend(fontsize=7)
    figure.tight_layout()
    figure.savefig(path, dpi=72)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("inputs", nargs="*", type=Path, help="input files, each measured on its own")
    parser.add_argument("--levels", default="1,2,3,4,5,6,7,8,9", help="a comma list, or none")
    parser.add_argument("--peers", default="all", help="all, none, or a comma list of " + ",".join(PEERS))
    parser.add_argument("--runs", type=int, default=3, help="decodes per measure; the median counts")
    parser.add_argument("--build", type=Path, default=REPO / "build" / "release")
    parser.add_argument("--plot", type=Path, help="write the size/speed plot to this PNG")
    parser.add_argument("--results", type=Path, help="JSON file of measurements kept across runs")
    args = parser.parse_args()
    peers = [] if args.peers == "none" else list(PEERS) if args.peers == "all" else args.peers.split(",")
    levels = [] if args.levels == "none" else args.levels.split(",")
    build = args.build.resolve()
    all_results = []
    with tempfile.TemporaryDirectory(prefix="quorvex-ladder-") as folder:
        work = Path(folder)
        UNREAD_OUTPUT[0] = work / "unread.out"
        ensure_peer_tools(peers, work)
        peers = [p for p in peers if shutil.which(p.split("-")[0]) or print(f"skipping {p}: not installed")]
        inputs = [p.resolve() for p in args.inputs] or default_inputs(work)
        for source in inputs:
            expected = source.read_bytes()
            results = [ours(build, work, int(level), source, expected, args.runs) for level in levels]
            results += [PEERS[p](work, source, expected, args.runs) for p in peers]
            if args.results:
                results = merged(args.results.resolve(), source.name, len(expected), results)
            runs = f"median of {args.runs} decodes" if not args.results else f"decode medians as measured (rows kept in {args.results.name})"
            print(f"\n{source.name}: {len(expected):,} bytes; user CPU seconds, {runs}, on one thread")
            print(table(results, len(expected)), flush=True)
            all_results.append((source.name, len(expected), results))
    if args.plot:
        plot(all_results, args.plot)


if __name__ == "__main__":
    main()
