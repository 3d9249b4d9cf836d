"""An augmentation transform for training on audio: with probability p, a clip goes through the
effect with settings drawn from ranges, by the same rules as the batch (settings.py).

    transform = qz_grindlet.RandomGrindlet(p=0.5, bits=(4, 12), rate=(2000, 8000),
                                           quantize=("round", "floor"), seed=7)
    y = transform(x, 16000)                       # x: (frames,), (channels, frames) or a batch
    y, params = transform(x, 16000, key=index, return_params=True)

Reproducible: an item's draw depends on the seed, its key (the `key` given, else the count of
calls this object has made) and its place in a batch, nothing else; with `key=` (a dataset
index, say) the outputs are the same whatever the threads, processes or DataLoader workers.
"""

import secrets
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import settings as drawing
from ._grindlet import process

# A control's rule as given: a value; a (low, high) range for a number; names for a choice.
Rule = Union[float, int, str, Tuple[Any, ...], List[Any]]


def _spec(symbol: str, rule: Rule):
    row = drawing.CONTROL.get(symbol)
    if row is None or symbol == drawing.EFFECT_SEED:
        raise TypeError(f"RandomGrindlet() got an unexpected keyword argument '{symbol}'")
    if row["choices"]:
        names = tuple(rule) if isinstance(rule, (tuple, list)) else (rule,)
        return drawing.parse_choices(symbol, ",".join(str(name) for name in names))
    if isinstance(rule, (tuple, list)):
        if len(rule) != 2:
            raise ValueError(f"{symbol}: a range is (low, high); got {rule!r}")
        low, high = rule
    else:
        low = high = rule
    return drawing.parse_number(symbol, f"{float(low)!r}:{float(high)!r}")


class RandomGrindlet:
    """With probability `p`, the effect with settings drawn per item from the controls' rules
    (a number: a value or a (low, high) range, rate drawn on a log scale; a choice: a name or
    several); controls not named stay at their defaults. `seed`: an int, a numpy Generator (one
    number is taken from it), or None for a fresh random seed (kept in `.seed`)."""

    def __init__(self, p: float = 0.5, *, seed: Union[None, int, np.random.Generator] = None,
                 block: int = 512, **controls: Rule):
        if not 0.0 <= float(p) <= 1.0:
            raise ValueError(f"p must be from 0 to 1; got {p}")
        self.p = float(p)
        if seed is None:
            seed = secrets.randbits(63)
        elif isinstance(seed, np.random.Generator):
            seed = int(seed.integers(2**63))
        self.seed = int(seed)
        self.block = block
        self.specs = drawing.default_specs()
        for symbol, rule in controls.items():
            self.specs[symbol] = _spec(symbol, rule)
        self.calls = 0
        self.last_params: Optional[Union[Dict[str, Any], List[Optional[Dict[str, Any]]]]] = None

    def draw(self, key: Any, item: int = 0) -> Optional[Dict[str, Any]]:
        """The settings for one item, or None where it is left as it is (probability 1 - p)."""
        path = f"{key}/{item}"
        if drawing.uniform(self.seed, path, "p") >= self.p:
            return None
        return drawing.draw(self.specs, self.seed, path)

    def __call__(self, audio, sample_rate: float, *, key: Any = None, return_params: bool = False):
        """`audio`: a NumPy array or a CPU tensor, (frames,), (channels, frames) or (batch,
        channels, frames); the same kind comes back (an item left as it is is the input's own
        samples, as float32). With return_params, also the settings (None: left as it is; a list
        for a batch)."""
        if key is None:
            key = self.calls
        self.calls += 1
        tensor = type(audio).__module__.startswith("torch")
        samples = audio.detach().cpu().numpy() if tensor else np.asarray(audio)
        batch = samples.ndim == 3
        items = samples if batch else samples[np.newaxis]
        outputs, params = [], []
        for index, item in enumerate(items):
            chosen = self.draw(key, index)
            params.append(chosen)
            if chosen is None:
                outputs.append(np.asarray(item, dtype=np.float32))
            else:
                outputs.append(process(item, sample_rate, block=self.block, channels_last=False,
                                       **chosen))
        if batch:
            result = np.stack(outputs)
        else:  # a clip left as it is is the input's own array (as float32)
            result = outputs[0] if params[0] is not None else np.asarray(samples, dtype=np.float32)
        if tensor:
            import torch

            result = torch.from_numpy(np.ascontiguousarray(result))
        self.last_params = params if batch else params[0]
        return (result, self.last_params) if return_params else result

    def __repr__(self) -> str:
        return f"RandomGrindlet(p={self.p}, seed={self.seed})"
