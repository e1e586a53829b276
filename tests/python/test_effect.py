"""Effect: bit for bit what er-render --block N writes, streaming, settings, refusals and threads."""

import subprocess
import threading

import numpy as np
import pytest

import early_reflection as er
from conftest import ER_RENDER, noise

RATE = 48000
# Settings as er-render's --set takes them, each case a different routine of the module.
CASES = {
    "damped feedback": {"1 Time": "25ms", "Feedback +/-10": "4", "Damping 0-10": "3"},
    "fractional per block": {"1 Time": "10.37ms", "Time Accuracy": "Fraction(Econ)", "Feedback +/-10": "-6",
                             "Damping/Feedback Mode": "Output", "Damping 0-10": "7"},
    "fractional full, analogue volume": {"1 Time": "333.3smp", "Time Accuracy": "Fraction(Full)",
                                         "Volume Mode": "Analogue", "1 Volume 10=100%": "7.5",
                                         "Feedback +/-10": "9.5"},
    "plain delay, far ends": {"Time Mode": "Samples", "1 Time": "1", "Feedback +/-10": "-10",
                              "Damping 0-10": "10", "Damping/Feedback Mode": "Tap1"},
}
LEVELS = {"wet only": {}, "mixed": {"dry": "-3", "wet": "-6", "gain": "1.5"}}


def sets(settings):
    return [arg for name, value in settings.items() for arg in ("--set", f"{name}={value}")]


def levels_args(levels):
    return [arg for name, value in levels.items() for arg in (f"--{name}", value)]


def run_calls(fx, x, lengths):
    """x through fx in calls of the given lengths (cycled), concatenated."""
    pieces, start, i = [], 0, 0
    while start < x.shape[-1]:
        n = lengths[i % len(lengths)]
        pieces.append(fx.process(x[..., start:start + n]))
        start += n
        i += 1
    return np.concatenate(pieces, axis=-1)


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("levels", LEVELS)
@pytest.mark.parametrize("block, lengths", [(64, [64]), (64, [640, 64 * 3]), (512, [512 * 3, 512]),
                                            (512, [4096, 512]), (4096, [4096]), (7, [7 * 13, 7])])
def test_bit_identical_to_er_render(er_render, case, levels, block, lengths):
    # Calls of whole blocks, the last one whatever remains (9000 frames end in a partial block at every size).
    x = noise(2, 9000)
    expected = er_render(x, RATE, "--block", block, "--tail", 0, *sets(CASES[case]), *levels_args(LEVELS[levels]))
    fx = er.Effect(RATE, CASES[case], block=block, **LEVELS[levels])
    y = run_calls(fx, x, lengths)
    assert y.dtype == np.float32 and y.shape == x.shape
    np.testing.assert_array_equal(y, expected)


@pytest.mark.parametrize("case", CASES)
def test_calls_off_the_block_grid(er_render, case):
    # A call that ends inside a block ends that block there too: the module then reads its block-rate values
    # at other samples, which moves some samples by a rounding or so, never more.
    x = noise(2, 9000)
    expected = er_render(x, RATE, "--block", 64, "--tail", 0, *sets(CASES[case]))
    y = run_calls(er.Effect(RATE, CASES[case], block=64), x, [100, 37, 1000])
    np.testing.assert_allclose(y, expected, rtol=0, atol=1e-6 * np.abs(expected).max())
    # Blocks are counted from the stream's first frame: calls of 37 and 91 frames play the blocks [0, 37),
    # [37, 64), [64, 128), exactly as calls of 37, 27 and 64 do (counted from each call, they would be others).
    a, b = er.Effect(RATE, CASES[case], block=64), er.Effect(RATE, CASES[case], block=64)
    np.testing.assert_array_equal(run_calls(a, x, [37, 91] + [64] * 200), run_calls(b, x, [37, 27] + [64] * 200))


def test_mono_arrays_and_float64(er_render):
    x = noise(1, 5000)[0]
    expected = er_render(x, RATE, "--block", 256, "--tail", 0, *sets(CASES["damped feedback"]))[0]
    y = er.Effect(RATE, CASES["damped feedback"], block=256).process(x.astype(np.float64))
    assert y.shape == x.shape and y.dtype == np.float32
    np.testing.assert_array_equal(y, expected)


