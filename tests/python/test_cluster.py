"""The Dask recipe: a folder augmented on a LocalCluster, the same files whatever the number of workers."""

import os

import numpy as np
import pytest
import distributed  # python3-distributed, which scripts/setup installs
import soundfile

import early_reflection as er
from early_reflection.cluster import augment_file, augment_folder


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sounds")
    rng = np.random.default_rng(3)
    for i in range(6):
        channels = 1 + i % 2
        x = (rng.standard_normal((4000 + 500 * i, channels)) * 0.2).astype(np.float32)
        soundfile.write(folder / f"take_{i:02d}.wav", x, 16000 + 8000 * (i % 3), subtype="FLOAT")
    return folder


def run(folder, out, workers):
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        return augment_folder(client, str(folder), str(out))


def test_same_results_whatever_the_workers(folder, tmp_path):
    one = run(folder, tmp_path / "one", 1)
    two = run(folder, tmp_path / "two", 2)
    assert [r["file"] for r in one] == sorted(os.listdir(folder))
    for a, b in zip(one, two):
        assert a["sha256"] == b["sha256"] and a["room"] == b["room"] and a["seed"] == b["seed"]
        np.testing.assert_array_equal(soundfile.read(a["output"], dtype="float32")[0],
                                      soundfile.read(b["output"], dtype="float32")[0])
    # Every file its own room, from its name: the same as drawing it here.
    assert len({r["seed"] for r in one}) == len(one)
    first = one[0]
    assert er.Room(first["room"]) == er.random_room(er.seed_from_name(first["file"]), name=first["file"])
    # And the samples are render_room's of that room.
    x, rate = soundfile.read(folder / first["file"], dtype="float32", always_2d=True)
    expected = np.atleast_2d(er.render_room(np.ascontiguousarray(x.T), rate, er.Room(first["room"]), tail=0))
    np.testing.assert_array_equal(soundfile.read(first["output"], dtype="float32", always_2d=True)[0].T, expected)


def test_salt_and_options(folder, tmp_path):
    plain = augment_file(str(folder / "take_00.wav"), str(tmp_path))
    salted = augment_file(str(folder / "take_00.wav"), str(tmp_path), salt="epoch 2")
    assert plain["seed"] != salted["seed"] and plain["sha256"] != salted["sha256"]
    mono = augment_file(str(folder / "take_01.wav"), str(tmp_path), room_options={"spacing": 0}, dry=0, tail=None)
    assert mono["room"]["spacing"] == 0 and mono["frames"] > 4500
