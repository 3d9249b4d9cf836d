"""QZ-Grindlet: sample-rate and bit-depth reduction on NumPy arrays, exact to the bit.

    import qz_grindlet
    y = qz_grindlet.process(x, 44100, bits=6, rate=11025)          # x: (frames,) or (channels, frames)
    stream = qz_grindlet.Grindlet(44100, 2, bits=8, rate=8000)     # chunk by chunk, state kept
    augment = qz_grindlet.RandomGrindlet(p=0.5, bits=(4, 12), rate=(2000, 8000))  # training

The output is bit for bit what grindlet-render writes with --format float for the same
settings. Whole corpora: python3 -m qz_grindlet.batch IN_DIR OUT_DIR (see --help). Torch
modules for nn.Sequential: qz_grindlet.torch (imported on its own: it imports torch).
"""

from ._grindlet import CONTROLS, PRESETS, Grindlet, process
from .augment import RandomGrindlet

__all__ = ["CONTROLS", "PRESETS", "Grindlet", "RandomGrindlet", "process"]
# The project's VERSION file (grindlet-generate writes it here).
__version__ = "1.2.0"