def test_keywords_mean_the_pins_names():
    x = noise(1, 3000)[0]
    by_keyword = er.Effect(RATE, time="25ms", feedback=4, damping=3, time_accuracy="Fraction(Full)").process(x)
    by_pin = er.Effect(RATE, {"1 TIME": "25ms", "feedback +/-10": 4.0, "Damping 0-10": 3,
                              "Time Accuracy": 2}).process(x)
    np.testing.assert_array_equal(by_keyword, by_pin)


def test_stream_carries_state_and_reset_starts_again():
    x = noise(2, 6000)
    whole = er.Effect(RATE, time="30ms", feedback=5).process(x)
    fx = er.Effect(RATE, time="30ms", feedback=5)
    first = fx.process(x[:, :3000])
    second = fx.process(x[:, 3000:])
    np.testing.assert_array_equal(np.concatenate([first, second], axis=1), whole)
    assert fx.position == 6000 and fx.channels == 2
    # Later calls hear the echoes of earlier ones: silence after a click still rings.
    ringing = fx.process(np.zeros((2, 3000), np.float32))
    assert np.abs(ringing).max() > 0.01
    fx.reset()
    assert fx.position == 0 and fx.channels == 0
    np.testing.assert_array_equal(fx.process(x), whole)
    # After a reset the stream may have other channels.
    fx.reset()
    mono = fx.process(np.ascontiguousarray(x[1]))
    np.testing.assert_array_equal(mono, er.Effect(RATE, time="30ms", feedback=5).process(x[1]))


def test_out_argument_and_empty_calls():
    x = noise(2, 2048)
    fx = er.Effect(RATE, time="5ms")
    out = np.empty_like(x)
    result = fx.process(x, out=out)
    assert result is out or np.shares_memory(result, out)
    np.testing.assert_array_equal(out, er.Effect(RATE, time="5ms").process(x))
    assert fx.process(np.zeros((2, 0), np.float32)).shape == (2, 0)
    assert fx.position == 2048


def test_non_contiguous_and_read_only_input():
    x = np.asfortranarray(noise(2, 3000))
    x.setflags(write=False)
    y = er.Effect(RATE, time="5ms").process(x)
    np.testing.assert_array_equal(y, er.Effect(RATE, time="5ms").process(np.ascontiguousarray(x)))
    strided = noise(1, 6000)[0][::2]
    np.testing.assert_array_equal(er.Effect(RATE, time="5ms").process(strided),
                                  er.Effect(RATE, time="5ms").process(strided.copy()))


def test_settings_delay_and_repr_say_what_it_plays():
    fx = er.Effect(44100, time="25ms", feedback=4, damping=3, dry=-6)
    # "1 Time" as the module gets it: the value whose delay is the whole sample nearest 25 ms.
    assert fx.settings["1 Time"] == pytest.approx(25.0, abs=0.012) and fx.settings["Time Mode"] == "Time(ms)"
    assert fx.settings["Feedback +/-10"] == pytest.approx(4.0) and fx.settings["Active"] == "ON"
    assert fx.settings["Max Delay(s)"] == "0.040 (2048sm)"  # the shortest line that holds 1103 samples
    assert fx.delay.samples == 1103.0 and fx.delay.seconds == pytest.approx(1103 / 44100) and fx.delay.line == 2048
    assert fx.levels["dry"] == pytest.approx(10 ** (-6 / 20)) and fx.levels["wet"] == 1.0
    text = repr(fx)
    assert "1103 samples" in text and "44100 Hz" in text and "Feedback +/-10=4" in text
    fx.set(time="0.5s")
    assert fx.delay.samples == 22050 and fx.settings["Max Delay(s)"] == "0.680"


