"""RandomGrindlet: its outputs are process() with the settings it reports, its draws follow a
training loop's seeding (torch's, NumPy's, its own seed, or a key and epoch), and every call is
checked the same whatever its coin says."""
import subprocess
import sys

import numpy as np
import pytest

import qz_grindlet

RULES = dict(bits=(4, 12), rate=(2000, 8000), quantize=("round", "floor"), mode=("step", "linear"),
             law=("linear", "mu-law"), jitter=(0, 20))


def bits_of(a):
    return np.ascontiguousarray(a, dtype=np.float32).view(np.uint32)


def test_outputs_are_process_with_the_reported_settings_and_draws_are_reproducible():
    rng = np.random.default_rng(4)
    batch = (0.3 * rng.standard_normal((6, 2, 4000))).astype(np.float32)
    transform = qz_grindlet.RandomGrindlet(p=0.7, seed=11, **RULES)
    out, params = transform(batch, 16000, key=42, return_params=True)
    assert len(params) == 6 and any(p is None for p in params) and any(p for p in params)
    for item, settings, got in zip(batch, params, out):
        expected = item if settings is None else qz_grindlet.process(item, 16000, **settings)
        np.testing.assert_array_equal(bits_of(got), bits_of(expected))
        if settings:
            assert 4 <= settings["bits"] <= 12 and settings["quantize"] in ("round", "floor")
    # The same seed and key, another object (another worker): the same draws and bits.
    again, same = qz_grindlet.RandomGrindlet(p=0.7, seed=11, **RULES)(batch, 16000, key=42,
                                                                        return_params=True)
    assert same == params
    np.testing.assert_array_equal(bits_of(again), bits_of(out))
    # Another key or epoch, other draws; set_epoch() is the same as epoch=.
    assert transform(batch, 16000, key=43, return_params=True)[1] != params
    next_epoch = transform(batch, 16000, key=42, epoch=1, return_params=True)[1]
    assert next_epoch != params
    transform.set_epoch(1)
    assert transform(batch, 16000, key=42, return_params=True)[1] == next_epoch
    # A key is its kind and its value: 1 and "1" draw apart; a Generator as the seed is one
    # number taken from it.
    assert transform(batch, 16000, key=1, return_params=True)[1] != \
        transform(batch, 16000, key="1", return_params=True)[1]
    assert qz_grindlet.RandomGrindlet(seed=np.random.default_rng(1)).seed == \
        qz_grindlet.RandomGrindlet(seed=np.random.default_rng(1)).seed


@pytest.mark.parametrize("p, changed", [(0.0, 0), (1.0, 40)])
def test_p_decides_whether_an_item_is_changed(p, changed):
    clip = np.full((1, 300), 0.3, dtype=np.float32)
    transform = qz_grindlet.RandomGrindlet(p=p, seed=5, bits=(2, 3))
    results = [transform(clip, 8000, key=k, return_params=True) for k in range(40)]
    assert sum(params is not None for _, params in results) == changed
    if p == 0.0:
        assert all(out is clip for out, _ in results)  # left as it is: the input itself


@pytest.mark.parametrize("rules, error", [
    (dict(p=1.5), ValueError), (dict(tempo=(1, 2)), TypeError), (dict(seed_of_effect=1), TypeError),
    (dict(bits=(4, 40)), ValueError), (dict(quantize=("nearest",)), ValueError),
    (dict(seed=1.9), TypeError), (dict(seed="1"), TypeError), (dict(seed=True), TypeError),
    (dict(seed=-1), ValueError), (dict(block=0), ValueError), (dict(bits=(12, 4)), ValueError),
])
def test_bad_rules_are_refused(rules, error):
    with pytest.raises(error):
        qz_grindlet.RandomGrindlet(**rules)


def test_tensors_round_trip_bit_for_bit():
    torch = pytest.importorskip("torch")
    batch = np.random.default_rng(8).uniform(-1, 1, (3, 2, 700)).astype(np.float32)
    transform = qz_grindlet.RandomGrindlet(p=1.0, seed=11, bits=(3, 9), rate=(2000, 8000))
    out, params = transform(torch.from_numpy(batch.copy()), 16000, key=4, return_params=True)
    assert isinstance(out, torch.Tensor) and out.dtype == torch.float32 and out.shape == batch.shape
    for item, settings in enumerate(params):
        expected = qz_grindlet.process(batch[item], 16000, block=transform.block, **settings)
        assert np.array_equal(out[item].numpy().view(np.uint32), expected.view(np.uint32))
    clip = torch.from_numpy(batch[0].copy()).requires_grad_()
    with pytest.raises(TypeError, match=r"\.detach\(\)"):
        qz_grindlet.process(clip, 16000)


