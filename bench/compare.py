#!/usr/bin/env python3
"""Decode speed and size of each codec against its usual peer, on real-sized input.

For the chosen input (default: every corpus file joined, about 3 MB) this builds one
archive per codec with the archive maker's defaults, decodes it several times, checks
the output against the input byte for byte, and prints per codec: archive size, decode
MB/s in processor time (user + system of the decoding process, median of the runs),
the peer's size and MB/s measured in the same run, and the ratio of the two times.

Peers: bzip2 -9 for bwt, xz -6 for lz, zpaq method 4 for cm; flac -8 and wavpack -hh
for audio (on the corpus WAV files, or the WAV files given with --audio).

    bench/compare.py [FILE...] [--block-size BYTES] [--runs N] [--threads N] [--build DIR] [--cpu N]

On a virtual machine whose processors run at different speeds from moment to moment,
--cpu keeps ours and the peer on one processor, so that both times share its speed.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
CORPUS = REPO.parent / "shared" / "corpus"


def pack_command(build, archive, codec, inputs, block_size):
    """The one place that knows how archives are made: change it with the packer's CLI."""
    command = [str(build / "quorvex"), "-z", "-f", "-o", str(archive), "--codec", codec]
    if block_size:
        command += ["-b", str(block_size)]
    return command + [str(path) for path in inputs]


def decode_command(build, archive, threads):
    return [str(build / "quorvex"), "-T", str(threads), str(archive)]


PINNED_CPU = None  # the processor every decode runs on (--cpu), or None for any


def pin_to_cpu():
    if PINNED_CPU is not None:
        os.sched_setaffinity(0, {PINNED_CPU})


def cpu_seconds(command, cwd, stdout=subprocess.DEVNULL):
    """Runs a command; returns the user + system time of it and its children."""
    process = subprocess.Popen(command, cwd=cwd, stdout=stdout, stderr=subprocess.PIPE, preexec_fn=pin_to_cpu)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        sys.exit(f"failed ({process.returncode}): {' '.join(map(str, command))}\n{process.stderr.read().decode()}")
    return usage.ru_utime + usage.ru_stime


def median_time(command, cwd, runs, check, stdout_path=None, prepare=lambda: None):
    times = []
    for _ in range(runs):
        prepare()
        if stdout_path:
            with open(stdout_path, "wb") as out:
                times.append(cpu_seconds(command, cwd, out))
        else:
            times.append(cpu_seconds(command, cwd))
        check()
    return statistics.median(times)


def same_bytes(path, expected):
    if Path(path).read_bytes() != expected:
        sys.exit(f"decoded output {path} differs from its input")


def joined(paths, target):
    data = b"".join(Path(p).read_bytes() for p in paths)
    target.write_bytes(data)
    return data


class Row:
    def __init__(self, name, size, seconds, peer, peer_size, peer_seconds, raw):
        self.values = (name, size, seconds, peer, peer_size, peer_seconds, raw)

    def line(self):
        name, size, seconds, peer, peer_size, peer_seconds, raw = self.values
        mbs = raw / 1e6 / max(seconds, 1e-9)
        peer_mbs = raw / 1e6 / max(peer_seconds, 1e-9)
        return (f"{name:6} {size:>11,} {mbs:8.2f} | {peer:14} {peer_size:>11,} {peer_mbs:8.2f} | "
                f"{seconds / max(peer_seconds, 1e-9):5.2f}x")


def measure_ours(args, work, codec, inputs, expected):
    archive = work / f"{codec}.qvx"
    subprocess.run(pack_command(args.build, archive, codec, inputs, args.block_size), check=True,
                   stdout=subprocess.DEVNULL)
    seconds = median_time(decode_command(args.build, archive, args.threads), work, args.runs,
                          lambda: same_bytes(work / "out", expected))
    return archive.stat().st_size, seconds


def measure_stream_peer(args, work, tool, level, source, expected):
    """Peers that compress a stream: tool LEVEL -c and tool -d -c."""
    packed = work / f"peer.{tool}"
    with open(packed, "wb") as out:
        subprocess.run([tool, level, "-c", str(source)], check=True, stdout=out)
    decoded = work / "peer.out"
    seconds = median_time([tool, "-d", "-c", str(packed)], work, args.runs,
                          lambda: same_bytes(decoded, expected), stdout_path=decoded)
    return packed.stat().st_size, seconds


