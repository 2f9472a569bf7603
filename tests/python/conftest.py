"""Shared helpers of the orvane tests: objects in a given state, frames, the engine reference."""

import os
import pathlib
import subprocess

import numpy as np
import pytest

import orvane

MODE_BITS = {"changedetection": 0x02, "orvane": 0x04, "affineparams": 0x08, "all": 0x10}
TIME_DERIVATIVES = {"recursive": 0, "batch": 1}
# The images every process_data updates, in the order the engine reference writes them (the
# order of the component's description).
IMAGES = list(orvane.RESULT_IMAGES)


def created(lines=12, columns=20, **settings):
    """A CoOrvane with the given geometry and settings, its engine created."""
    o = orvane.CoOrvane()
    o.lines, o.columns = lines, columns
    for name, value in settings.items():
        setattr(o, name, value)
    o.create_orvane()
    return o


def moving_texture(lines, columns, count, seed=1, step=(0.7, -0.4)):
    """`count` float32 frames of a smooth random texture that drifts by `step` pixels a frame."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:lines, 0:columns].astype(np.float64)
    waves = [(rng.uniform(0.1, 0.6), rng.uniform(0.1, 0.6), rng.uniform(0, 6)) for _ in range(4)]
    frames = []
    for n in range(count):
        xs, ys = x - step[0] * n, y - step[1] * n
        img = sum(np.sin(a * xs + b * ys + p) for a, b, p in waves)
        frames.append((100 + 40 * img).astype(np.float32))
    return frames


def reference_program():
    path = os.environ.get("ORVANE_ENGINE_REFERENCE")
    if path:
        return pathlib.Path(path)
    beside = pathlib.Path(orvane.__file__).parents[1] / "orvane_engine_reference"
    if beside.exists():
        return beside
    pytest.skip("orvane_engine_reference was not built (set ORVANE_ENGINE_REFERENCE)")


def run_reference(tmp_path, frames, *, lines, columns, regularizer=0.01,
                  timederivative_mode="recursive", computation_mode="all", input_filter=0,
                  kernel_column=-1):
    """Runs MotionEngine directly on `frames`; returns per frame a dict of image name to array,
    plus "imgbuffer" and "imgdebug" lists of the five slots."""
    frames_file = tmp_path / "frames.f32"
    out_file = tmp_path / "out.f32"
    np.concatenate([np.ascontiguousarray(f, np.float32).ravel() for f in frames]).tofile(
        frames_file)
    flags = (0x01 if input_filter else 0) | MODE_BITS[computation_mode]
    subprocess.run(
        [str(reference_program()), str(columns), str(lines), repr(float(regularizer)),
         str(TIME_DERIVATIVES[timederivative_mode]), str(flags), str(kernel_column),
         str(frames_file), str(out_file)],
        check=True)
    data = np.fromfile(out_file, dtype=np.float32)
    plain, bordered = lines * columns, (lines + 4) * (columns + 4)
    per_frame = len(IMAGES) * plain + 5 * bordered + 5 * plain
    assert data.size == per_frame * len(frames)
    results = []
    for chunk in data.reshape(len(frames), per_frame):
        images = {}
        offset = 0
        for name in IMAGES:
            images[name] = chunk[offset:offset + plain].reshape(lines, columns)
            offset += plain
        images["imgbuffer"] = [chunk[offset + k * bordered:offset + (k + 1) * bordered]
                               .reshape(lines + 4, columns + 4) for k in range(5)]
        offset += 5 * bordered
        images["imgdebug"] = [chunk[offset + k * plain:offset + (k + 1) * plain]
                              .reshape(lines, columns) for k in range(5)]
        results.append(images)
    return results