def test_set_between_calls():
    click = np.zeros(8000, np.float32)
    click[0] = 1.0
    fx = er.Effect(RATE, time="10ms")
    first = fx.process(click[:4000])
    assert np.flatnonzero(first).tolist() == [480]
    # A change is heard from the next call on: the next click echoes at the new delay.
    fx.set(time="20ms", volume=5)
    second = fx.process(click)
    assert np.flatnonzero(second).tolist() == [960] and second[960] == pytest.approx(0.5)
    # Setting what is already set changes no sample.
    a, b = er.Effect(RATE, time="10ms", feedback=3), er.Effect(RATE, time="10ms", feedback=3)
    x = noise(1, 6000)[0]
    ya = np.concatenate([a.process(x[:3000]), a.process(x[3000:])])
    b.process(x[:3000])
    b.set(time="10ms", feedback=3, wet=0)
    np.testing.assert_array_equal(ya[3000:], b.process(x[3000:]))
    # Levels change the mix alone.
    c = er.Effect(RATE, time="10ms", feedback=3)
    c.process(x[:3000])
    c.set(wet="off", dry=0)
    np.testing.assert_array_equal(c.process(x[3000:]), x[3000:])


REFUSALS = [
    (dict(time="25ms", feedback=11), ValueError, "takes -10 .. 10"),
    (dict(damping=-1), ValueError, "takes 0 .. 10"),
    (dict(time=-5), ValueError, "0 or more"),
    (dict(time="100s"), ValueError, "longer than the longest"),
    (dict(feedback="1..2"), ValueError, "no ramp"),
    (dict(nonsense=3), ValueError, "no pin \"nonsense\""),
    (dict(volume_mode="Logarithmic"), ValueError, "not a choice"),
    (dict(feedback="lots"), ValueError, "not a number"),
    (dict(feedback=float("nan")), ValueError, "not a number"),
    (dict(feedback="4ms"), ValueError, "only \"1 Time\" takes a unit"),
    (dict(feedback=[4]), TypeError, "takes a number or a text"),
    (dict(dry="loud"), ValueError, "--dry takes decibels"),
    (dict(Out=1), ValueError, "output pin"),
]


@pytest.mark.parametrize("settings, error, words", REFUSALS)
def test_refused_settings(settings, error, words):
    with pytest.raises(error, match=words.replace("+", r"\+").replace(".", r"\.").replace("(", r"\(")):
        er.Effect(RATE, **settings)
    # The same refusal in set() leaves the effect as it was, and the stream goes on unharmed.
    fx = er.Effect(RATE, time="8ms", feedback=2)
    x = noise(1, 4000)[0]
    expected = er.Effect(RATE, time="8ms", feedback=2).process(x)
    fx.process(x[:2000])
    before = fx.settings
    with pytest.raises(error):
        fx.set(**settings)
    assert fx.settings == before
    np.testing.assert_array_equal(fx.process(x[2000:]), expected[2000:])
    # Nothing of the refused change stays behind to spoil the next one.
    fx.set(volume=5)
    assert fx.settings["1 Volume 10=100%"] == 5.0 and fx.settings["Feedback +/-10"] == pytest.approx(2)


@pytest.mark.parametrize("channels, levels", [(1, {}), (2, {}), (1, {"dry": 0})])
def test_allow_unsafe_takes_what_is_refused_and_divergence_stops_the_stream(channels, levels):
    fx = er.Effect(RATE, {"Time Mode": "Samples"}, time=1, feedback=11, allow_unsafe=True, **levels)
    assert fx.settings["Feedback +/-10"] == pytest.approx(11)
    x = noise(channels, 4000)
    fx.process(x[..., :100])
    with pytest.raises(ValueError, match="infinite|not a number"):
        fx.process(x[..., 100:])
    # The stream starts again: the next call plays as a fresh effect's first call.
    assert fx.position == 0
    np.testing.assert_array_equal(fx.process(x[..., :100]), er.Effect(
        RATE, {"Time Mode": "Samples"}, time=1, feedback=11, allow_unsafe=True, **levels).process(x[..., :100]))


BAD_INPUT = [
    (np.zeros(10, np.int16), TypeError, "float32 or float64"),
    (np.zeros(10, np.complex64), TypeError, "float32 or float64"),
    ([0.0, 0.1], TypeError, "NumPy array"),
    (np.zeros((1, 2, 3), np.float32), ValueError, "3-dimensional"),
    (np.zeros((0, 10), np.float32), ValueError, "no channel"),
    (np.array([0, np.nan], np.float32), ValueError, "not finite"),
    (np.array([[0, 0], [0, np.inf]]), ValueError, "frame 1 of channel 1"),
    (np.array([0, 1e300]), ValueError, "not finite"),
]