def measure_zpaq(args, work, source, expected):
    packed = work / "peer.zpaq"
    packed.unlink(missing_ok=True)
    subprocess.run(["zpaq", "a", str(packed), source.name, "-m4"], cwd=source.parent, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    target = work / "zpaq-out"
    # zpaq skips a file that already stands there with the same contents: extract afresh.
    seconds = median_time(["zpaq", "x", str(packed), source.name, "-to", str(target / source.name)],
                          work, args.runs, lambda: same_bytes(target / source.name, expected),
                          prepare=lambda: shutil.rmtree(target, ignore_errors=True))
    return packed.stat().st_size, seconds


def measure_audio_peer(args, work, wavs, expected, encode, decode, suffix):
    """Per-file audio peers: sizes and times add up over the files."""
    size = 0
    seconds = 0.0
    outputs = []
    for index, wav in enumerate(wavs):
        packed = work / f"peer{index}.{suffix}"
        decoded = work / f"peer{index}.wav"
        subprocess.run(encode(wav, packed), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        size += packed.stat().st_size
        seconds += median_time(decode(packed, decoded), work, args.runs, lambda: None)
        outputs.append(decoded)
    if b"".join(p.read_bytes() for p in outputs) != expected:
        sys.exit(f"{suffix} output differs from its input")
    return size, seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("inputs", nargs="*", type=Path, help="files to join as the input (default: the corpus)")
    parser.add_argument("--audio", nargs="*", type=Path, help="WAV files for the audio codec (default: corpus/audio)")
    parser.add_argument("--block-size", type=int, default=0, help="block size for the archive maker (default: its own)")
    parser.add_argument("--runs", type=int, default=3, help="decodes per measure; the median counts")
    parser.add_argument("--build", type=Path, default=REPO / "build" / "release", help="build folder with quorvex")
    parser.add_argument("--threads", type=int, default=1, help="decoding threads for quorvex (default 1: one core)")
    parser.add_argument("--codecs", default="bwt,lz,cm,audio", help="comma-separated subset of bwt,lz,cm,audio")
    parser.add_argument("--cpu", type=int, help="run every decode, ours and the peer's, on this processor")
    args = parser.parse_args()
    global PINNED_CPU
    PINNED_CPU = args.cpu
    args.build = args.build.resolve()
    codecs = args.codecs.split(",")

    inputs = args.inputs or sorted(p for p in CORPUS.rglob("*") if p.is_file())
    wavs = args.audio if args.audio is not None else sorted((CORPUS / "audio").glob("*.wav"))
    if not wavs and "audio" in codecs:
        codecs.remove("audio")

    with tempfile.TemporaryDirectory(prefix="quorvex-compare-") as folder:
        work = Path(folder)
        source = work / "input.bin"
        expected = joined(inputs, source)
        raw = len(expected)
        print(f"input: {len(inputs)} file(s), {raw:,} bytes; block size: "
              f"{args.block_size or 'maker default'}; {args.threads} thread(s); median of {args.runs} decodes, MB/s in CPU time")
        print(f"{'codec':6} {'size':>11} {'MB/s':>8} | {'peer':14} {'size':>11} {'MB/s':>8} | ratio (time)")
        peers = {"bwt": ("bzip2 -9", lambda: measure_stream_peer(args, work, "bzip2", "-9", source, expected)),
                 "lz": ("xz -6", lambda: measure_stream_peer(args, work, "xz", "-6", source, expected)),
                 "cm": ("zpaq -m4", lambda: measure_zpaq(args, work, source, expected))}
        for codec in ("bwt", "lz", "cm"):
            if codec not in codecs:
                continue
            size, seconds = measure_ours(args, work, codec, [source], expected)
            peer, run_peer = peers[codec]
            peer_size, peer_seconds = run_peer()
            print(Row(codec, size, seconds, peer, peer_size, peer_seconds, raw).line(), flush=True)

        if "audio" in codecs:
            audio = b"".join(p.read_bytes() for p in wavs)
            size, seconds = measure_ours(args, work, "audio", [p.resolve() for p in wavs], audio)
            audio_peers = [
                ("flac -8", lambda w, p: ["flac", "-8", "-f", "--keep-foreign-metadata", "-o", str(p), str(w)],
                 lambda p, d: ["flac", "-d", "-f", "--keep-foreign-metadata", "-o", str(d), str(p)], "flac"),
                ("wavpack -hh", lambda w, p: ["wavpack", "-hh", "-y", str(w), "-o", str(p)],
                 lambda p, d: ["wvunpack", "-y", str(p), "-o", str(d)], "wv"),
            ]
            for peer, encode, decode, suffix in audio_peers:
                peer_size, peer_seconds = measure_audio_peer(args, work, wavs, audio, encode, decode, suffix)
                print(Row("audio", size, seconds, peer, peer_size, peer_seconds, len(audio)).line(), flush=True)


if __name__ == "__main__":
    main()
