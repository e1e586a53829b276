"""Rooms: the image-source model of a shoebox room, its taps as module settings, and the render er-render --room
plays (one module instance per tap, summed at working precision, mixed and rounded once)."""

from __future__ import annotations

import json
import numbers
import os
from typing import Any, Mapping, Optional, Union

import numpy as np

from . import _core
from ._effect import level_text, rate_of, value_text, Level

WALLS = ("left", "right", "front", "back", "floor", "ceiling")

# room.pattern: every tap of the room, by channel, then delay (what the room is, whatever the rate).
PATTERN_DTYPE = np.dtype([
    ("channel", np.int32),        # listening point: 0 left (or mono), 1 right
    ("order", np.int32),          # reflections on the way
    ("delay", np.float64),        # seconds after the direct sound reaches the nearer point
    ("gain", np.float64),         # linear, re the direct sound
    ("cutoff_hz", np.float64),    # -3 dB frequency of the bounces' combined low-pass; 0: none
    ("distance", np.float64),     # metres from the image source to the listening point
    ("image", np.float64, (3,)),  # the image source, metres
    ("bounces", np.int32, (6,)),  # reflections on each wall, in WALLS order
])
# room.taps(rate): the same taps as the module plays them at a rate.
TAPS_DTYPE = np.dtype(PATTERN_DTYPE.descr + [
    ("delay_samples", np.float64),  # the delay the module realises
    ("damping", np.float64),        # the one-pole coefficient of the bounces
    ("time_pin", np.float32),       # "1 Time" ("Time(s)") as the pin's float
    ("volume_pin", np.float32),     # "1 Volume 10=100%" as the pin's float
    ("damping_pin", np.float32),    # "Damping 0-10" as the pin's float
    ("max_delay", np.int16),        # "Max Delay(s)" entry
])

RoomLike = Union[str, "os.PathLike[str]", Mapping[str, Any], "Room"]


def named_rooms() -> dict:
    """The named rooms er-render --room knows, with a line about each."""
    return dict(_core.named_rooms())


def _factor(name: str, value: Optional[float]) -> str:
    if value is None:
        return ""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} takes a number, not {type(value).__name__}")
    return repr(float(value))


def _window(window: Union[float, str, None]) -> str:
    if window is None:
        return ""
    if isinstance(window, str):
        return window
    if isinstance(window, bool) or not isinstance(window, numbers.Real):
        raise TypeError(f"window takes seconds or a time text, not {type(window).__name__}")
    return repr(float(window))


def _order(order: Optional[int]) -> int:
    if order is None:
        return 0
    if isinstance(order, bool) or not isinstance(order, numbers.Integral):
        raise TypeError(f"order takes a whole number, not {type(order).__name__}")
    if not 1 <= int(order) <= 12:
        raise ValueError(f"order takes 1 to 12, not {order!r}")
    return int(order)


def _message(error: ValueError) -> ValueError:
    # er-render's option names, as this package's keywords.
    text = str(error).replace("--room-scale", "scale").replace("--room-width", "width")
    text = text.replace("--room-window", "window").replace("--room ", "room ")
    return ValueError(text)


