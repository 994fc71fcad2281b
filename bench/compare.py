#!/usr/bin/env python3
"""Make and decode speed and size of each codec against its usual peers, on real-sized input.

For the chosen input (default: every corpus file joined, about 3 MB) this builds one
archive per codec with the archive maker's defaults, decodes it several times, checks
the output against the input byte for byte, and prints per codec a group of rows, ours
first and then its peers measured in the same run: archive size, make MB/s and decode
MB/s, each in processor time (user + system of the process and its children) and in
wall time, and our decode time over the peer's. Decode times are the median of --runs
decodes, make times of --make-runs makes.

Peers (each skipped when its program is not installed): bzip2 -9 for bwt; xz -6,
zstd -19 and 7z -mx=9 for lz; zpaq method 4 for cm; flac -8 and wavpack -hh for audio
(on the corpus WAV files, or the WAV files given with --audio).

    bench/compare.py [FILE...] [--block-size BYTES] [--runs N] [--make-runs N] [--threads N] [--build DIR] [--cpu N]

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
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
CORPUS = REPO.parent / "shared" / "corpus"


def pack_command(build, archive, codec, inputs, block_size, threads):
    """The one place that knows how archives are made: change it with the packer's CLI."""
    command = [str(build / "quorvex"), "-z", "-q", "-f", "-T", str(threads), "-o", str(archive), "--codec", codec]
    if block_size:
        command += ["-b", str(block_size)]
    return command + [str(path) for path in inputs]


def decode_command(build, archive, threads):
    return [str(build / "quorvex"), "-T", str(threads), str(archive)]


PINNED_CPU = None  # the processor every run goes on (--cpu), or None for any
WORK = None  # the temporary folder: output nobody reads goes to a file there


def pin_to_cpu():
    if PINNED_CPU is not None:
        os.sched_setaffinity(0, {PINNED_CPU})


class Times:
    """Processor and wall seconds of one run, or the medians of several."""

    def __init__(self, cpu, wall):
        self.cpu, self.wall = cpu, wall

    @staticmethod
    def median(runs):
        return Times(statistics.median(t.cpu for t in runs), statistics.median(t.wall for t in runs))


def timed(command, cwd, stdout_path=None):
    """Runs a command, its standard output to stdout_path (or a discard file in the work
    folder); returns its Times: user + system time of it and its children, and wall time."""
    target = stdout_path or WORK / "discarded.out"
    with open(target, "wb") as out:
        start = time.perf_counter()
        process = subprocess.Popen(command, cwd=cwd, stdout=out, stderr=subprocess.PIPE, preexec_fn=pin_to_cpu)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        sys.exit(f"failed ({process.returncode}): {' '.join(map(str, command))}\n{process.stderr.read().decode()}")
    return Times(usage.ru_utime + usage.ru_stime, wall)


def median_times(command, cwd, runs, check=lambda: None, stdout_path=None, prepare=lambda: None):
    results = []
    for _ in range(runs):
        prepare()
        results.append(timed(command, cwd, stdout_path))
        check()
    return Times.median(results)


def same_bytes(path, expected):
    if Path(path).read_bytes() != expected:
        sys.exit(f"decoded output {path} differs from its input")


def joined(paths, target):
    data = b"".join(Path(p).read_bytes() for p in paths)
    target.write_bytes(data)
    return data


class Measure:
    """One program's archive: its size, make Times and decode Times."""

    def __init__(self, name, size, make, decode):
        self.name, self.size, self.make, self.decode = name, size, make, decode


HEADER = (f"  {'program':16} {'size':>11} | {'make MB/s cpu':>13} {'wall':>7} | {'decode MB/s cpu':>15} {'wall':>7} | "
          f"ours/peer decode cpu")


def line(measure, ours, raw):
    rate = lambda seconds: raw / 1e6 / max(seconds, 1e-9)
    ratio = "" if measure is ours else f"{ours.decode.cpu / max(measure.decode.cpu, 1e-9):6.2f}x"
    return (f"  {measure.name:16} {measure.size:>11,} | {rate(measure.make.cpu):13.2f} {rate(measure.make.wall):7.2f} | "
            f"{rate(measure.decode.cpu):15.2f} {rate(measure.decode.wall):7.2f} | {ratio}")


def installed(tool):
    if shutil.which(tool):
        return True
    print(f"  ({tool} is not installed: skipped)")
    return False


def measure_ours(args, work, codec, inputs, expected):
    archive = work / f"{codec}.qvx"
    make = median_times(pack_command(args.build, archive, codec, inputs, args.block_size, args.threads), work,
                        args.make_runs)
    decode = median_times(decode_command(args.build, archive, args.threads), work, args.runs,
                          lambda: same_bytes(work / "out", expected))
    return Measure(f"quorvex {codec}", archive.stat().st_size, make, decode)


def measure_stream_peer(args, work, tool, level, source, expected):
    """Peers that compress a stream: tool LEVEL -c and tool -d -c."""
    packed = work / f"peer.{tool}"
    make = median_times([tool, level, "-c", str(source)], work, args.make_runs, stdout_path=packed)
    decoded = work / "peer.out"
    decode = median_times([tool, "-d", "-c", str(packed)], work, args.runs,
                          lambda: same_bytes(decoded, expected), stdout_path=decoded)
    return Measure(f"{tool} {level}", packed.stat().st_size, make, decode)


def measure_7z(args, work, source, expected):
    packed = work / "peer.7z"
    make = median_times(["7z", "a", "-bd", "-mx=9", str(packed), str(source)], work, args.make_runs,
                        prepare=lambda: packed.unlink(missing_ok=True))
    decoded = work / "peer.out"
    decode = median_times(["7z", "e", "-so", str(packed)], work, args.runs,
                          lambda: same_bytes(decoded, expected), stdout_path=decoded)
    return Measure("7z -mx=9", packed.stat().st_size, make, decode)


