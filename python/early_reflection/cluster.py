"""Augmenting a folder of sound files across the workers of a Dask distributed cluster.

Each file gets a room drawn from a seed derived from its name (random_room(seed_from_name(name, salt))), so a
file's result depends on the file, the salt and the ranges alone: the same whatever the number of workers, the
order they take the files in, or the machine. augment_file is a plain function of paths; Dask ships it to the
workers, which need this package installed and the folders in reach (a shared file system on a real cluster):

    from dask.distributed import Client, LocalCluster
    from early_reflection.cluster import augment_folder

    with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster) as client:
        results = augment_folder(client, "speech/", "speech-rooms/")

On a real cluster, Client("scheduler-address:8786") in place of the LocalCluster; nothing else changes.
"""

from __future__ import annotations

import hashlib
import os
from pathlib import Path
from typing import Any, Dict, List, Optional

import numpy as np

from ._random import random_room, seed_from_name
from ._rooms import render_room

EXTENSIONS = (".wav", ".flac", ".aiff", ".aif", ".ogg")


def augment_file(path: str, out_dir: str, *, salt: str = "", dry: Any = None, wet: Any = None, tail: Any = 0,
                 room_options: Optional[Dict[str, Any]] = None) -> Dict[str, Any]:
    """Renders one sound file through a room drawn from its name's seed; writes OUT_DIR/NAME as float WAV.

    ``dry``, ``wet`` and ``tail`` are render_room's (default: the wet room alone, the input's length);
    ``room_options`` passes ranges to random_room. Answers what was done: the file, its seed, the room and the
    SHA-256 of the samples written."""
    import soundfile  # the workers' own import

    name = os.path.basename(path)
    seed = seed_from_name(name, salt)
    room = random_room(seed, name=name, **(room_options or {}))
    samples, rate = soundfile.read(path, dtype="float32", always_2d=True)
    x = np.ascontiguousarray(samples.T)
    if x.shape[0] > 2:
        raise ValueError(f"{name}: a room takes a mono or a stereo file, not {x.shape[0]} channels")
    y = render_room(x, rate, room, dry=dry, wet=wet, tail=tail)
    y = np.atleast_2d(y)
    out = Path(out_dir) / (Path(name).stem + ".wav")
    soundfile.write(out, y.T, rate, subtype="FLOAT")
    return {"file": name, "seed": seed, "room": room.to_dict(), "output": str(out),
            "frames": int(y.shape[1]), "sha256": hashlib.sha256(np.ascontiguousarray(y).tobytes()).hexdigest()}


def sound_files(in_dir: str) -> List[str]:
    """The sound files of a folder, by name."""
    return sorted(str(p) for p in Path(in_dir).iterdir() if p.suffix.lower() in EXTENSIONS)


def augment_folder(client: Any, in_dir: str, out_dir: str, **options: Any) -> List[Dict[str, Any]]:
    """Every sound file of ``in_dir`` through augment_file on the cluster of ``client`` (a dask.distributed
    Client), results in the files' name order. ``options`` are augment_file's."""
    os.makedirs(out_dir, exist_ok=True)
    paths = sound_files(in_dir)
    futures = client.map(augment_file, paths, out_dir=out_dir, pure=False, **options)
    return client.gather(futures)
