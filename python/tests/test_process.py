"""process() and Grindlet against the module as the render tool runs it, bit for bit."""

import math
import subprocess
import threading

import numpy as np
import pytest
import soundfile

import qz_grindlet

SPECIALS = np.array(
    [np.nan, np.inf, -np.inf, -0.0, 0.0, 1.0, -1.0, 1e-45, -1e-45, 3.4028235e38, 1.1754944e-38, 0.999, -0.999],
    dtype=np.float32,
)


def bits_of(samples):
    """Float bit patterns, so that -0.0 differs from 0.0 and NaNs compare."""
    return np.ascontiguousarray(samples, dtype=np.float32).view(np.uint32)


def test_signal(rng, channels, frames, sample_rate):
    """Noise, a sine and the special values: what the module must handle."""
    t = np.arange(frames) / sample_rate
    signal = np.empty((channels, frames), dtype=np.float32)
    for c in range(channels):
        signal[c] = 0.7 * np.sin(2 * np.pi * (220 + 110 * c) * t) + 0.2 * rng.standard_normal(frames)
        places = rng.choice(frames, size=len(SPECIALS), replace=False)
        signal[c, places] = SPECIALS
    return signal


test_signal.__test__ = False


def random_settings(rng):
    def bits():
        return float(rng.choice([0.0, 1.0, 0.5, 23.0, 23.5, 24.0, 32.0, rng.uniform(0, 32), round(rng.uniform(1, 16))]))

    def rate():
        return float(rng.choice([44100.0, 96000.0, 20.0, math.exp(rng.uniform(math.log(50), math.log(96000)))]))

    sweep = rng.random() < 0.4
    levels = {}
    if rng.random() < 0.5:  # the levels around the crusher, else their defaults
        levels = {"drive": float(rng.choice([-24.0, 0.0, 24.0, rng.uniform(-24, 24)])),
                  "mix": float(rng.choice([0.0, 100.0, rng.uniform(0, 100)])),
                  "gain": float(rng.uniform(-24, 24))}
    return {
        **levels,
        "bits": (bits(), bits()) if sweep else bits(),
        "rate": (rate(), rate()) if sweep and rng.random() < 0.7 else rate(),
        "quantize": str(rng.choice(["floor", "round", "inside"])),
        "mode": str(rng.choice(["step", "linear"])),
        "block": int(rng.choice([1, 7, 64, 512, 4096])),
    }


def render_with_tool(tool, folder, signal, sample_rate, settings):
    source, target = folder / "in.wav", folder / "out.wav"
    soundfile.write(source, signal.T, sample_rate, subtype="FLOAT")

    def span(value):
        return f"{value[0]!r}:{value[1]!r}" if isinstance(value, tuple) else repr(value)

    command = [tool, str(source), "-o", str(target), "-f", "--format", "float",
               "--bits", span(settings["bits"]), "--rate", span(settings["rate"]),
               "--quant", settings["quantize"], "--mode", settings["mode"], "--block", str(settings["block"])]
    for level in ("drive", "mix", "gain"):
        if level in settings:
            command += [f"--{level}", repr(settings[level])]
    subprocess.run(command, check=True, capture_output=True)
    output, rate = soundfile.read(target, dtype="float32", always_2d=True)
    assert rate == sample_rate
    return output.T


@pytest.mark.parametrize("case", range(32))
def test_output_is_what_the_render_tool_writes(render_tool, tmp_path, case):
    rng = np.random.default_rng(1000 + case)
    channels = 1 + case % 2
    sample_rate = int(rng.choice([8000, 44100, 48000]))
    signal = test_signal(rng, channels, int(rng.integers(2000, 12000)), sample_rate)
    settings = random_settings(rng)
    expected = render_with_tool(render_tool, tmp_path, signal, sample_rate, settings)
    audio = signal[0] if channels == 1 else signal
    got = qz_grindlet.process(audio, sample_rate, **settings)
    assert got.shape == audio.shape and got.dtype == np.float32
    np.testing.assert_array_equal(bits_of(got.reshape(channels, -1)), bits_of(expected), err_msg=str(settings))
    # The same samples, interleaved as soundfile gives them.
    interleaved = qz_grindlet.process(signal.T.copy(), sample_rate, channels_last=True, **settings)
    np.testing.assert_array_equal(bits_of(interleaved.T), bits_of(expected))


def test_float64_is_rounded_to_float32_first():
    rng = np.random.default_rng(5)
    wide = rng.standard_normal((2, 5000))
    got = qz_grindlet.process(wide, 44100, bits=7.5, rate=3000, mode="linear")
    want = qz_grindlet.process(wide.astype(np.float32), 44100, bits=7.5, rate=3000, mode="linear")
    assert got.dtype == np.float32
    np.testing.assert_array_equal(bits_of(got), bits_of(want))


