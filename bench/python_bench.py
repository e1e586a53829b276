#!/usr/bin/python3
"""The Python package's benchmark: its three targets side by side in one run (figures for reading, nothing
asserted). Run with the package installed (pip install --no-build-isolation .):

    /usr/bin/python3 bench/python_bench.py [--quick]

1. render_room of 60 s of 48 kHz mono noise through the studio against scipy.signal.oaconvolve of the same
   room's impulse response (both channels), the fastest of five; and their largest difference re the peak.
2. Effect.process at 64, 256 and 4096 frames a call (with out=, and without) against the same core called
   from C++ with no Python between the calls (the module and er-render's host alone), the fastest of five.
3. The Dask recipe on a LocalCluster of 1 and of 2 worker processes over 32 one-minute files: files a second.
"""

import argparse
import os
import tempfile
import time

import numpy as np
import scipy.signal
import soundfile

import early_reflection as er
from early_reflection import _core

RATE = 48000


def fastest(run, repeats=5):
    best = float("inf")
    for _ in range(repeats):
        started = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - started)
    return best


def room_versus_convolution(seconds):
    x = (np.random.default_rng(1).standard_normal(RATE * seconds) * 0.1).astype(np.float32)
    room = er.Room("studio")
    # The response until every tap's low-pass has rung down far below 1e-6 (the render's own tail stops at 60 dB).
    ir = room.impulse_response(room.tail_seconds(RATE) + 0.05, RATE)
    ours = fastest(lambda: er.render_room(x, RATE, room))
    ours_4096 = fastest(lambda: er.render_room(x, RATE, room, block=4096))
    theirs = fastest(lambda: scipy.signal.oaconvolve(x[None, :], ir, axes=1))
    y = er.render_room(x, RATE, room)
    z = scipy.signal.oaconvolve(x[None, :], ir, axes=1)
    n = min(y.shape[1], z.shape[1])
    error = np.abs(y[:, :n] - z[:, :n]).max() / np.abs(z).max()
    print(f"| render_room, {seconds} s mono, studio ({len(room.pattern)} taps) | {ours * 1000:.1f} ms | "
          f"oaconvolve, IR {ir.shape[1]} frames x 2: {theirs * 1000:.1f} ms | {ours / theirs:.2f}x "
          f"(target <= 0.5x) | max difference {error:.2e} of the peak (target <= 1e-6); block 4096: "
          f"{ours_4096 * 1000:.1f} ms, {ours_4096 / theirs:.2f}x |")


def effect_overhead(total_seconds):
    for frames in (64, 256, 4096):
        calls = max(1, int(total_seconds * RATE / frames))
        x = (np.random.default_rng(2).standard_normal(frames) * 0.1).astype(np.float32)
        out = np.empty_like(x)
        settings = dict(time="25ms", feedback=4, damping=3)
        fx = er.Effect(RATE, block=frames, **settings)

        def with_out():
            for _ in range(calls):
                fx.process(x, out=out)

        def allocating():
            for _ in range(calls):
                fx.process(x)

        python_out = fastest(with_out) / calls
        python_new = fastest(allocating) / calls
        core = er.Effect(RATE, block=frames, **settings)
        native = min(_core._time_process(core, x, calls) for _ in range(5))
        module = min(_core._time_module(er.Effect(RATE, block=frames, **settings), x, calls) for _ in range(5))
        print(f"| Effect.process, {frames} frames | {python_out * 1e6:.2f} us with out= "
              f"({python_new * 1e6:.2f} us allocating) | module's entry {module * 1e6:.2f} us; er-render's host "
              f"from C++ {native * 1e6:.2f} us | +{(python_out - module) * 1e6:.2f} us a call over the module "
              f"(target <= 1 us) | {python_out / native:.2f}x the host from C++ (target <= 1.1x at 4096) |")


def cluster(files, seconds):
    import distributed
    from early_reflection.cluster import augment_folder

    with tempfile.TemporaryDirectory() as folder:
        source = os.path.join(folder, "in")
        os.makedirs(source)
        rng = np.random.default_rng(3)
        for i in range(files):
            soundfile.write(os.path.join(source, f"take_{i:03d}.wav"),
                            (rng.standard_normal(RATE * seconds) * 0.1).astype(np.float32), RATE, subtype="FLOAT")
        rates = {}
        for workers in (1, 2):
            with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                          dashboard_address=None) as c, distributed.Client(c) as client:
                client.run(lambda: __import__("early_reflection.cluster"))  # the workers' imports, untimed
                started = time.perf_counter()
                augment_folder(client, source, os.path.join(folder, f"out{workers}"))
                rates[workers] = files / (time.perf_counter() - started)
        print(f"| Dask recipe, {files} files of {seconds} s | 1 worker {rates[1]:.2f} files/s | 2 workers "
              f"{rates[2]:.2f} files/s | {rates[2] / rates[1]:.2f}x (target >= 1.6x) | {os.cpu_count()} cores |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter signals and fewer files (for a check)")
    quick = parser.parse_args().quick
    print("| case | ours | reference | ratio | note |")
    print("|---|---|---|---|---|")
    room_versus_convolution(6 if quick else 60)
    effect_overhead(0.5 if quick else 5.0)
    cluster(4 if quick else 32, 5 if quick else 60)


if __name__ == "__main__":
    main()
