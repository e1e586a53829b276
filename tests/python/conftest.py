"""Shared pieces of the package's tests: er-render run on float WAV files, test signals, and the GIL check."""

import os
import subprocess
import threading
import time
from pathlib import Path

import numpy as np
import pytest
import soundfile

ROOT = Path(__file__).resolve().parents[2]
ER_RENDER = Path(os.environ.get("ER_RENDER", ROOT / "build" / "linux-x64" / "bin" / "er-render"))


def noise(channels, frames, seed=7, level=0.25):
    """Float32 noise with a click at the start of each channel, every channel different."""
    rng = np.random.default_rng(seed)
    x = (rng.standard_normal((channels, frames)) * level).astype(np.float32)
    x[:, 0] = 1.0
    x[:, frames // 3] = -0.8
    return x


class ErRender:
    """er-render on float WAV files in a temporary folder; answers its output as (channels, frames) float32."""

    def __init__(self, folder):
        if not ER_RENDER.exists():
            raise RuntimeError(f"{ER_RENDER} is missing: build the linux-x64 preset first or set ER_RENDER")
        self.folder = Path(folder)
        self.count = 0

    def __call__(self, x, rate, *args):
        self.count += 1
        args = [str(a) for a in args]
        out = self.folder / f"out{self.count}.wav"
        command = [str(ER_RENDER)]
        if x is not None:
            source = self.folder / f"in{self.count}.wav"
            soundfile.write(source, np.atleast_2d(x).T, int(rate), subtype="FLOAT")
            command.append(str(source))
        command += [str(out), "--format", "float", "-q"] + args
        done = subprocess.run(command, capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        y, _ = soundfile.read(out, dtype="float32", always_2d=True)
        return np.ascontiguousarray(y.T)


@pytest.fixture
def er_render(tmp_path):
    return ErRender(tmp_path)


@pytest.fixture
def assert_releases_gil():
    """Checks that `work()` lets other threads run while it works: timed alone first, then run on a thread while
    this one notes the longest it ever stood still (with the GIL held, the whole call). `between()` runs in
    between (an effect's reset, so that the second call starts as the first did)."""

    def check(work, between=lambda: None):
        started = time.perf_counter()
        work()
        call = time.perf_counter() - started
        between()
        worker = threading.Thread(target=work)
        gaps, last = [], time.perf_counter()
        worker.start()
        while worker.is_alive():
            now = time.perf_counter()
            gaps.append(now - last)
            last = now
        worker.join()
        assert call > 0.05 and max(gaps) < call / 2, (call, max(gaps))

    return check
