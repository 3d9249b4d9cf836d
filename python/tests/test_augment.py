"""RandomGrindlet: its outputs are process() with the settings it reports, an item's draw depends
on the seed, the key and its place alone, and p decides how often anything happens."""
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
    # Another key, other draws; a Generator as the seed is one number taken from it.
    assert transform(batch, 16000, key=43, return_params=True)[1] != params
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
