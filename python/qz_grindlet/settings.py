"""A batch's settings per file: fixed values, or ranges and lists to draw from.

A file's draw depends on the seed and its path relative to the input folder alone: a re-run, a
resumed run and a run spread over any number of machines give every file the same settings.
Each draw is a SHA-256 of (seed, path, control), so no random generator's version matters.
"""

import hashlib
import math
from dataclasses import dataclass
from typing import Dict, Optional, Tuple, Union

from ._grindlet import CONTROLS, PRESETS

CONTROL = {row["symbol"]: row for row in CONTROLS}
# The effect's own random sequence: each file gets one from the draw (the batch's --seed is the
# draw's), so it is not a control the batch takes.
EFFECT_SEED = "seed"
NUMBER_CONTROLS = tuple(row["symbol"] for row in CONTROLS if not row["choices"] and row["symbol"] != EFFECT_SEED)
CHOICE_CONTROLS = tuple(row["symbol"] for row in CONTROLS if row["choices"])

Setting = Union[float, str]


@dataclass(frozen=True)
class NumberRange:
    low: float
    high: float
    logarithmic: bool  # drawn uniformly on a log scale (rates)

    def pick(self, u: float) -> float:
        if self.low == self.high:
            return self.low
        if self.logarithmic:
            return math.exp(math.log(self.low) + (math.log(self.high) - math.log(self.low)) * u)
        return self.low + (self.high - self.low) * u


@dataclass(frozen=True)
class ChoiceList:
    choices: Tuple[str, ...]

    def pick(self, u: float) -> str:
        return self.choices[min(int(u * len(self.choices)), len(self.choices) - 1)]


def _accepts(row, value: float) -> bool:
    above = value > row["minimum"] if row["minimum_excluded"] else value >= row["minimum"]
    return above and value <= row["maximum"]


def parse_number(symbol: str, text: str) -> NumberRange:
    """'8' or '4:12' for a number control; ValueError naming the control on anything else."""
    row = CONTROL[symbol]
    parts = text.split(":")
    try:
        if len(parts) > 2:
            raise ValueError
        values = [float(part) for part in parts]
    except ValueError:
        raise ValueError(f"--{symbol}: '{text}' is not a number or a range LOW:HIGH") from None
    for value in values:
        if not _accepts(row, value):
            raise ValueError(f"--{symbol}: {value:g} is out of range: {symbol} must be {row['range']}")
    low, high = values[0], values[-1]
    if low > high:
        raise ValueError(f"--{symbol}: the range '{text}' runs backwards; write LOW:HIGH")
    return NumberRange(low, high, bool(row["logarithmic"]))


def parse_choices(symbol: str, text: str) -> ChoiceList:
    """'round' or 'round,floor' for a choice control."""
    row = CONTROL[symbol]
    names = tuple(name.strip().lower() for name in text.split(","))
    for name in names:
        if name not in row["choices"]:
            allowed = ", ".join(row["choices"])
            raise ValueError(f"--{symbol}: '{name}' is not one of {allowed}")
    return ChoiceList(tuple(dict.fromkeys(names)))


def default_specs(preset: Optional[str] = None) -> Dict[str, Union[NumberRange, ChoiceList]]:
    """Every control fixed at its default, or at a factory preset's value (PRESETS)."""
    values = {row["symbol"]: row["default"] for row in CONTROLS}
    if preset is not None:
        found = [p for p in PRESETS if p["symbol"] == preset]
        if not found:
            raise ValueError(f"--preset: '{preset}' is not one of {', '.join(p['symbol'] for p in PRESETS)}")
        values = dict(found[0]["settings"])
    specs: Dict[str, Union[NumberRange, ChoiceList]] = {}
    for row in CONTROLS:
        symbol = row["symbol"]
        if symbol == EFFECT_SEED:
            continue
        if row["choices"]:
            specs[symbol] = ChoiceList((values[symbol],))
        else:
            specs[symbol] = NumberRange(values[symbol], values[symbol], bool(row["logarithmic"]))
    return specs


def uniform(seed: int, path: str, symbol: str) -> float:
    """A number in [0, 1) fixed by the seed, the file's relative path and the control."""
    digest = hashlib.sha256(f"{seed}\0{path}\0{symbol}".encode("utf-8", "surrogateescape")).digest()
    return int.from_bytes(digest[:8], "big") / 2.0**64


def draw(specs, seed: int, path: str) -> Dict[str, Setting]:
    """The settings of the file at `path` (relative, with '/' separators)."""
    settings = {symbol: rule.pick(uniform(seed, path, symbol)) for symbol, rule in specs.items()}
    if EFFECT_SEED in CONTROL:
        most = int(CONTROL[EFFECT_SEED]["maximum"])
        settings[EFFECT_SEED] = float(int(uniform(seed, path, EFFECT_SEED) * (most + 1)))
    return settings
