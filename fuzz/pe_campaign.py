"""A damage campaign against the Windows module file: every structural byte (the headers, the
section table, and the export, import and TLS directories the image points at) changed three
ways (xor 0x01, 0x80, 0xFF), each image once with its checksum zeroed and once recomputed, so
that the loader's structural checks are reached rather than the checksum refusing the image.
Each image goes through `grindlet-check IMAGE --describe`; what must hold is that the checker
itself never dies by a signal and never hangs: a damaged module may be refused (exit 2), load
and be described (exit 0), or crash or hang inside the checker's child (reported, exit 2).

    python3 fuzz/pe_campaign.py [--checker build/linux/grindlet-check] [--module M] [--jobs N]
"""
import argparse
import collections
import concurrent.futures
import os
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cmake"))
import pe_checksum  # noqa: E402

CHECKER_LIMIT_SECONDS = 60  # the checker's own child limit is --timeout 5; this is for the checker


def rva_to_offset(sections, rva):
    for va, vsize, raw, rsize in sections:
        if va <= rva < va + max(vsize, rsize) and rva - va < rsize:
            return raw + rva - va
    return None


def structural_ranges(image):
    (pe,) = struct.unpack_from("<I", image, 0x3C)
    (count,) = struct.unpack_from("<H", image, pe + 6)
    (optional,) = struct.unpack_from("<H", image, pe + 20)
    table = pe + 24 + optional
    sections = []
    for s in range(count):
        vsize, va, rsize, raw = struct.unpack_from("<IIII", image, table + 40 * s + 8)
        sections.append((va, vsize, raw, rsize))
    ranges = [(0, table + 40 * count)]
    (directories,) = struct.unpack_from("<I", image, pe + 24 + 92)
    for index in (0, 1, 9):  # export, import, TLS
        if index < directories:
            rva, size = struct.unpack_from("<II", image, pe + 24 + 96 + 8 * index)
            at = rva_to_offset(sections, rva) if size else None
            if at is not None:
                ranges.append((at, at + size))
    return pe + 24 + 64, ranges


def images(original):
    field, ranges = structural_ranges(original)
    for start, end in ranges:
        for at in range(start, end):
            for flip in (0x01, 0x80, 0xFF):
                damaged = bytearray(original)
                damaged[at] ^= flip
                for mode in ("zeroed", "recomputed"):
                    image = bytearray(damaged)
                    struct.pack_into("<I", image, field, 0)
                    if mode == "recomputed":
                        struct.pack_into("<I", image, field, pe_checksum.checksum(bytes(image), field))
                    yield at, flip, mode, bytes(image)


def run(checker, folder, case):
    at, flip, mode, image = case
    path = os.path.join(folder, "%06x-%02x-%s.sep" % (at, flip, mode))
    with open(path, "wb") as f:
        f.write(image)
    try:
        done = subprocess.run([checker, path, "--describe", "--timeout", "5"], capture_output=True,
                              timeout=CHECKER_LIMIT_SECONDS, text=True, errors="replace")
        outcome = done.returncode
        said = (done.stderr or done.stdout).strip().splitlines()
        reason = said[-1] if said else ""
    except subprocess.TimeoutExpired:
        outcome, reason = "checker hung", ""
    os.unlink(path)
    return at, flip, mode, outcome, reason.replace(path, "IMAGE")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--checker", default="build/linux/grindlet-check")
    parser.add_argument("--module", default="build/windows/Module.sep")
    parser.add_argument("--jobs", type=int, default=os.cpu_count())
    args = parser.parse_args()
    with open(args.module, "rb") as f:
        original = f.read()
    outcomes = collections.Counter()
    reasons = collections.Counter()
    faults = []
    def results(pool, folder):
        # A bounded window of images in flight: all of them at once would be gigabytes.
        pending = collections.deque()
        for case in images(original):
            pending.append(pool.submit(run, args.checker, folder, case))
            if len(pending) >= 4 * args.jobs:
                yield pending.popleft().result()
        while pending:
            yield pending.popleft().result()

    with tempfile.TemporaryDirectory() as folder, \
            concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for at, flip, mode, outcome, reason in results(pool, folder):
            outcomes[outcome] += 1
            if outcome == 2:
                reasons[reason.split(": ", 1)[-1][:90]] += 1
            if not isinstance(outcome, int) or outcome < 0 or outcome not in (0, 1, 2):
                faults.append((at, flip, mode, outcome, reason))
    total = sum(outcomes.values())
    print("%d images" % total)
    for outcome, n in sorted(outcomes.items(), key=lambda x: str(x[0])):
        print("  exit %s: %d" % (outcome, n))
    print("most frequent reasons for exit 2:")
    for reason, n in reasons.most_common(25):
        print("  %6d  %s" % (n, reason))
    for fault in faults:
        print("CHECKER FAULT: byte 0x%x ^ 0x%02x, checksum %s: %s %s" % fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
