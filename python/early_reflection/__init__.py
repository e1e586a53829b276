"""early_reflection: the early-reflection effect and its rooms on NumPy arrays, bit for bit what er-render plays.

    >>> import numpy as np, early_reflection as er
    >>> fx = er.Effect(48000, time="25ms", feedback=4, damping=3)
    >>> y = fx.process(np.random.default_rng(1).standard_normal(48000).astype(np.float32) * 0.1)
    >>> wet = er.render_room(y, 48000, "studio")

Effect streams one setting through the module as er-render does; Room, render_room and random_room are the
rooms of er-render --room; early_reflection.cluster augments a folder of sound files across a Dask cluster.
"""

from ._core import EffectCore as _EffectCore  # noqa: F401  (the extension loads with the package)
from ._effect import SETTING_NAMES, Delay, Effect, pins
from ._random import SplitMix64, random_room, seed_from_name
from ._rooms import PATTERN_DTYPE, TAPS_DTYPE, WALLS, Room, named_rooms, render_room

__all__ = [
    "Delay", "Effect", "PATTERN_DTYPE", "Room", "SETTING_NAMES", "SplitMix64", "TAPS_DTYPE", "WALLS",
    "named_rooms", "pins", "random_room", "render_room", "seed_from_name",
]
__version__ = "2.90"
