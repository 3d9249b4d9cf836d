"""Types of QZ-Grindlet's extension (the engine on NumPy arrays); tests hold this stub to it."""

from typing import Any, Dict, Literal, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

Number = Union[float, int, np.floating[Any], np.integer[Any]]
# A value, a (from, to) sweep across the array, or one value per block.
Curve = Union[Number, Tuple[Number, Number], npt.NDArray[Any]]
Quantize = Union[Literal["floor", "round", "inside"], int, np.integer[Any]]
Mode = Union[Literal["step", "linear"], int, np.integer[Any]]
Law = Union[Literal["linear", "mu-law", "a-law"], int, np.integer[Any]]
Shape = Union[Literal["sine", "triangle", "random"], int, np.integer[Any]]
Dither = Union[Literal["none", "tpdf"], int, np.integer[Any]]
Audio = npt.ArrayLike

CONTROLS: Tuple[Dict[str, Any], ...]
MOST_JOBS: int

def process(
    audio: Audio,
    sample_rate: Number,
    *,
    bits: Curve = 8.0,
    rate: Curve = 8000.0,
    quantize: Quantize = "round",
    mode: Mode = "step",
    drive: Number = 0.0,
    mix: Number = 100.0,
    gain: Number = 0.0,
    antialias: Curve = 0.0,
    tone: Curve = 0.0,
    law: Law = "linear",
    lfo_rate: Curve = 0.5,
    lfo_depth: Curve = 0.0,
    lfo_shape: Shape = "sine",
    jitter: Curve = 0.0,
    dither: Dither = "none",
    seed: Curve = 0.0,
    block: Union[int, np.integer[Any]] = 512,
    channels_last: Optional[bool] = None,
    out: Optional[npt.NDArray[np.float32]] = None,
) -> npt.NDArray[np.float32]: ...

class Grindlet:
    def __init__(
        self,
        sample_rate: Number,
        channels: Union[int, np.integer[Any]],
        *,
        channels_last: bool = False,
        bits: Number = 8.0,
        rate: Number = 8000.0,
        quantize: Quantize = "round",
        mode: Mode = "step",
        drive: Number = 0.0,
        mix: Number = 100.0,
        gain: Number = 0.0,
        antialias: Number = 0.0,
        tone: Number = 0.0,
        law: Law = "linear",
        lfo_rate: Number = 0.5,
        lfo_depth: Number = 0.0,
        lfo_shape: Shape = "sine",
        jitter: Number = 0.0,
        dither: Dither = "none",
        seed: Number = 0.0,
    ) -> None: ...
    def process(self, chunk: Audio) -> npt.NDArray[np.float32]: ...
    def set(
        self,
        *,
        bits: Optional[Number] = None,
        rate: Optional[Number] = None,
        quantize: Optional[Quantize] = None,
        mode: Optional[Mode] = None,
        drive: Optional[Number] = None,
        mix: Optional[Number] = None,
        gain: Optional[Number] = None,
        antialias: Optional[Number] = None,
        tone: Optional[Number] = None,
        law: Optional[Law] = None,
        lfo_rate: Optional[Number] = None,
        lfo_depth: Optional[Number] = None,
        lfo_shape: Optional[Shape] = None,
        jitter: Optional[Number] = None,
        dither: Optional[Dither] = None,
        seed: Optional[Number] = None,
    ) -> None: ...
    def reset(self) -> None: ...
    @property
    def sample_rate(self) -> float: ...
    @property
    def channels(self) -> int: ...
    @property
    def bits(self) -> float: ...
    @property
    def rate(self) -> float: ...
    @property
    def quantize(self) -> str: ...
    @property
    def mode(self) -> str: ...
    @property
    def drive(self) -> float: ...
    @property
    def mix(self) -> float: ...
    @property
    def gain(self) -> float: ...
    @property
    def antialias(self) -> float: ...
    @property
    def tone(self) -> float: ...
    @property
    def law(self) -> str: ...
    @property
    def lfo_rate(self) -> float: ...
    @property
    def lfo_depth(self) -> float: ...
    @property
    def lfo_shape(self) -> str: ...
    @property
    def jitter(self) -> float: ...
    @property
    def dither(self) -> str: ...
    @property
    def seed(self) -> float: ...

def _render_file(source: str, target: str, container: str, settings: Dict[str, Any]) -> Dict[str, int]: ...
