"""The effect as torch modules, for nn.Sequential and torchaudio-style compositions: the sample
rate is given when the module is made, forward() takes a waveform tensor (frames,), (channels,
frames) or (batch, channels, frames) and gives one of the same shape, dtype and device.

    augment = torch.nn.Sequential(
        qz_grindlet.torch.RandomGrindlet(16000, p=0.5, bits=(4, 12), rate=(2000, 8000)),
        torchaudio.transforms.MelSpectrogram(16000),
    )

The effect has no gradient: a waveform that requires grad is refused. The modules have no
parameters or buffers; they act in eval() mode as in train() mode.
"""

import numpy as np
import torch

from . import augment
from ._grindlet import process


class RandomGrindlet(torch.nn.Module):
    """qz_grindlet.RandomGrindlet as a module: with probability `p` each waveform (each item of a
    batch) through the effect with settings drawn from the controls' rules."""

    def __init__(self, sample_rate: float, p: float = 0.5, *, seed=None, block: int = 512,
                 **controls):
        super().__init__()
        self.transform = augment.RandomGrindlet(p, seed=seed, block=block,
                                                sample_rate=sample_rate, **controls)

    def forward(self, waveform: torch.Tensor) -> torch.Tensor:
        return self.transform(waveform)

    def extra_repr(self) -> str:
        return f"sample_rate={self.transform.sample_rate}, p={self.transform.p}"


class Grindlet(torch.nn.Module):
    """The effect with fixed settings (the controls as process() takes them) on every waveform;
    each call, and each item of a batch, is a stream of its own."""

    def __init__(self, sample_rate: float, *, block: int = 512, **controls):
        super().__init__()
        self.sample_rate = sample_rate
        self.block = block
        self.controls = controls
        # Checked now, not at the first batch: a wrong control fails where it was written.
        process(np.zeros(1, dtype=np.float32), sample_rate, block=block, **controls)

    def forward(self, waveform: torch.Tensor) -> torch.Tensor:
        if waveform.requires_grad:
            raise TypeError("waveform is a tensor that requires grad: pass waveform.detach() "
                            "(the effect has no gradient)")
        samples = waveform.numpy() if waveform.is_cpu else waveform.cpu().numpy()
        out = process(samples, self.sample_rate, block=self.block, channels_last=False,
                      **self.controls)
        result = torch.from_numpy(out)
        if waveform.dtype != torch.float32:
            result = result.to(waveform.dtype)
        return result if waveform.is_cpu else result.to(waveform.device)

    def extra_repr(self) -> str:
        given = ", ".join(f"{name}={value!r}" for name, value in self.controls.items())
        return f"sample_rate={self.sample_rate}" + (", " + given if given else "")
