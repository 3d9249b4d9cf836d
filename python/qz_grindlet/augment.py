"""An augmentation transform for training on audio: with probability p, a clip goes through the
effect with settings drawn from ranges.

    transform = qz_grindlet.RandomGrindlet(p=0.5, bits=(4, 12), rate=(2000, 8000),
                                           quantize=("round", "floor"))
    y = transform(x, 16000)                # x: (frames,), (channels, frames) or a batch of them

Where the draws come from, as the libraries of a training loop do it:
- by default from torch's random generator (NumPy's where torch is not imported), one number a
  call: every call draws afresh, a DataLoader's workers (which torch seeds apart, anew each
  epoch) draw apart, and torch.manual_seed (np.random.seed) makes the run repeat;
- with seed=N, from the object's own sequence: the count of its calls, and in a DataLoader
  worker the seed torch gave that worker;
- with key= (a dataset index, say), from the seed, the key and the epoch alone (set_epoch() or
  epoch=): the exact replay of one item, whatever the process, thread or worker.
The settings are drawn, and the items processed, in C++: a call costs about one process().
"""

import sys
import threading
from typing import Any, Dict, List, Optional, Union

import numpy as np

from ._grindlet import _Augmenter

Settings = Dict[str, Any]

# The message for integer PCM: it is refused rather than guessed at, the same whatever the coin.
INTEGER_PCM = ("audio holds {dtype} samples: integer PCM is refused, not rescaled (its full scale, "
               "and the rounding and clipping on the way back, are the caller's to choose); pass "
               "floats within ±1, e.g. x / 32768 for int16")


def _torch():
    """torch, where the program has imported it (never imported here: it takes a second)."""
    return sys.modules.get("torch")


_drawn = threading.local()  # a thread's tensor that torch's generator fills


def _ambient_bits(torch) -> int:
    """One number from the generator the program's randomness comes from."""
    if torch is not None:
        try:
            tensor = _drawn.tensor
        except AttributeError:
            tensor = _drawn.tensor = torch.empty((), dtype=torch.int64)
        return int(tensor.random_())
    return int(np.random.random() * 2.0**53)  # 53 random bits: the cheapest of NumPy's draws


def _worker_salt(torch) -> int:
    """In a DataLoader worker, the seed torch gave it (each worker its own, anew each epoch)."""
    if torch is None:
        return 0
    info = torch.utils.data.get_worker_info()
    return 0 if info is None else int(info.seed)


class RandomGrindlet:
    """With probability `p`, the effect with settings drawn per item from the controls' rules
    (a number: a value or a (low, high) range, rates on a log scale; a choice: a name or index,
    or a list of them); controls not named stay at their defaults, and each item draws the
    effect's own seed. `seed`: None (draws follow torch's or NumPy's generator), a whole number
    from 0 up, or a NumPy Generator (one number is taken from it). `sample_rate`: the rate every
    call takes unless it gives one."""

    def __init__(self, p: float = 0.5, *, seed: Union[None, int, np.random.Generator] = None,
                 block: int = 512, sample_rate: Optional[float] = None, **controls: Any):
        if isinstance(seed, np.random.Generator):
            seed = int(seed.integers(2**63))
        self._core = _Augmenter(p, seed, block, **controls)
        self.p = float(p)
        self.seed = None if seed is None else int(seed)
        self.block = int(block)
        self.sample_rate = sample_rate
        self.last_params: Optional[Union[Settings, List[Optional[Settings]]]] = None

    @property
    def epoch(self) -> int:
        """The epoch keyed draws belong to (set_epoch)."""
        return self._core.epoch

    def set_epoch(self, epoch: int) -> None:
        """Keyed draws from now on are the ones of this epoch (a whole number from 0 up), as a
        DistributedSampler's set_epoch; in DataLoader workers give epoch= to the call instead, or
        make the workers afresh each epoch (persistent_workers=False)."""
        self._core.set_epoch(epoch)

    def __call__(self, audio, sample_rate: Optional[float] = None, *, key: Any = None,
                 epoch: Optional[int] = None, return_params: bool = False):
        """`audio`: a NumPy array or a tensor (on any device) of float32 or float64 samples,
        (frames,), (channels, frames) or (batch, channels, frames); the same kind, dtype, shape
        and device come back, computed in single precision as process() computes. A clip left as
        it is comes back as the input itself. With return_params, also the settings drawn (None
        where the item was left as it is; a list for a batch); process() with them gives the same
        bits."""
        if sample_rate is None:
            sample_rate = self.sample_rate
            if sample_rate is None:
                raise TypeError("sample_rate is missing: give it to the call or to RandomGrindlet()")
        torch = _torch()
        tensor = torch is not None and isinstance(audio, torch.Tensor)
        if tensor:
            if audio.requires_grad:
                raise TypeError("audio is a tensor that requires grad: pass audio.detach() (the "
                                "effect has no gradient)")
            samples = audio.numpy() if audio.is_cpu else audio.cpu().numpy()
        else:
            samples = audio if isinstance(audio, np.ndarray) else np.asarray(audio)
        if samples.dtype.kind in "iu":
            raise TypeError(INTEGER_PCM.format(dtype=samples.dtype))
        ambient = salt = 0
        if key is None:
            if self.seed is None:
                ambient = _ambient_bits(torch)
            else:
                salt = _worker_salt(torch)
        result, params, left = self._core.apply(samples, sample_rate, key, epoch, ambient, salt,
                                                return_params)
        batch = samples.ndim == 3
        if return_params:
            self.last_params = params if batch else params[0]
        if result is None:  # every item left as it is
            output = audio
        else:
            if samples.dtype == np.float64:
                result = result.astype(np.float64)
                if batch:  # the items left as they are keep every bit of their float64
                    result[left] = samples[left]
            if tensor:
                output = torch.from_numpy(result)
                if not audio.is_cpu:
                    output = output.to(audio.device)
            else:
                output = result
        return (output, self.last_params) if return_params else output

    def __repr__(self) -> str:
        return f"RandomGrindlet(p={self.p}, seed={self.seed})"