def test_input_is_left_as_it_was_and_strided_views_are_read_right():
    rng = np.random.default_rng(6)
    signal = rng.standard_normal((2, 8000)).astype(np.float32)
    before = signal.copy()
    every_other = signal[:, ::2]
    got = qz_grindlet.process(every_other, 22050, bits=5, rate=4000)
    np.testing.assert_array_equal(signal, before)
    want = qz_grindlet.process(np.ascontiguousarray(every_other), 22050, bits=5, rate=4000)
    np.testing.assert_array_equal(bits_of(got), bits_of(want))


@pytest.mark.parametrize("mode", ["step", "linear"])
@pytest.mark.parametrize("channels_last", [False, True])
def test_any_chunking_of_a_stream_gives_the_bits_of_one_call(mode, channels_last):
    rng = np.random.default_rng(7)
    signal = test_signal(rng, 2, 30000, 44100)
    settings = dict(bits=6.3, rate=5512.5, quantize="inside", mode=mode)
    whole = qz_grindlet.process(signal, 44100, **settings)
    stream = qz_grindlet.Grindlet(44100, 2, channels_last=channels_last, **settings)
    for attempt in range(2):  # reset() starts over as a new object would
        pieces, start = [], 0
        while start < signal.shape[1]:
            size = int(rng.choice([0, 1, 3, 511, 512, 513, 4000]))
            chunk = signal[:, start : start + size]
            out = stream.process(chunk.T if channels_last else chunk)
            pieces.append(out.T if channels_last else out)
            start += size
        np.testing.assert_array_equal(bits_of(np.concatenate(pieces, axis=1)), bits_of(whole))
        stream.reset()


def test_a_stream_whose_controls_change_each_block_is_process_with_values_per_block():
    rng = np.random.default_rng(8)
    signal = test_signal(rng, 1, 64 * 40, 48000)[0]
    bits = rng.uniform(1, 16, 40)
    rates = np.exp(rng.uniform(np.log(200), np.log(48000), 40))
    whole = qz_grindlet.process(signal, 48000, bits=bits, rate=rates, mode="linear", block=64)
    stream = qz_grindlet.Grindlet(48000, 1, mode="linear")
    pieces = []
    for block in range(40):
        stream.set(bits=bits[block], rate=rates[block])
        pieces.append(stream.process(signal[block * 64 : (block + 1) * 64]))
    np.testing.assert_array_equal(bits_of(np.concatenate(pieces)), bits_of(whole))


def test_a_streams_levels_ramp_to_a_new_setting_and_arrive_exactly():
    # A transparent crusher (32 bits, the signal's own rate) on a constant: the output is the
    # output gain itself, which must glide to its new value over 5 ms rather than jump.
    rate, fade = 48000, 240
    stream = qz_grindlet.Grindlet(rate, 1, bits=32, rate=rate, gain=0)
    dc = np.full(1000, 0.5, dtype=np.float32)
    assert set(stream.process(dc)) == {np.float32(0.5)}
    stream.set(gain=-24)
    out = stream.process(dc)
    settled = qz_grindlet.process(dc, rate, bits=32, rate=rate, gain=-24)[0]
    steps = np.abs(np.diff(np.concatenate(([np.float32(0.5)], out))))
    assert steps.max() <= (0.5 - settled) / fade * 1.01
    assert np.all(out[fade - 1 :] == settled) and out[fade - 2] != settled
    assert stream.gain == -24


def test_a_sweep_is_read_at_each_blocks_first_frame():
    # 0 bits is silence and 32 bits passes the signal: a sweep between them across three blocks
    # of 4 frames has 0, then 16, then 32 bits, the last value at the last block's first frame.
    signal = np.full(9, 0.3, dtype=np.float32)
    got = qz_grindlet.process(signal, 44100, bits=(0, 32), rate=44100, block=4)
    per_block = qz_grindlet.process(signal, 44100, bits=np.array([0, 16, 32]), rate=44100, block=4)
    np.testing.assert_array_equal(bits_of(got), bits_of(per_block))
    assert list(got[:4]) == [0.0] * 4 and list(got[8:]) == [np.float32(0.3)]


def test_threads_share_nothing():
    rng = np.random.default_rng(9)
    signals = [rng.standard_normal(200000).astype(np.float32) for _ in range(4)]
    alone = [qz_grindlet.process(s, 44100, bits=4, rate=2000) for s in signals]
    together = [None] * 4

    def work(i):
        together[i] = qz_grindlet.process(signals[i], 44100, bits=4, rate=2000)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for a, b in zip(alone, together):
        np.testing.assert_array_equal(bits_of(a), bits_of(b))


GOOD = np.zeros((2, 100), dtype=np.float32)