@pytest.mark.parametrize("p", [0.0, 1.0])
@pytest.mark.parametrize("audio, sample_rate, error, message", [
    (np.zeros((2, 100), np.int16), 16000, TypeError, "integer PCM is refused"),
    (np.zeros((2, 0), np.float32), 16000, ValueError, "empty"),
    (np.zeros((2, 100), np.float32), 0, ValueError, "sample_rate"),
    (np.zeros((2, 100), np.float32), 16000, TypeError, "key must be"),
])
def test_a_call_is_checked_the_same_whatever_the_coin(p, audio, sample_rate, error, message):
    key = 1.5 if message == "key must be" else 3
    with pytest.raises(error, match=message):
        qz_grindlet.RandomGrindlet(p=p, seed=1)(audio, sample_rate, key=key)


def test_float64_comes_back_float64_and_choices_are_taken_by_index():
    batch = np.random.default_rng(2).uniform(-1, 1, (8, 2, 500))
    transform = qz_grindlet.RandomGrindlet(p=0.5, seed=3, bits=(3, 9), law=(0, "a-law"))
    out, params = transform(batch, 16000, key=1, return_params=True)
    assert out.dtype == np.float64 and {p is None for p in params} == {True, False}
    for item, settings in enumerate(params):
        if settings is None:  # left as it is: every bit of its float64
            assert np.array_equal(out[item], batch[item])
        else:  # computed in single precision, as process() computes
            assert settings["law"] in ("linear", "a-law")
            expected = qz_grindlet.process(batch[item], 16000, **settings)
            assert np.array_equal(out[item], expected.astype(np.float64))


def draws_of(transform, calls=6):
    clip = np.full((1, 64), 0.25, dtype=np.float32)
    return [transform(clip, 8000, return_params=True)[1]["seed"] for _ in range(calls)]


def test_without_a_seed_draws_follow_torchs_generator():
    torch = pytest.importorskip("torch")
    transform = qz_grindlet.RandomGrindlet(p=1.0, bits=(4, 12))
    torch.manual_seed(5)
    first = draws_of(transform)
    torch.manual_seed(5)
    assert draws_of(transform) == first and len(set(first)) == len(first)
    assert draws_of(transform) != first


def test_without_torch_draws_follow_numpys_generator():
    program = """
import sys, numpy as np, qz_grindlet
t = qz_grindlet.RandomGrindlet(p=1.0, bits=(4, 12))
clip = np.zeros((1, 64), np.float32)
def draws():
    return [t(clip, 8000, return_params=True)[1]["seed"] for _ in range(4)]
np.random.seed(9); a = draws(); np.random.seed(9); b = draws()
assert "torch" not in sys.modules and a == b and len(set(a)) == 4 and draws() != a, (a, b)
"""
    subprocess.run([sys.executable, "-c", program], check=True)


class Clips:
    """A dataset of silent clips whose items report the settings their draw gave."""

    def __init__(self, transform, count=8):
        self.transform, self.count = transform, count

    def __len__(self):
        return self.count

    def __getitem__(self, index):
        import torch

        clip = torch.zeros((1, 64))
        _, params = self.transform(clip, 8000, return_params=True)
        return index, params["seed"], params["bits"]


def loader_draws(torch, transform, seed, epochs=2):
    torch.manual_seed(seed)
    loader = torch.utils.data.DataLoader(Clips(transform), batch_size=None, num_workers=2)
    return [[(int(i), float(s), float(b)) for i, s, b in loader] for _ in range(epochs)]


@pytest.mark.parametrize("own_seed", [None, 7])
def test_a_dataloader_draws_afresh_for_every_item_worker_and_epoch_and_repeats_under_a_seed(
        own_seed):
    torch = pytest.importorskip("torch")
    transform = qz_grindlet.RandomGrindlet(p=1.0, seed=own_seed, bits=(4, 12))
    epochs = loader_draws(torch, transform, seed=11)
    draws = [(s, b) for epoch in epochs for _, s, b in epoch]
    assert len(draws) == 16 and len(set(draws)) == 16  # 2 workers, 2 epochs, 8 items
    assert loader_draws(torch, transform, seed=11) == epochs
    assert loader_draws(torch, transform, seed=12) != epochs


def test_the_torch_modules_work_in_sequential_and_keep_dtype_and_shape():
    torch = pytest.importorskip("torch")
    import qz_grindlet.torch as grindlet_torch

    batch = torch.from_numpy(np.random.default_rng(3).uniform(-1, 1, (4, 2, 300)))
    chain = torch.nn.Sequential(
        grindlet_torch.RandomGrindlet(16000, p=1.0, seed=2, bits=(3, 6)),
        grindlet_torch.Grindlet(16000, bits=4, rate=4000),
    )
    out = chain(batch)
    assert out.shape == batch.shape and out.dtype == torch.float64
    first = chain[0].transform(batch, key=0, return_params=True)[1]
    assert len(first) == 4 and all(3 <= p["bits"] <= 6 for p in first)
    fixed = qz_grindlet.process(batch.numpy()[0].astype(np.float32), 16000, bits=4, rate=4000)
    assert np.array_equal(chain[1](batch[0]).numpy(), fixed.astype(np.float64))
    with pytest.raises(TypeError, match="unexpected keyword"):
        grindlet_torch.RandomGrindlet(16000, bitz=4)
    with pytest.raises(TypeError):
        grindlet_torch.Grindlet(16000, bitz=4)