class Room:
    """A room: a named one ("studio", ...), a room file (JSON) or a dictionary with the room file's keys (name,
    size, source, listener, walls, spacing, speed_of_sound or temperature, max_order); then ``order`` (the
    highest reflection order, 1 to 12), ``scale`` (every length times it, 0.05 to 20) and ``width`` (the
    distance between the ears times it, 0 to 4; 0 gives one ear, a mono room) and ``window`` (a pattern by time:
    every reflection arriving within that many seconds of the direct sound, up to 0.5 s, or a text such as "20ms";
    0 for the order alone; with a window the order, 12 unless given, is a cap), as er-render's --room,
    --room-scale, --room-width and --room-window. Refuses a room that cannot be with ValueError."""

    def __init__(self, room: RoomLike = "studio", *, order: Optional[int] = None, scale: Optional[float] = None,
                 width: Optional[float] = None, window: Union[float, str, None] = None) -> None:
        args = (_order(order), _factor("scale", scale), _factor("width", width), _window(window))
        try:
            if isinstance(room, Room):
                self._model = _core.room_from_json(json.dumps(room.to_dict()), room.name, *args)
            elif isinstance(room, Mapping):
                try:
                    text = json.dumps(dict(room), allow_nan=False)
                except (TypeError, ValueError) as error:
                    raise TypeError(f"a room dictionary holds numbers, texts, lists and dictionaries: {error}")
                self._model = _core.room_from_json(text, "room dictionary", *args)
            elif isinstance(room, (str, os.PathLike)):
                self._model = _core.room_by_name(os.fspath(room), *args)
            else:
                raise TypeError(f"a room is a name, a room file, a dictionary or a Room, not {type(room).__name__}")
        except ValueError as error:
            raise _message(error) from None
        self._fields = self._model.fields

    # ---- what the room is ----
    name = property(lambda self: self._fields["name"], doc="The room's name.")
    size = property(lambda self: self._fields["size"], doc="Width, length and height in metres.")
    source = property(lambda self: self._fields["source"], doc="The source, metres from the left, front and floor.")
    listener = property(lambda self: self._fields["listener"], doc="The listener, as the source.")
    spacing = property(lambda self: self._fields["spacing"], doc="Metres between the ears; 0: one ear (mono).")
    speed_of_sound = property(lambda self: self._fields["speed_of_sound"], doc="In m/s.")
    order = property(lambda self: self._fields["max_order"], doc="The highest reflection order of the taps.")
    window = property(lambda self: self._fields["window"], doc="Seconds after the direct sound the taps end; 0: none.")
    sabine = property(lambda self: self._fields["sabine"], doc="Reverberation time by Sabine's formula, seconds.")
    eyring = property(lambda self: self._fields["eyring"], doc="Reverberation time by Eyring's formula, seconds.")

    @property
    def walls(self) -> dict:
        """Each wall's absorption (0 to 1) and the cut-off (Hz) of the low-pass one bounce leaves (0: none)."""
        return {name: dict(surface) for name, surface in self._fields["walls"].items()}

    @property
    def channels(self) -> int:
        """2 for a room heard at two ears, 1 for one."""
        return 1 if self.spacing == 0 else 2

    def to_dict(self) -> dict:
        """The room as a room file's keys: Room(room.to_dict()) is the same room."""
        f = self._fields
        return {"name": f["name"], "size": list(f["size"]), "source": list(f["source"]),
                "listener": list(f["listener"]), "walls": self.walls, "spacing": f["spacing"],
                "speed_of_sound": f["speed_of_sound"], "max_order": f["max_order"], "window": f["window"]}

    def __repr__(self) -> str:
        x, y, z = self.size
        return (f"<Room {self.name!r}: {x:g} x {y:g} x {z:g} m, order {self.order}, "
                f"{'stereo' if self.channels == 2 else 'mono'}, Sabine {self.sabine:.2f} s>")

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Room) and self.to_dict() == other.to_dict()

    # ---- its taps ----
    @property
    def pattern(self) -> np.ndarray:
        """Every tap (image source) of the room, a structured array of PATTERN_DTYPE: by channel, then delay."""
        return self.taps(48000)[list(PATTERN_DTYPE.names)].astype(PATTERN_DTYPE)

    def taps(self, sample_rate: float, time_accuracy: Optional[str] = None) -> np.ndarray:
        """The taps as the module plays them at ``sample_rate`` (TAPS_DTYPE): realised delays and pin values."""
        raw = _core.room_taps(self._model, rate_of(sample_rate), _accuracy(time_accuracy))
        taps = np.zeros(len(raw["delay"]), dtype=TAPS_DTYPE)
        for name in TAPS_DTYPE.names:
            taps[name] = raw[name]
        return taps

    def early_share(self, sample_rate: float = 48000) -> float:
        """The share of the energy of the first 80 ms that the taps hold (er-render's summary figure)."""
        return _core.room_taps(self._model, rate_of(sample_rate), "")["early_share"]

    def tail_seconds(self, sample_rate: float) -> float:
        """The tail er-render --room appends by default: the longest tap plus its damping's ring-out."""
        return _core.room_taps(self._model, rate_of(sample_rate), "")["tail_seconds"]

    def impulse_response(self, seconds: float, sample_rate: float, *, block: int = 512,
                         time_accuracy: Optional[str] = None) -> np.ndarray:
        """The room's response to a unit impulse, ``seconds`` long, at ``sample_rate``: what
        ``er-render --room ROOM --impulse SECONDS`` writes. Shaped (frames,) for a mono room, else (2, frames)."""
        if isinstance(seconds, bool) or not isinstance(seconds, numbers.Real) or not 0 < seconds <= 3600:
            raise ValueError(f"seconds takes a time from 0 to 3600, not {seconds!r}")
        frames = int(_core.round_frames(float(seconds), rate_of(sample_rate)))
        if frames < 1:
            raise ValueError(f"{seconds!r} s is shorter than one sample")
        impulse = np.zeros(frames, dtype=np.float32)
        impulse[0] = 1.0
        return render_room(impulse, sample_rate, self, tail=0, block=block, time_accuracy=time_accuracy)