def measure_zpaq(args, work, source, expected):
    packed = work / "peer.zpaq"
    make = median_times(["zpaq", "a", str(packed), source.name, "-m4"], source.parent, args.make_runs,
                        prepare=lambda: packed.unlink(missing_ok=True))
    target = work / "zpaq-out"
    # zpaq skips a file that already stands there with the same contents: extract afresh.
    decode = median_times(["zpaq", "x", str(packed), source.name, "-to", str(target / source.name)],
                          work, args.runs, lambda: same_bytes(target / source.name, expected),
                          prepare=lambda: shutil.rmtree(target, ignore_errors=True))
    return Measure("zpaq -m4", packed.stat().st_size, make, decode)


def measure_audio_peer(args, work, wavs, expected, name, encode, decode, suffix):
    """Per-file audio peers: sizes and times add up over the files."""
    size = 0
    make = Times(0.0, 0.0)
    decode_total = Times(0.0, 0.0)
    outputs = []
    for index, wav in enumerate(wavs):
        packed = work / f"peer{index}.{suffix}"
        decoded = work / f"peer{index}.wav"
        made = median_times(encode(wav, packed), work, args.make_runs)
        size += packed.stat().st_size
        decoding = median_times(decode(packed, decoded), work, args.runs)
        make = Times(make.cpu + made.cpu, make.wall + made.wall)
        decode_total = Times(decode_total.cpu + decoding.cpu, decode_total.wall + decoding.wall)
        outputs.append(decoded)
    if b"".join(p.read_bytes() for p in outputs) != expected:
        sys.exit(f"{suffix} output differs from its input")
    return Measure(name, size, make, decode_total)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("inputs", nargs="*", type=Path, help="files to join as the input (default: the corpus)")
    parser.add_argument("--audio", nargs="*", type=Path, help="WAV files for the audio codec (default: corpus/audio)")
    parser.add_argument("--block-size", type=int, default=0, help="block size for the archive maker (default: its own)")
    parser.add_argument("--runs", type=int, default=3, help="decodes per measure; the median counts")
    parser.add_argument("--make-runs", type=int, default=1, help="makes per measure; the median counts")
    parser.add_argument("--build", type=Path, default=REPO / "build" / "release", help="build folder with quorvex")
    parser.add_argument("--threads", type=int, default=1,
                        help="making and decoding threads for quorvex (default 1: one core, as the peers)")
    parser.add_argument("--codecs", default="bwt,lz,cm,audio", help="comma-separated subset of bwt,lz,cm,audio")
    parser.add_argument("--cpu", type=int, help="run everything, ours and the peers', on this processor")
    args = parser.parse_args()
    global PINNED_CPU, WORK
    PINNED_CPU = args.cpu
    args.build = args.build.resolve()
    codecs = args.codecs.split(",")

    inputs = args.inputs or sorted(p for p in CORPUS.rglob("*") if p.is_file())
    wavs = args.audio if args.audio is not None else sorted((CORPUS / "audio").glob("*.wav"))
    if not wavs and "audio" in codecs:
        codecs.remove("audio")

    with tempfile.TemporaryDirectory(prefix="quorvex-compare-") as folder:
        work = Path(folder)
        WORK = work
        source = work / "input.bin"
        expected = joined(inputs, source)
        raw = len(expected)
        print(f"input: {len(inputs)} file(s), {raw:,} bytes; block size: {args.block_size or 'maker default'}; "
              f"{args.threads} thread(s); MB/s of input per second of processor time (cpu) and of wall time; "
              f"median of {args.runs} decodes and {args.make_runs} make(s)")
        peers = {
            "bwt": [("bzip2", lambda: measure_stream_peer(args, work, "bzip2", "-9", source, expected))],
            "lz": [("xz", lambda: measure_stream_peer(args, work, "xz", "-6", source, expected)),
                   ("zstd", lambda: measure_stream_peer(args, work, "zstd", "-19", source, expected)),
                   ("7z", lambda: measure_7z(args, work, source, expected))],
            "cm": [("zpaq", lambda: measure_zpaq(args, work, source, expected))],
        }
        for codec in ("bwt", "lz", "cm"):
            if codec not in codecs:
                continue
            print(f"\n{codec}\n{HEADER}")
            ours = measure_ours(args, work, codec, [source], expected)
            print(line(ours, ours, raw), flush=True)
            for tool, run_peer in peers[codec]:
                if installed(tool):
                    print(line(run_peer(), ours, raw), flush=True)

        if "audio" in codecs:
            audio = b"".join(p.read_bytes() for p in wavs)
            print(f"\naudio ({len(wavs)} WAV file(s), {len(audio):,} bytes)\n{HEADER}")
            ours = measure_ours(args, work, "audio", [p.resolve() for p in wavs], audio)
            print(line(ours, ours, len(audio)), flush=True)
            audio_peers = [
                ("flac -8", "flac", lambda w, p: ["flac", "-8", "-f", "--keep-foreign-metadata", "-o", str(p), str(w)],
                 lambda p, d: ["flac", "-d", "-f", "--keep-foreign-metadata", "-o", str(d), str(p)], "flac"),
                ("wavpack -hh", "wavpack", lambda w, p: ["wavpack", "-hh", "-y", str(w), "-o", str(p)],
                 lambda p, d: ["wvunpack", "-y", str(p), "-o", str(d)], "wv"),
            ]
            for name, tool, encode, decode, suffix in audio_peers:
                if installed(tool):
                    peer = measure_audio_peer(args, work, wavs, audio, name, encode, decode, suffix)
                    print(line(peer, ours, len(audio)), flush=True)


if __name__ == "__main__":
    main()
