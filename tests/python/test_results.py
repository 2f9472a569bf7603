"""What the module returns equals what MotionEngine computes on the same frames, bit for bit,
and agrees with an independent NumPy model of the recursive pipeline."""

import itertools

import numpy as np
import pytest

import orvane
from conftest import IMAGES, created, moving_texture, run_reference

LINES, COLUMNS = 12, 20  # not square, so a swapped axis cannot pass
FRAMES = 8               # beyond the five-frame history, so the ring wraps


def read_all(o):
    images = {name: getattr(o, name) for name in IMAGES}
    images["imgbuffer"] = [o.imgbuffer(k) for k in range(5)]
    images["imgdebug"] = [o.imgdebug(k) for k in range(5)]
    return images


def assert_same(got, want, where):
    for name in IMAGES:
        np.testing.assert_array_equal(got[name], want[name], err_msg=f"{where}: {name}")
    for name in ("imgbuffer", "imgdebug"):
        for k in range(5):
            np.testing.assert_array_equal(got[name][k], want[name][k],
                                          err_msg=f"{where}: {name}({k})")


SETTINGS = [
    dict(computation_mode=mode, timederivative_mode=td, input_filter=flt)
    for mode, td, flt in itertools.product(["changedetection", "orvane", "affineparams", "all"],
                                           ["recursive", "batch"], [0, 1])
]


@pytest.mark.parametrize("settings", SETTINGS,
                         ids=["-".join(str(v) for v in s.values()) for s in SETTINGS])
def test_every_mode_equals_the_engine(tmp_path, settings):
    frames = moving_texture(LINES, COLUMNS, FRAMES)
    want = run_reference(tmp_path, frames, lines=LINES, columns=COLUMNS, **settings)
    o = created(LINES, COLUMNS, **settings)
    for n, frame in enumerate(frames):
        o.process_data(frame)
        assert_same(read_all(o), want[n], f"frame {n + 1}")


@pytest.mark.parametrize("mode", ["changedetection", "orvane", "affineparams", "all"])
def test_the_description_of_the_images_says_what_each_mode_hands_out(mode):
    o = created(LINES, COLUMNS, computation_mode=mode)
    for frame in moving_texture(LINES, COLUMNS, 3):
        o.process_data(frame)
    for name, (modes, region) in orvane.RESULT_IMAGES.items():
        image = getattr(o, name)
        assert image.shape == (LINES, COLUMNS) and region in ("interior", "plain")
        # An image the mode does not compute is handed out as zeros; the frames move, so every
        # computed image has something in it.
        assert (mode in modes) == bool(np.any(image)), f"{name} in {mode}"


@pytest.mark.parametrize("column", [0, 1, 2, 3])
def test_every_kernel_column_equals_the_engine_on_that_column(tmp_path, column):
    # Flat areas and a zero regularizer make the division meet 0/0 and x/0.
    frames = [f.copy() for f in moving_texture(LINES, COLUMNS, FRAMES, seed=5)]
    for f in frames:
        f[:, :6] = 7.0
    want = run_reference(tmp_path, frames, lines=LINES, columns=COLUMNS, regularizer=0.0,
                         kernel_column=column)
    o = created(LINES, COLUMNS, regularizer=0.0)
    try:
        assert orvane.fill_slots(column)
        for frame in frames:
            o.process_data(frame)
        got = read_all(o)
    finally:
        orvane.CoOrvane()  # construction selects this processor's column again
    for name in IMAGES:
        np.testing.assert_array_equal(got[name], want[-1][name], err_msg=name)
    assert np.isnan(got["Un"][:, 0]).all()  # 0/0 where nothing moves and there is no gradient


def numpy_model(frames, regularizer):
    """The recursive "all" pipeline without input filter, written from its formulas."""
    f32 = np.float32
    reg = f32(regularizer)
    a, b = f32(227 / 256), f32(29 / 256)
    previous, It = None, None
    for frame in frames:
        if previous is None:
            It = np.zeros_like(frame)
        else:
            d = frame - previous
            It = d + f32(0.5) * (It - d)
        previous = frame
        p = np.pad(frame, 2, mode="edge")
        c = p[2:-2, 2:-2]
        Ix = a * (p[2:-2, 3:-1] - p[2:-2, 1:-3]) - b * (p[2:-2, 4:] - p[2:-2, :-4])
        Iy = a * (p[3:-1, 2:-2] - p[1:-3, 2:-2]) - b * (p[4:, 2:-2] - p[:-4, 2:-2])
    Ig2 = (Ix * Ix + Iy * Iy) + reg
    return dict(Is=c, It=It, Ix=Ix, Iy=Iy, Ig2=Ig2, Ixy=Ix * Iy, Un=(Ix * It) / Ig2,
                Vn=(Iy * It) / Ig2, Fn2=(It * It) / Ig2)


def test_results_follow_the_formulas_in_numpy_index_order():
    frames = moving_texture(LINES, COLUMNS, 6, seed=9)
    o = created(LINES, COLUMNS)
    for frame in frames:
        o.process_data(frame)
    model = numpy_model(frames, 0.01)
    for name, want in model.items():
        np.testing.assert_allclose(getattr(o, name), want, rtol=2e-4, atol=1e-4, err_msg=name)


@pytest.mark.parametrize("frame, image, value", [
    # A ramp to the right: the derivative across columns, none across lines.
    (np.tile(np.arange(COLUMNS, dtype=np.float32), (LINES, 1)), "Ix", 338 / 256),
    (np.tile(np.arange(COLUMNS, dtype=np.float32), (LINES, 1)), "Iy", 0.0),
    # A ramp downwards: the other way round.
    (np.tile(np.arange(LINES, dtype=np.float32)[:, None], (1, COLUMNS)), "Iy", 338 / 256),
    (np.tile(np.arange(LINES, dtype=np.float32)[:, None], (1, COLUMNS)), "Ix", 0.0),
])
def test_ramps_give_the_stated_derivative_away_from_the_edges(frame, image, value):
    o = created(LINES, COLUMNS)
    o.process_data(frame)
    np.testing.assert_array_equal(getattr(o, image)[2:-2, 2:-2], np.float32(value))