BAD_CALLS = [
    # (arguments, exception, words the message must hold)
    (dict(audio=GOOD.astype(np.int16)), TypeError, "audio"),
    (dict(audio="loud"), TypeError, "audio"),
    (dict(audio=np.zeros(0, np.float32)), ValueError, "audio is empty"),
    (dict(audio=np.zeros((2, 0), np.float32)), ValueError, "audio is empty"),
    (dict(audio=np.zeros((2, 2, 2, 2), np.float32)), ValueError, "dimensions"),
    (dict(audio=None), TypeError, "audio must be an array of numbers; got None"),
    (dict(audio=np.zeros((4, 3), np.float32)), ValueError, "fewer frames than channels"),
    (dict(audio=np.zeros((1000, 2), np.float32)), ValueError, "channels_last"),
    (dict(sample_rate=0), ValueError, "sample_rate"),
    (dict(sample_rate=-44100), ValueError, "sample_rate"),
    (dict(sample_rate=float("inf")), ValueError, "sample_rate"),
    (dict(sample_rate=float("nan")), ValueError, "sample_rate"),
    (dict(sample_rate=1e300), ValueError, "sample_rate"),
    (dict(sample_rate="44100"), TypeError, "sample_rate"),
    (dict(bits=33), ValueError, "bits must be from 0 to 32"),
    (dict(bits=-1), ValueError, "bits"),
    (dict(bits=float("nan")), ValueError, "bits"),
    (dict(bits=(8, 40)), ValueError, "bits"),
    (dict(bits=(8,)), ValueError, "bits"),
    (dict(bits="8"), TypeError, "bits"),
    (dict(bits=True), TypeError, "bits"),
    (dict(bits=np.array([8, 8, 8])), ValueError, "bits: 3 values given for 1 blocks"),
    (dict(bits=[4, 12]), TypeError, "not a list"),
    (dict(out=np.zeros((2, 99), np.float32)), ValueError, "out must have the shape of audio"),
    (dict(out=np.zeros((2, 100))), TypeError, "out must hold float32"),
    (dict(bits=np.zeros((1, 1))), TypeError, "bits"),
    (dict(rate=0), ValueError, "rate must be above 0"),
    (dict(rate=2e6), ValueError, "rate"),
    (dict(quantize="nearest"), ValueError, "quantize must be one of 'floor', 'round', 'inside'"),
    (dict(quantize=3), ValueError, "quantize"),
    (dict(quantize=1.0), TypeError, "quantize"),
    (dict(mode="smooth"), ValueError, "mode"),
    (dict(drive=25), ValueError, "drive must be from -24 to 24 dB"),
    (dict(mix=-1), ValueError, "mix must be from 0 to 100 %"),
    (dict(gain=float("nan")), ValueError, "gain"),
    (dict(gain=(0, 6)), TypeError, "gain must be a number"),
    (dict(block=0), ValueError, "block"),
    (dict(block=65537), ValueError, "block"),
    (dict(block=2.5), TypeError, "block"),
    (dict(p=0.5), TypeError, "got an unexpected keyword argument 'p'"),
    (dict(law="ulaw"), ValueError, "law must be one of 'linear', 'mu-law', 'a-law'"),
    (dict(seed=-1), ValueError, "seed"),
    (dict(tone=30000), ValueError, "tone"),
]


@pytest.mark.parametrize("arguments, exception, words", BAD_CALLS)
def test_bad_input_is_a_clear_exception(arguments, exception, words):
    call = dict(audio=GOOD, sample_rate=44100)
    call.update(arguments)
    with pytest.raises(exception, match=words.replace("(", r"\(")):
        qz_grindlet.process(call.pop("audio"), call.pop("sample_rate"), **call)


def test_a_stream_refuses_what_it_cannot_take_and_keeps_its_controls():
    with pytest.raises(ValueError, match="channels"):
        qz_grindlet.Grindlet(44100, 0)
    stream = qz_grindlet.Grindlet(44100, 2, bits=6)
    with pytest.raises(ValueError, match="chunk has 1 channels"):
        stream.process(np.zeros((1, 10), np.float32))
    with pytest.raises(ValueError, match="rate"):
        stream.set(bits=4, rate=0)
    assert stream.bits == 6  # nothing changed by a refused set()
    with pytest.raises(TypeError, match="bits must be a number for a stream"):
        stream.set(bits=(4, 8))
    assert qz_grindlet.process(GOOD, 44100, quantize="ROUND", mode=1).shape == GOOD.shape


