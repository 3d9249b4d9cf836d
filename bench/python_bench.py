"""Benchmarks of the Python package (not part of the test run):

    PYTHONPATH=build/native/python /usr/bin/python3 bench/python_bench.py [--quick]

prints a Markdown table: process() on 10 minutes of stereo at 44.1 kHz beside the NumPy few-liner
people write for the same job; the cost of one short call; two threads against one (the GIL
released); the batch over 200 files on one and on two workers, on disk and in memory (/dev/shm);
and the peak memory of a worker rendering a 1-hour file.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
import soundfile

import qz_grindlet

RATE = 44100


def numpy_few_liner(x, sample_rate, bits, rate):
    """Sample-and-hold and rounding as people write them in NumPy (not exact in our sense)."""
    scale = 2.0 ** (bits - 1)
    held = np.floor(np.arange(x.shape[-1]) * (rate / sample_rate)) * (sample_rate / rate)
    x = x[..., held.astype(np.int64)]
    return np.round(x * scale) / scale


def best_of(runs, work):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        work()
        best = min(best, time.perf_counter() - start)
    return best


def per_core_speed(seconds, runs):
    audio = (0.5 * np.random.default_rng(1).standard_normal((2, seconds * RATE))).astype(np.float32)
    ours = best_of(runs, lambda: qz_grindlet.process(audio, RATE, bits=8, rate=8000))
    theirs = best_of(runs, lambda: numpy_few_liner(audio, RATE, 8, 8000))
    return ours, theirs


def call_overhead(calls):
    block = np.zeros(1024, dtype=np.float32)
    stream = qz_grindlet.Grindlet(RATE, 1)
    process = best_of(3, lambda: [qz_grindlet.process(block, RATE) for _ in range(calls)]) / calls
    chunk = best_of(3, lambda: [stream.process(block) for _ in range(calls)]) / calls
    return process, chunk


def short_calls_and_batches(calls):
    """A host-sized call (256 stereo frames), and a data loader's batch of 64 one-second 16 kHz
    clips in one call against 64 calls."""
    short = np.zeros((2, 256), dtype=np.float32)
    one = best_of(5, lambda: [qz_grindlet.process(short, RATE) for _ in range(calls)]) / calls
    clips = (0.3 * np.random.default_rng(2).standard_normal((64, 1, 16000))).astype(np.float32)
    together = best_of(7, lambda: qz_grindlet.process(clips, 16000, bits=6, rate=4000))
    apart = best_of(7, lambda: [qz_grindlet.process(clip, 16000, bits=6, rate=4000) for clip in clips])
    return one, together, apart


def augmentation(calls):
    """RandomGrindlet on a 256-frame stereo clip against process() on it (each way with p=1, so
    every call processes): its draw from torch's generator (NumPy's where torch is not
    imported), its own seed, a key; and on a batch of 64 one-second clips, one call."""
    short = np.zeros((2, 256), dtype=np.float32)
    rules = dict(bits=(4, 12), rate=(2000, 8000), quantize=("round", "floor"))
    plain = best_of(5, lambda: [qz_grindlet.process(short, RATE, bits=8) for _ in range(calls)])
    ways = {}
    for name, seed, key in [("drawn from NumPy's generator", None, None),
                            ("drawn from torch's generator", None, None),
                            ("its own seed", 7, None), ("a key", 7, 5)]:
        if "torch" in name:
            try:  # a training loop has torch imported; the draws then come from its generator
                import torch  # noqa: F401
            except ImportError:
                continue
        transform = qz_grindlet.RandomGrindlet(p=1.0, seed=seed, **rules)
        ways[name] = best_of(5, lambda: [transform(short, RATE, key=key) for _ in range(calls)])
    clips = (0.3 * np.random.default_rng(2).standard_normal((64, 1, 16000))).astype(np.float32)
    transform = qz_grindlet.RandomGrindlet(p=1.0, seed=7, **rules)
    batch = best_of(7, lambda: transform(clips, 16000))
    return plain / calls, {name: time / calls for name, time in ways.items()}, batch


def threads(calls):
    """Two threads each rendering a 10-second stereo array `calls` times, against one thread
    doing both shares. Repeated calls reuse the same memory, so that what is measured is the
    GIL rather than the first touch of fresh pages (which the kernel serialises)."""
    arrays = [np.random.default_rng(i).standard_normal((2, 10 * RATE)).astype(np.float32) for i in range(2)]

    def share(i):
        for _ in range(calls):
            qz_grindlet.process(arrays[i], RATE, bits=8, rate=8000)

    serial = best_of(3, lambda: [share(0), share(1)])

    def parallel():
        workers = [threading.Thread(target=share, args=(i,)) for i in range(2)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()

    return serial, best_of(3, parallel)


def batch(folder, workers, files, out_name):
    out = os.path.join(folder, out_name)
    command = [sys.executable, "-m", "qz_grindlet.batch", os.path.join(folder, files), out,
               "--bits", "4:12", "--rate", "2000:16000", "--workers", str(workers)]
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    shutil.rmtree(out)
    return elapsed


def worker_peak_memory(folder, hours_file_seconds):
    """The largest resident set of any process of a one-worker batch over one long file."""
    long_dir = os.path.join(folder, "long")
    os.makedirs(long_dir)
    path = os.path.join(long_dir, "long.wav")
    with soundfile.SoundFile(path, "w", RATE, 2, "PCM_16") as out:
        rng = np.random.default_rng(2)
        chunk = (0.3 * rng.standard_normal((RATE * 60, 2))).astype(np.float32)
        for _ in range(hours_file_seconds // 60):
            out.write(chunk)
    # Measured by a small parent of its own: a child counts in its peak what its parent held
    # when it was forked, and this process holds large arrays.
    measure = ("import resource, subprocess, sys; subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL); "
               "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    command = [sys.executable, "-m", "qz_grindlet.batch", long_dir, os.path.join(folder, "long-out"), "--workers", "1"]
    start = time.perf_counter()
    peak = subprocess.run([sys.executable, "-c", measure, *command], check=True, capture_output=True, text=True).stdout
    elapsed = time.perf_counter() - start
    return int(peak) / 1024.0, elapsed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="small sizes, to check the script runs")
    quick = parser.parse_args().quick
    seconds = 10 if quick else 600
    rows = []
    ours, theirs = per_core_speed(seconds, 2 if quick else 5)
    rows.append((f"process(), {seconds} s stereo 44.1 kHz, 8 bits at 8 kHz", f"{ours * 1e3:.1f} ms",
                 f"NumPy few-liner {theirs * 1e3:.0f} ms: {theirs / ours:.1f}x faster"))
    process, chunk = call_overhead(2000 if quick else 100000)
    rows.append(("process() of 1,024 mono samples", f"{process * 1e6:.2f} µs", ""))
    rows.append(("Grindlet.process() of 1,024 mono samples", f"{chunk * 1e6:.2f} µs", ""))
    one, together, apart = short_calls_and_batches(2000 if quick else 50000)
    rows.append(("process() of 256 stereo frames", f"{one * 1e6:.2f} µs", ""))
    rows.append(("process() of a batch of 64 one-second 16 kHz clips", f"{together * 1e3:.2f} ms",
                 f"64 calls {apart * 1e3:.2f} ms: {apart / together:.1f}x"))
    plain, ways, batch = augmentation(2000 if quick else 50000)
    for name, time in ways.items():
        rows.append((f"RandomGrindlet of 256 stereo frames, {name}", f"{time * 1e6:.2f} µs",
                     f"process() {plain * 1e6:.2f} µs: {time / plain:.2f}x (goal 2x)"))
    rows.append(("RandomGrindlet of a batch of 64 one-second 16 kHz clips", f"{batch * 1e3:.2f} ms",
                 "one call, each item its own settings"))
    calls = 3 if quick else 20
    serial, parallel = threads(calls)
    rows.append((f"2 x {calls} calls on 10 s stereo, two threads", f"{parallel * 1e3:.1f} ms",
                 f"one thread {serial * 1e3:.1f} ms: {serial / parallel:.2f}x"))
    for where in ["/tmp", "/dev/shm"]:
        if os.path.isdir(where):
            batch_rows(rows, where, quick)
    print("| what | time or size | beside |")
    print("|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


def batch_rows(rows, where, quick):
    """The batch in a temporary folder under `where` (a disk, or memory for /dev/shm)."""
    with tempfile.TemporaryDirectory(dir=where) as folder:
        files = 20 if quick else 200
        rng = np.random.default_rng(3)
        os.makedirs(os.path.join(folder, "corpus"))
        for i in range(files):
            audio = (0.3 * rng.standard_normal((RATE * 10, 2))).astype(np.float32)
            soundfile.write(os.path.join(folder, "corpus", f"f{i:03}.wav"), audio, RATE, subtype="PCM_16")
        one = batch(folder, 1, "corpus", "out1")
        two = batch(folder, 2, "corpus", "out2")
        rows.append((f"batch in {where}, {files} files of 10 s stereo PCM 16, 1 worker", f"{one:.2f} s", ""))
        rows.append((f"batch in {where}, {files} files, 2 workers", f"{two:.2f} s", f"{one / two:.2f}x one worker"))
        if where == "/tmp":
            peak, elapsed = worker_peak_memory(folder, 120 if quick else 3600)
            length = "2-minute" if quick else "1-hour"
            rows.append((f"batch, one {length} stereo file, peak resident memory of any process", f"{peak:.0f} MB",
                         f"rendered in {elapsed:.1f} s"))


if __name__ == "__main__":
    main()
