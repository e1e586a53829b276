"""Random rooms for augmentation, the same for the same seed on every machine.

The draws come from SplitMix64 on Python integers and become numbers by IEEE arithmetic alone (a 53-bit
fraction, one multiply and one add per value, no logarithm or other library function whose last bit may vary
between machines); so a seed gives the same room, bit for bit, wherever it is drawn. A text seed (a file's name)
becomes an integer through SHA-256.
"""

from __future__ import annotations

import hashlib
import math
import numbers
from typing import Optional, Sequence, Tuple, Union

from ._rooms import Room, WALLS

MASK = (1 << 64) - 1
Range = Tuple[float, float]

# The ranges a random room is drawn from (uniformly), chosen to cover rooms people record and listen in: from a
# small booth to a hall-sized room, from concrete to heavily treated surfaces.
SIZE = ((2.0, 12.0), (2.0, 15.0), (2.2, 5.0))  # width, length, height in metres
ABSORPTION = (0.02, 0.7)                       # each wall's, independently
CUTOFF_HZ = (2000.0, 12000.0)                  # each wall's one-bounce low-pass
MARGIN = 0.3                                   # metres the source and the listener keep from every wall
HEIGHT = (1.0, 2.0)                            # the source's and listener's height, within the room's margin
MIN_DISTANCE = 0.5                             # metres between source and listener at least


def seed_from_name(name: str, salt: str = "") -> int:
    """A 64-bit seed from a text (a file's name), the same on every machine: SHA-256 of salt + name."""
    digest = hashlib.sha256((salt + name).encode("utf-8")).digest()
    return int.from_bytes(digest[:8], "little")


class SplitMix64:
    """The SplitMix64 generator: 64-bit integers from a 64-bit seed, and doubles uniform in [0, 1)."""

    def __init__(self, seed: int) -> None:
        self.state = seed & MASK

    def next(self) -> int:
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        return z ^ (z >> 31)

    def uniform(self, low: float, high: float) -> float:
        return low + (high - low) * ((self.next() >> 11) * 2.0 ** -53)


def _range(name: str, value: Sequence[float]) -> Range:
    low, high = (float(v) for v in value)
    if not (math.isfinite(low) and math.isfinite(high) and low <= high):
        raise ValueError(f"{name} takes (low, high) with low <= high, not {tuple(value)!r}")
    return low, high


def random_room(
    seed: Union[int, str],
    *,
    size: Sequence[Range] = SIZE,
    absorption: Range = ABSORPTION,
    cutoff_hz: Range = CUTOFF_HZ,
    height: Range = HEIGHT,
    margin: float = MARGIN,
    spacing: float = 0.2,
    order: int = 3,
    name: Optional[str] = None,
) -> Room:
    """A room drawn from ``seed`` (an integer, or a text such as a file's name): its size within ``size``
    (width, length, height ranges in metres), each wall's absorption and one-bounce cut-off within theirs, the
    source and the listener anywhere ``margin`` from the walls at a height within ``height`` (and at least
    0.5 m apart), two ears ``spacing`` apart (0: mono), reflections up to ``order``. The same seed and ranges
    give the same room on every machine."""
    if isinstance(seed, str):
        seed = seed_from_name(seed)
    if isinstance(seed, bool) or not isinstance(seed, numbers.Integral):
        raise TypeError(f"seed must be an integer or a text, not {type(seed).__name__}")
    if len(size) != 3:
        raise ValueError("size takes three (low, high) ranges: width, length, height")
    sizes = [_range("size", r) for r in size]
    absorption, cutoff_hz, height = _range("absorption", absorption), _range("cutoff_hz", cutoff_hz), _range("height", height)
    rng = SplitMix64(int(seed))
    box = [rng.uniform(*r) for r in sizes]
    walls = {wall: {"absorption": rng.uniform(*absorption), "cutoff_hz": rng.uniform(*cutoff_hz)} for wall in WALLS}

    def point() -> list:
        top = min(height[1], box[2] - margin)
        bottom = min(max(height[0], margin), top)
        return [rng.uniform(margin, box[0] - margin), rng.uniform(margin, box[1] - margin), rng.uniform(bottom, top)]

    if min(box[0], box[1], box[2]) <= 2 * margin:
        raise ValueError(f"a margin of {margin} m leaves no room inside {box}")
    source = point()
    for _ in range(64):
        listener = point()
        if math.dist(source, listener) >= MIN_DISTANCE:
            break
    else:
        raise ValueError("no listener position lies 0.5 m from the source in these ranges")
    room = {"name": name if name is not None else f"random {int(seed) & MASK:016x}", "size": box, "source": source,
            "listener": listener, "walls": walls, "spacing": float(spacing), "max_order": int(order)}
    return Room(room)