def _accuracy(time_accuracy: Optional[Any]) -> str:
    return "" if time_accuracy is None else value_text("time_accuracy", time_accuracy)


def _block(block: int) -> int:
    if isinstance(block, bool) or not isinstance(block, numbers.Integral):
        raise TypeError(f"block must be a whole number, not {type(block).__name__}")
    if not 1 <= int(block) <= 1 << 20:
        raise ValueError(f"block must be a whole number from 1 to {1 << 20}, not {block!r}")
    return int(block)


def render_room(x: np.ndarray, sample_rate: float, room: RoomLike = "studio", *, dry: Level = None,
                wet: Level = None, gain: Level = None, tail: Union[float, str, None] = None, block: int = 512,
                time_accuracy: Optional[str] = None) -> np.ndarray:
    """``x`` through the room's early reflections: what ``er-render IN OUT --room ROOM`` writes.

    ``room`` is a name, a room file, a dictionary or a Room. By default as er-render --room: no dry signal, the
    taps at 0 dB (``dry``, ``wet``, ``gain`` in decibels or "off"), the room's own tail appended (``tail``:
    seconds or a time as --tail takes it, "250ms", "12000smp"; 0 for none), blocks of 512 frames, taps at whole
    samples (``time_accuracy``). A mono room keeps x's channels; a stereo room takes a mono x to two channels
    and a stereo x side by side. The result is float32, shaped (frames,) when x is 1-D and the room mono, else
    (channels, frames). The GIL is released while it renders."""
    model = room if isinstance(room, Room) else Room(room)
    if tail is None:
        tail_text = ""
    elif isinstance(tail, str):
        tail_text = tail
    elif isinstance(tail, bool) or not isinstance(tail, numbers.Real):
        raise TypeError(f"tail takes seconds or a time text, not {type(tail).__name__}")
    else:
        if not 0 <= tail <= 3600:
            raise ValueError(f"tail takes 0 to 3600 seconds, not {tail!r}")
        tail_text = repr(float(tail))
    out = _core.render_room(model._model, rate_of(sample_rate), x, tail_text, level_text("dry", dry),
                            level_text("wet", wet), level_text("gain", gain), _block(block),
                            _accuracy(time_accuracy))
    if getattr(x, "ndim", 2) == 1 and out.shape[0] == 1:
        return out[0]
    return out
