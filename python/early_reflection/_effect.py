"""The effect: one module instance per channel, driven as er-render drives it."""

from __future__ import annotations

import numbers
from typing import Any, Mapping, NamedTuple, Optional, Union

from . import _core

# Keyword names for the pins: each pin's name in lower case, words joined by "_", its units and ranges left out.
# Any other keyword, and every key of the `settings` mapping, is taken as a pin's own name ("Feedback +/-10"),
# in any case, as er-render's --set takes it.
SETTING_NAMES = {
    "active": "Active",
    "feedback": "Feedback +/-10",
    "damping": "Damping 0-10",
    "damping_feedback_mode": "Damping/Feedback Mode",
    "time_accuracy": "Time Accuracy",
    "time_mode": "Time Mode",
    "time": "1 Time",
    "volume": "1 Volume 10=100%",
    "max_delay": "Max Delay(s)",
    "volume_mode": "Volume Mode",
    "mono_mode": "Midi_to_CV:Mono Mode(Poly Reset)",
    "gate": "Midi_to_CV:Gate(Poly Reset)",
}

Value = Union[str, float, int, bool]
Level = Union[str, float, int, None]


class Delay(NamedTuple):
    """The delay the module realises for the settings: in samples, in seconds, and the delay line's length."""

    samples: float
    seconds: float
    line: int


def value_text(name: str, value: Any) -> str:
    """A setting's value as er-render's --set text: strings as they are, numbers in full, booleans as 1 or 0."""
    if isinstance(value, str):
        return value
    if isinstance(value, (bool,)) or (hasattr(value, "dtype") and getattr(value, "dtype").kind == "b"):
        return "1" if value else "0"
    if isinstance(value, numbers.Integral):
        return str(int(value))
    if isinstance(value, numbers.Real):
        return repr(float(value))
    raise TypeError(f"{name!r} takes a number or a text, not {type(value).__name__}")


def rate_of(sample_rate: Any) -> float:
    """A sample_rate the module runs at, as a float; TypeError or ValueError naming the fault."""
    if isinstance(sample_rate, bool) or not isinstance(sample_rate, numbers.Real):
        raise TypeError(f"sample_rate must be a number, not {type(sample_rate).__name__}")
    if not _core.usable_rate(float(sample_rate)):
        raise ValueError(f"sample_rate must lie from {_core.LOWEST_RATE:g} to {_core.HIGHEST_RATE:g} Hz, "
                         f"not {sample_rate!r}")
    return float(sample_rate)


def level_text(name: str, level: Level) -> str:
    """A level as --dry, --wet and --gain take it: decibels or "off"; None keeps er-render's default."""
    if level is None:
        return ""
    if isinstance(level, bool):
        raise TypeError(f"{name} takes decibels or \"off\", not a bool")
    return value_text(name, level)


def assignments(settings: Optional[Mapping[str, Value]], pins: Mapping[str, Value]) -> list:
    pairs = []
    if settings is not None:
        if not isinstance(settings, Mapping):
            raise TypeError(f"settings must be a mapping of pin names to values, not {type(settings).__name__}")
        for name, value in settings.items():
            if not isinstance(name, str):
                raise TypeError(f"a setting's name must be a text, not {type(name).__name__}")
            pairs.append((SETTING_NAMES.get(name, name), value_text(name, value)))
    for name, value in pins.items():
        pairs.append((SETTING_NAMES.get(name, name), value_text(name, value)))
    return pairs


