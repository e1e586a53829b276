"""Rooms: bit for bit what er-render --room writes, the room objects, their patterns, refusals, random rooms."""

import json

import numpy as np
import pytest

import early_reflection as er
from conftest import noise

RATE = 48000
OWN_ROOM = {"name": "box", "size": [4.0, 6.0, 3.0], "source": [1.0, 1.5, 1.2], "listener": [2.5, 4.0, 1.6],
            "walls": {"all": {"absorption": 0.2, "cutoff_hz": 6000}, "floor": {"absorption": 0.5}},
            "spacing": 0.25, "max_order": 2}


@pytest.mark.parametrize("room, options, args", [
    ("studio", {}, []),
    ("hall", {"scale": 0.5, "width": 2.0}, ["--room-scale", "0.5", "--room-width", "2"]),
    ("booth", {"width": 0.0}, ["--room-width", "0"]),
    ("living", {"window": 0.02, "order": 6}, None),
    ("tiled", {"window": "15ms"}, ["--room-window", "15ms"]),
    (OWN_ROOM, {}, None),
])
@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("render", [
    ({}, []),
    ({"block": 64, "dry": "0", "wet": "-3"}, ["--block", "64", "--dry", "0", "--wet", "-3"]),
    ({"block": 1000, "time_accuracy": "Fraction(Full)", "tail": "10ms"},
     ["--block", "1000", "--set", "Time Accuracy=Fraction(Full)", "--tail", "10ms"]),
])
def test_render_room_is_er_render_room(er_render, tmp_path, room, options, args, channels, render):
    if args is None and isinstance(room, str):
        # An order under a window has no option of er-render's: the room file's "max_order" gives it.
        path = tmp_path / "room.json"
        shaped = er.Room(room).to_dict()
        shaped.update(window=options["window"], max_order=options["order"])
        path.write_text(json.dumps(shaped))
        args = []
        er_room = str(path)
    elif args is None:
        path = tmp_path / "room.json"
        path.write_text(json.dumps(room))
        args = []
        er_room = str(path)
    else:
        er_room = room
    keywords, render_args = render
    x = noise(channels, 6000)
    expected = er_render(x, RATE, "--room", er_room, *args, *render_args)
    y = er.render_room(x, RATE, er.Room(room, **options), **keywords)
    assert y.dtype == np.float32
    np.testing.assert_array_equal(y, expected)
    # The same room by name or dictionary straight into render_room.
    if not options:
        np.testing.assert_array_equal(er.render_room(x, RATE, room, **keywords), expected)


def test_mono_input_and_shapes(er_render):
    x = noise(1, 3000)[0]
    stereo = er.render_room(x, RATE, "studio", tail=0)
    assert stereo.shape == (2, 3000)
    mono = er.render_room(x, RATE, er.Room("studio", width=0), tail=0)
    assert mono.shape == (3000,)
    np.testing.assert_array_equal(mono, er_render(x, RATE, "--room", "studio", "--room-width", "0", "--tail", "0")[0])
    tail = er.Room("studio").tail_seconds(RATE)
    assert er.render_room(x, RATE).shape[-1] == 3000 + round(tail * RATE)


@pytest.mark.parametrize("room", ["studio", "stairwell"])
def test_impulse_response_is_er_render_impulse(er_render, room):
    expected = er_render(None, RATE, "--room", room, "--impulse", "0.05")
    ir = er.Room(room).impulse_response(0.05, RATE)
    np.testing.assert_array_equal(ir, expected)
    # The first tap sounds at its realised delay with its gain.
    taps = er.Room(room).taps(RATE)
    first = taps[taps["channel"] == 0][0]
    assert np.flatnonzero(ir[0])[0] == int(first["delay_samples"])


def test_room_objects():
    studio = er.Room("studio")
    assert studio.channels == 2 and studio.order == 3 and studio.name == "studio"
    assert set(er.named_rooms()) >= {"booth", "living", "studio", "hall", "stairwell", "tiled"}
    assert er.Room(studio.to_dict()) == studio and er.Room(studio) == studio
    half = er.Room("studio", scale=0.5)
    assert half.size == tuple(s / 2 for s in studio.size)
    assert er.Room("studio", width=0).channels == 1
    assert er.Room(OWN_ROOM).walls["floor"] == {"absorption": 0.5, "cutoff_hz": 6000.0}
    assert "studio" in repr(studio)
    windowed = er.Room("studio", window=0.03)
    assert windowed.window == 0.03 and windowed.order == 12 and er.Room("studio", window=0.03, order=4).order == 4
    assert windowed.pattern["delay"].max() <= 0.03 and len(windowed.pattern) > len(studio.pattern)
    assert er.Room(windowed.to_dict()) == windowed and 0 < studio.early_share() < windowed.early_share() <= 1
    pattern = studio.pattern
    assert pattern.dtype == er.PATTERN_DTYPE
    # By channel, then delay; orders 1 to 3; every tap's bounces add up to its order.
    assert np.all(np.diff(pattern["channel"]) >= 0)
    for channel in (0, 1):
        assert np.all(np.diff(pattern["delay"][pattern["channel"] == channel]) >= 0)
    assert set(pattern["order"]) == {1, 2, 3}
    np.testing.assert_array_equal(pattern["bounces"].sum(axis=1), pattern["order"])
    # Higher orders give more taps; a tap's gain falls with its distance.
    assert len(er.Room("studio", order=4).pattern) > len(pattern)
    assert np.all(pattern["gain"] <= 1.0) and np.all(pattern["gain"] > 0)
    taps = studio.taps(44100, time_accuracy="Fraction(Full)")
    assert taps.dtype == er.TAPS_DTYPE and np.any(taps["delay_samples"] % 1 != 0)
    # Fractional taps realise the room's delays within the pin float's precision.
    np.testing.assert_allclose(taps["delay_samples"], taps["delay"] * 44100, atol=1e-3)