@pytest.mark.filterwarnings("ignore:overflow encountered in cast")
@pytest.mark.parametrize("x, error, words", BAD_INPUT)
def test_refused_input_leaves_the_stream(x, error, words):
    fx = er.Effect(RATE, time="3ms", feedback=4)
    good = noise(1, 3000)[0]
    expected = er.Effect(RATE, time="3ms", feedback=4).process(good)
    fx.process(good[:1000])
    with pytest.raises(error, match=words):
        fx.process(x)
    np.testing.assert_array_equal(fx.process(good[1000:]), expected[1000:])


def test_refused_out_and_channels():
    fx = er.Effect(RATE)
    x = noise(2, 100)
    for out, error, words in [
        (np.empty((2, 100), np.float64), TypeError, "float32"),
        (np.empty((2, 99), np.float32), ValueError, "shape"),
        (np.empty((100, 2), np.float32).T, ValueError, "C-contiguous"),
        (x, ValueError, "input's own memory"),
    ]:
        with pytest.raises(error, match=words):
            fx.process(x, out=out)
    read_only = np.empty((2, 100), np.float32)
    read_only.setflags(write=False)
    with pytest.raises(ValueError, match="read-only"):
        fx.process(x, out=read_only)
    fx.process(x)
    with pytest.raises(ValueError, match="2 channels, not 1"):
        fx.process(x[0])
    for bad, error in [(dict(sample_rate=0), ValueError), (dict(sample_rate="48k"), TypeError),
                       (dict(sample_rate=48000, block=0), ValueError), (dict(sample_rate=48000, block=2.5), TypeError)]:
        with pytest.raises(error):
            er.Effect(**bad)


def test_sample_rates_are_the_ones_er_render_takes(tmp_path):
    # The limits come from the module's facts through the extension, as er-render's do.
    low, high = er._core.LOWEST_RATE, er._core.HIGHEST_RATE
    assert er.Effect(high).rate == high and er.Effect(low).rate == low
    assert er.Room("studio").taps(high)["delay"].size > 0
    for rate in (high + 0.5, low / 2, float("nan")):
        with pytest.raises(ValueError, match=f"from {low:g} to {high:g} Hz"):
            er.Effect(rate)
        with pytest.raises(ValueError, match=f"from {low:g} to {high:g} Hz"):
            er.Room("studio").taps(rate)
    for rate, code in ((high, 0), (high + 1, 2)):
        done = subprocess.run([str(ER_RENDER), "--rate", f"{rate:g}", "--plot-data", str(tmp_path / "x.csv"), "-q"],
                              capture_output=True, text=True)
        assert done.returncode == code, done.stderr
    assert f"from {low:g} to {high:g}" in done.stderr, done.stderr


def test_gil_released_while_processing(assert_releases_gil):
    fx = er.Effect(RATE, time="25ms", feedback=4, damping=3, time_accuracy="Fraction(Full)")
    x = noise(1, RATE * 300)[0]
    assert_releases_gil(lambda: fx.process(x), between=fx.reset)


def test_instances_independent_across_threads():
    signals = [noise(2, 20000, seed=s) for s in range(4)]
    settings = [dict(time=f"{5 + 3 * i}ms", feedback=i) for i in range(4)]
    expected = [er.Effect(RATE, **s).process(x) for s, x in zip(settings, signals)]
    results = [None] * 4

    def work(i):
        fx = er.Effect(RATE, **settings[i])
        results[i] = np.concatenate([fx.process(signals[i][:, k:k + 1000]) for k in range(0, 20000, 1000)], axis=1)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got, want in zip(results, expected):
        np.testing.assert_array_equal(got, want)


def test_one_instance_in_two_threads_is_refused():
    fx = er.Effect(RATE, time="25ms")
    x = noise(1, RATE * 300)[0]
    errors = []

    def other():
        try:
            fx.process(x)
        except RuntimeError as error:
            errors.append(error)

    threads = [threading.Thread(target=other) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(errors) == 1 and "another thread" in str(errors[0])


def test_help_and_pins():
    assert "er-render --block N" in er.Effect.__doc__
    assert "GIL" in er.Effect.process.__doc__
    names = [pin["name"] for pin in er.pins()]
    assert set(er.SETTING_NAMES.values()) <= set(names)
