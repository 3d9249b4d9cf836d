"""32-bit float WAV files for the LV2 comparison: write a test signal, or compare two files'
samples bit for bit (headers aside); draw settings, and render a file through Python's process().

    float_wav.py write FILE CHANNELS [RATE]
    float_wav.py compare A B
    float_wav.py settings COUNT SEED     lines of: RATE CHANNELS SYMBOL=VALUE...
    float_wav.py process IN OUT SYMBOL=VALUE...
"""
import math
import random
import struct
import sys

RATE = 44100
FRAMES = 3 * RATE
FLOAT_FORMAT = 3


def write(path, channels, rate=RATE):
    rng = random.Random(20261208)
    samples = []
    for i in range(FRAMES):
        t = i / rate
        for c in range(channels):
            # A sweep, a chord and a little noise; the right channel a fifth above.
            f = (110.0 + 900.0 * t) * (1.5 if c else 1.0)
            value = 0.6 * math.sin(2 * math.pi * f * t) + 0.2 * math.sin(2 * math.pi * 3 * f * t)
            samples.append(value + 0.02 * (rng.random() - 0.5))
    write_samples(path, channels, rate, struct.pack("<%df" % len(samples), *samples))


def write_samples(path, channels, rate, data):
    fmt = struct.pack("<HHIIHH", FLOAT_FORMAT, channels, rate, rate * 4 * channels, 4 * channels, 32)
    with open(path, "wb") as out:
        out.write(b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(data)) + b"WAVE")
        out.write(b"fmt " + struct.pack("<I", len(fmt)) + fmt)
        out.write(b"data" + struct.pack("<I", len(data)) + data)


def samples(path):
    with open(path, "rb") as f:
        blob = f.read()
    if blob[:4] != b"RIFF" or blob[8:12] != b"WAVE":
        sys.exit("%s is not a WAV file" % path)
    at, fmt, data = 12, None, None
    while at + 8 <= len(blob):
        tag, size = blob[at:at + 4], struct.unpack("<I", blob[at + 4:at + 8])[0]
        body = blob[at + 8:at + 8 + size]
        if tag == b"fmt ":
            fmt = struct.unpack("<HHIIHH", body[:16])
        elif tag == b"data":
            data = body
        at += 8 + size + (size & 1)
    if fmt is None or data is None:
        sys.exit("%s has no fmt or data chunk" % path)
    tag, channels, rate, _, _, bits = fmt
    if bits != 32 or tag not in (FLOAT_FORMAT, 0xFFFE):
        sys.exit("%s is not 32-bit float" % path)
    return channels, rate, data


def compare(a, b):
    first, second = samples(a), samples(b)
    if first[:2] != second[:2]:
        sys.exit("channels or rate differ: %s, %s" % (first[:2], second[:2]))
    if len(first[2]) != len(second[2]):
        sys.exit("lengths differ: %d, %d bytes" % (len(first[2]), len(second[2])))
    if first[2] != second[2]:
        words = len(first[2]) // 4
        x = struct.unpack("<%dI" % words, first[2])
        y = struct.unpack("<%dI" % words, second[2])
        index = next(i for i in range(words) if x[i] != y[i])
        sys.exit("sample %d differs: %08x, %08x" % (index, x[index], y[index]))


# The controls drawn, as (symbol, choices or None, low, high, digits); a choice as its index.
DRAWN = [("bits", None, 1, 17, 4), ("rate", None, 200, 20000, 3), ("quantize", 3, 0, 0, 0),
         ("mode", 2, 0, 0, 0), ("drive", None, -24, 24, 3), ("mix", None, 0, 100, 2),
         ("gain", None, -24, 24, 3)]
# The stages, drawn on in about half the settings.
STAGES = [("antialias", None, 0, 100, 2), ("tone", None, 300, 15000, 2), ("law", 3, 0, 0, 0),
          ("lfo_rate", None, 0.1, 20, 3), ("lfo_depth", None, 0, 2, 3), ("lfo_shape", 3, 0, 0, 0),
          ("jitter", None, 0, 50, 2), ("dither", 2, 0, 0, 0), ("seed", None, 0, 16777215, 0),
          ("lfo_sync", 19, 0, 0, 0), ("bpm", None, 40, 240, 2), ("rate_ratio", None, 0, 0.5, 4)]


def settings(count, seed):
    """Settings as a user types them (many digits, which a float does not hold), one line each:
    RATE CHANNELS then SYMBOL=VALUE pairs (a choice as its index)."""
    rng = random.Random(seed)
    for _ in range(count):
        pairs = []
        for symbol, choices, low, high, digits in DRAWN + (STAGES if rng.random() < 0.5 else []):
            if choices:
                pairs.append("%s=%d" % (symbol, rng.randrange(choices)))
            elif symbol in ("drive", "mix", "gain", "rate_ratio") and rng.random() < 0.5:
                continue  # at its default
            else:
                pairs.append("%s=%.*f" % (symbol, digits, rng.uniform(low, high)))
        print(rng.choice([44100, 48000]), rng.choice([1, 2]), *pairs)


def process(source, target, *pairs):
    import numpy
    import qz_grindlet
    channels, rate, data = samples(source)
    audio = numpy.frombuffer(data, dtype="<f4").reshape(-1, channels).T
    choices = {row["symbol"] for row in qz_grindlet.CONTROLS if row["choices"]}
    controls = {}
    for pair in pairs:
        symbol, value = pair.split("=")
        if symbol == "preset":
            controls[symbol] = value
        else:
            controls[symbol] = int(value) if symbol in choices else float(value)
    out = qz_grindlet.process(audio, rate, **controls)
    write_samples(target, channels, rate, numpy.ascontiguousarray(out.T).astype("<f4").tobytes())


if __name__ == "__main__":
    if len(sys.argv) in (4, 5) and sys.argv[1] == "write":
        write(sys.argv[2], int(sys.argv[3]), *(int(r) for r in sys.argv[4:]))
    elif len(sys.argv) == 4 and sys.argv[1] == "settings":
        settings(int(sys.argv[2]), int(sys.argv[3]))
    elif len(sys.argv) >= 4 and sys.argv[1] == "process":
        process(*sys.argv[2:])
    elif len(sys.argv) == 4 and sys.argv[1] == "compare":
        compare(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