ROOM_REFUSALS = [
    (("nowhere",), {}, ValueError, "room's name"),
    (({"size": [4, 4, 3], "colour": "red"},), {}, ValueError, "unknown key \"colour\""),
    (({"size": [4, 4, 3], "listener": [5, 1, 1]},), {}, ValueError, "listener"),
    (({"source": [1, 1, 1]},), {}, ValueError, "needs \"size\""),
    (({"size": [4, 4, 3], "walls": {"all": {"absorption": 1.5}}},), {}, ValueError, "absorption"),
    (({"size": [4, 4, float("nan")]},), {}, TypeError, "room dictionary"),
    (("studio",), {"scale": 30}, ValueError, "scale takes a factor from 0.05 to 20"),
    (("studio",), {"width": -1}, ValueError, "width takes a factor from 0 to 4"),
    (("studio",), {"order": 13}, ValueError, "order takes 1 to 12"),
    (("studio",), {"window": 0.6}, ValueError, "window takes 0"),
    (("studio",), {"window": "soon"}, ValueError, "not a time"),
    (("booth",), {"window": 0.3}, ValueError, "more than the 4096"),
    (("studio",), {"order": 2.5}, TypeError, "whole number"),
    ((3,), {}, TypeError, "a name, a room file"),
]


@pytest.mark.parametrize("args, keywords, error, words", ROOM_REFUSALS)
def test_refused_rooms(args, keywords, error, words):
    with pytest.raises(error, match=words.replace("(", r"\(").replace(".", r"\.")):
        er.Room(*args, **keywords)


def test_refused_renders():
    x = noise(3, 100)
    with pytest.raises(ValueError, match="mono or a stereo input, not 3"):
        er.render_room(x, RATE, "studio")
    for keywords, error in [({"tail": -1}, ValueError), ({"tail": "soon"}, ValueError), ({"block": 0}, ValueError),
                            ({"dry": "loud"}, ValueError), ({"time_accuracy": "Exact"}, ValueError),
                            ({"tail": [1]}, TypeError)]:
        with pytest.raises(error):
            er.render_room(x[:2], RATE, "studio", **keywords)
    with pytest.raises(ValueError, match="not finite"):
        er.render_room(np.array([0.0, np.nan], np.float32), RATE)
    with pytest.raises(TypeError):
        er.render_room(np.zeros(10, np.int32), RATE)
    with pytest.raises(ValueError, match="sample_rate"):
        er.render_room(x[0], 0)


def test_render_room_releases_the_gil(assert_releases_gil):
    x = noise(1, RATE * 60)[0]
    room = er.Room("hall", order=5)
    assert_releases_gil(lambda: er.render_room(x, RATE, room, tail=0))


# ---- random rooms ----

def test_random_rooms_are_the_same_for_a_seed():
    a, b = er.random_room(12345), er.random_room(12345)
    assert a == b and a.to_dict() == b.to_dict()
    assert er.random_room("take_07.wav") == er.random_room(er.seed_from_name("take_07.wav"))
    assert er.random_room(1) != er.random_room(2)
    # The draws are SplitMix64's: its reference sequence for seed 1234567, and the fraction each becomes.
    rng = er.SplitMix64(1234567)
    assert [rng.next() for _ in range(3)] == [6457827717110365317, 3203168211198807973, 9817491932198370423]
    assert er.SplitMix64(0).uniform(2.0, 4.0) == 2.0 + 2.0 * ((0xE220A8397B1DCDAF >> 11) * 2.0 ** -53)
    # The seed of a name is SHA-256's, machine-independent.
    assert er.seed_from_name("a.wav") == int.from_bytes(__import__("hashlib").sha256(b"a.wav").digest()[:8], "little")


def test_random_rooms_cover_their_ranges():
    rooms = [er.random_room(seed) for seed in range(300)]
    sizes = np.array([r.size for r in rooms])
    for axis, (low, high) in enumerate(er._random.SIZE):
        assert sizes[:, axis].min() >= low and sizes[:, axis].max() <= high
        # Spread over the whole range, not bunched: each third of it is drawn often.
        thirds = np.histogram(sizes[:, axis], bins=3, range=(low, high))[0]
        assert thirds.min() > 60, thirds
    absorption = np.array([[w["absorption"] for w in r.walls.values()] for r in rooms])
    assert absorption.min() >= 0.02 and absorption.max() <= 0.7 and absorption.std() > 0.15
    # Walls are drawn independently: their absorptions are uncorrelated.
    assert abs(np.corrcoef(absorption[:, 0], absorption[:, 1])[0, 1]) < 0.2
    for r in rooms:
        for point in (r.source, r.listener):
            assert all(0.3 - 1e-12 <= p <= s - 0.3 + 1e-12 for p, s in zip(point, r.size))
        assert np.linalg.norm(np.subtract(r.source, r.listener)) >= 0.5
    narrow = er.random_room(5, size=[(3, 3), (4, 4), (2.5, 2.5)], absorption=(0.3, 0.3), order=2, spacing=0)
    assert narrow.size == (3.0, 4.0, 2.5) and narrow.channels == 1 and narrow.order == 2
    assert all(w["absorption"] == 0.3 for w in narrow.walls.values())
    with pytest.raises(ValueError):
        er.random_room(1, absorption=(0.5, 0.1))
    with pytest.raises(TypeError):
        er.random_room(1.5)