def test_the_defaults_are_the_table_of_controls():
    table = {row["symbol"]: row["default"] for row in qz_grindlet.CONTROLS}
    assert table == {"bits": 8.0, "rate": 8000.0, "quantize": "round", "mode": "step",
                     "drive": 0.0, "mix": 100.0, "gain": 0.0, "antialias": 0.0, "tone": 0.0,
                     "law": "linear", "lfo_rate": 0.5, "lfo_depth": 0.0, "lfo_shape": "sine",
                     "lfo_sync": "off", "bpm": 120.0, "jitter": 0.0, "dither": "none", "seed": 0.0,
                     "rate_ratio": 0.0}
    signal = np.random.default_rng(10).standard_normal(3000).astype(np.float32)
    np.testing.assert_array_equal(
        bits_of(qz_grindlet.process(signal, 44100)), bits_of(qz_grindlet.process(signal, 44100, **table))
    )


STAGES = dict(bits=7.3, rate=9876.54, antialias=73.3, tone=(500, 9000), law="a-law", lfo_rate=3.3,
              lfo_depth=0.7, lfo_shape="random", jitter=12.5, dither="tpdf", seed=99)


def test_the_stages_stream_as_they_process_and_a_seed_fixes_them():
    rng = np.random.default_rng(27)
    signal = (0.5 * rng.standard_normal((2, 30000))).astype(np.float32)
    fixed = dict(STAGES, tone=3210.7)
    whole = qz_grindlet.process(signal, 48000, **fixed)
    stream = qz_grindlet.Grindlet(48000, 2, **fixed)
    assert (stream.law, stream.lfo_shape, stream.seed) == ("a-law", "random", 99.0)
    cuts = np.sort(rng.choice(30000, 12, replace=False))
    chunks = [stream.process(part) for part in np.split(signal, cuts, axis=1)]
    np.testing.assert_array_equal(bits_of(np.concatenate(chunks, axis=1)), bits_of(whole))
    again = qz_grindlet.process(signal, 48000, **fixed)
    np.testing.assert_array_equal(bits_of(again), bits_of(whole))
    other = qz_grindlet.process(signal, 48000, **dict(fixed, seed=100))
    assert not np.array_equal(bits_of(other), bits_of(whole))
    with pytest.raises(TypeError, match="set\\(\\) got an unexpected keyword argument 'tempo'"):
        stream.set(tempo=120)


def test_numpy_scalars_out_and_batches():
    rng = np.random.default_rng(29)
    batch = (0.5 * rng.standard_normal((3, 2, 5000))).astype(np.float32)
    settings = dict(bits=np.float64(6.3), rate=np.float32(5535.95), quantize=np.int64(2),
                    mode=np.int8(1), block=np.int64(300))
    each = np.stack([qz_grindlet.process(item, 44100, **settings) for item in batch])
    together = qz_grindlet.process(batch, 44100, **settings)
    np.testing.assert_array_equal(bits_of(together), bits_of(each))
    # out= is written and returned; the input itself is processed in place.
    out = np.empty_like(batch)
    assert qz_grindlet.process(batch, 44100, out=out, **settings) is out
    np.testing.assert_array_equal(bits_of(out), bits_of(each))
    inplace = batch.copy()
    qz_grindlet.process(inplace, 44100, out=inplace, **settings)
    np.testing.assert_array_equal(bits_of(inplace), bits_of(each))
    frames_last = np.ascontiguousarray(batch[0].T)
    qz_grindlet.process(frames_last, 44100, channels_last=True, out=frames_last, **settings)
    np.testing.assert_array_equal(bits_of(frames_last.T), bits_of(each[0]))
    flat = batch.reshape(-1)
    with pytest.raises(ValueError, match="overlaps"):
        qz_grindlet.process(flat[:9000], 44100, out=flat[100:9100])
    assert qz_grindlet.Grindlet(44100, np.int64(2)).channels == 2


def test_a_preset_sets_the_controls_not_named_everywhere_python_takes_controls():
    audio = np.random.default_rng(5).uniform(-0.8, 0.8, (2, 3000)).astype(np.float32)
    for preset in qz_grindlet.PRESETS:
        settings = dict(preset["settings"], bits=6)
        expected = qz_grindlet.process(audio, 44100, **settings)
        got = qz_grindlet.process(audio, 44100, preset=preset["symbol"], bits=6)
        assert np.array_equal(got.view(np.uint32), expected.view(np.uint32)), preset["symbol"]
        stream = qz_grindlet.Grindlet(44100, 2, preset=preset["symbol"], bits=6)
        assert np.array_equal(stream.process(audio).view(np.uint32), expected.view(np.uint32))
    stream = qz_grindlet.Grindlet(44100, 2)
    stream.set(preset="chiptune", drive=0)  # the preset, then what is named with it
    assert (stream.bits, stream.rate, stream.drive) == (4.0, 16000.0, 0.0)
    with pytest.raises(ValueError, match="preset must be one of 'early-sampler'"):
        qz_grindlet.process(audio, 44100, preset="chip")