class Effect(_core.EffectCore):
    """The early-reflection effect on NumPy arrays, bit for bit what ``er-render --block N`` writes.

    ``Effect(48000, time="25ms", feedback=4, damping=3)`` takes the settings by the names and units er-render
    takes: keywords (``time``, ``volume``, ``feedback``, ``damping``, ``damping_feedback_mode``,
    ``time_accuracy``, ``time_mode``, ``max_delay``, ``volume_mode``, ``mono_mode``, ``active``, ``gate``) or
    the pins' own names through ``settings={"Feedback +/-10": 4}``. Values are as the module shows them (10 is
    unity volume), choices by their text or number, and ``time`` also with a unit ("25ms", "0.5s", "1102smp").
    Unset pins keep the module's defaults, "Active" is ON, and "Max Delay(s)" is the shortest line that holds
    the delay unless set, all as in er-render. ``dry``, ``wet`` and ``gain`` are er-render's --dry, --wet and
    --gain (decibels or "off"; by default no dry signal and the output at 0 dB). ``block`` is --block (512).
    ``allow_unsafe`` is --allow-unsafe.

    Calls stream: each ``process`` call goes on from where the last one stopped, until ``reset()``. The stream
    is cut into host blocks of ``block`` frames counted from its first frame, and a call also ends the block it
    stops in; calls whose lengths are whole multiples of ``block`` therefore play er-render's blocks exactly.
    """

    def __init__(
        self,
        sample_rate: float,
        settings: Optional[Mapping[str, Value]] = None,
        *,
        block: int = 512,
        dry: Level = None,
        wet: Level = None,
        gain: Level = None,
        allow_unsafe: bool = False,
        **pins: Value,
    ) -> None:
        if isinstance(block, bool) or not isinstance(block, numbers.Integral):
            raise TypeError(f"block must be a whole number, not {type(block).__name__}")
        if not (1 <= int(block) <= 1 << 20):
            raise ValueError(f"block must be a whole number from 1 to {1 << 20}, not {block!r}")
        super().__init__(
            rate_of(sample_rate),
            assignments(settings, pins),
            level_text("dry", dry),
            level_text("wet", wet),
            level_text("gain", gain),
            int(block),
            bool(allow_unsafe),
        )

    def set(
        self,
        settings: Optional[Mapping[str, Value]] = None,
        *,
        dry: Level = None,
        wet: Level = None,
        gain: Level = None,
        **pins: Value,
    ) -> None:
        """Changes settings from the next call on, as a later --set would (a later value wins); the module is
        told of each changed pin at the next block's first sample, as a host tells it. Levels given replace
        theirs. All or nothing: a refused value leaves every setting as it was."""
        self._set(assignments(settings, pins), level_text("dry", dry), level_text("wet", wet), level_text("gain", gain))

    @property
    def sample_rate(self) -> float:
        """The sample rate, in Hz."""
        return self.rate

    @property
    def settings(self) -> dict:
        """Every settable pin by its own name, with the value the module gets: float pins as shown (10 is 1.0),
        choices by their text, "Max Delay(s)" as fitted."""
        return self._settings

    @property
    def delay(self) -> Delay:
        """The delay the module realises for "1 Time": samples (after the line's wrap), seconds, line length."""
        samples, _requested, line, _active = self._delay
        return Delay(samples, samples / self.rate, line)

    @property
    def levels(self) -> dict:
        """The output mix as linear gains: dry (None: no dry signal), wet and gain."""
        dry, wet, gain = self._mix
        return {"dry": dry, "wet": wet, "gain": gain}

    def __repr__(self) -> str:
        delay = self.delay
        pins = ", ".join(f"{name}={value:g}" if isinstance(value, float) else f"{name}={value}"
                         for name, value in self.settings.items())
        mix = self.levels
        state = f"{self.channels} channels at frame {self.position}" if self.channels else "no stream yet"
        return (f"<Effect {self.rate:g} Hz, block {self.block}: delay {delay.samples:g} samples "
                f"({delay.seconds * 1000:.3f} ms) on a {delay.line}-sample line; {pins}; "
                f"dry {mix['dry']}, wet {mix['wet']:g}, gain {mix['gain']:g}; {state}>")


def pins() -> list:
    """The module's pins as it describes them: name, direction, whether a choice, default and choices."""
    return _core.pins()
