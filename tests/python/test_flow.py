"""orvane.flow: dense flow, the affine fit and the streaming tracker in pixels per frame."""
import re

import numpy as np
import pytest

import orvane
from orvane import flow

LINES, COLUMNS = 48, 64


def texture(dx, dy, t):
    ys, xs = np.mgrid[0:LINES, 0:COLUMNS].astype(np.float64)
    x, y = xs - dx * t, ys - dy * t
    return (128 + 40 * np.sin(0.3 * x + 0.1 * y) * np.cos(0.25 * y - 0.05 * x)
            + 20 * np.sin(0.7 * x + 0.45 * y)).astype(np.float32)


def component(mode="all", rule="batch"):
    o = orvane.CoOrvane()
    o.lines, o.columns = LINES, COLUMNS
    o.computation_mode, o.timederivative_mode, o.input_filter = mode, rule, 1
    o.create_orvane()
    return o


@pytest.mark.parametrize("dx,dy", [(0.5, 0.2), (-0.3, 0.6)])
def test_dense_and_affine_give_pixels_per_frame(dx, dy):
    o = component()
    for t in range(6):
        o.process_data(texture(dx, dy, t))
    d = flow.dense(o)
    assert d.u.shape == d.v.shape == d.valid.shape == (LINES, COLUMNS)
    assert d.valid.dtype == bool and d.valid_share > 0.8
    assert np.median(d.u[d.valid]) == pytest.approx(dx, abs=0.01)
    assert np.median(d.v[d.valid]) == pytest.approx(dy, abs=0.01)
    for robust in (True, False):
        a = flow.affine(o, robust=robust)
        cx, cy = (COLUMNS - 1) / 2, (LINES - 1) / 2
        assert a[0] + a[1] * cx + a[2] * cy == pytest.approx(dx, abs=0.01)
        assert a[3] + a[4] * cx + a[5] * cy == pytest.approx(dy, abs=0.01)


def test_units_and_refusals():
    assert flow.frame_delay("batch") == 2 and flow.frame_delay("recursive") == 0
    assert flow.flow_scale("batch", 4) == 0
    assert flow.flow_scale("batch", 5) == pytest.approx(flow.SPATIAL_GAIN / (6 * 0.8867 - 4),
                                                        rel=1e-6)
    with pytest.raises(ValueError, match='"changedetection" has no Ixy'):
        flow.dense(component("changedetection"))
    with pytest.raises(ValueError, match="window"):
        flow.dense(component(), window="disc:3")
    with pytest.raises(ValueError, match="timederivative_mode"):
        flow.flow_scale("slow")


def test_stream_follows_motion_beyond_one_pixel_per_frame():
    frames = [texture(2.5, -1.0, t) for t in range(9)]
    results = list(flow.stream(frames))
    assert [r.frame for r in results] == [2, 3, 4, 5, 6]
    last = results[-1]
    assert not last.beyond_range
    assert last.flow.valid_share > 0.6
    assert np.median(last.flow.u[last.flow.valid]) == pytest.approx(2.5, abs=0.05)
    assert np.median(last.flow.v[last.flow.valid]) == pytest.approx(-1.0, abs=0.05)
    with pytest.raises(ValueError, match="shape"):
        list(flow.stream([frames[0], frames[0][:, :60]]))
    # The global motion alone: the same frames, no flow.
    for r in flow.stream(frames, dense_flow=False):
        assert r.flow is None
    assert r.frame == 6 and not r.beyond_range
    assert r.affine[0] == pytest.approx(2.5, abs=0.05) and r.affine[3] == pytest.approx(-1.0, abs=0.05)


@pytest.mark.parametrize("bad,at", [(np.nan, 0), (np.inf, 3), (-np.inf, 6)])
def test_stream_refuses_pixels_that_are_not_numbers_naming_the_frame(bad, at):
    frames = [texture(0.5, 0.2, t) for t in range(8)]
    frames[at][10, 20] = bad
    with pytest.raises(ValueError, match=f"frame {at} .*line 10, column 20"):
        list(flow.stream(frames))


@pytest.mark.parametrize("dx,dy", [(0.4, -0.2), (6.5, 3.25)])
def test_pair_gives_the_flow_from_one_image_to_the_next(dx, dy):
    r = flow.pair(texture(dx, dy, 0), texture(dx, dy, 1))
    assert r.u.shape == r.v.shape == r.confidence.shape == (LINES, COLUMNS)
    inner = (slice(8, -8), slice(8, -8))
    assert np.abs(r.u[inner] - dx).mean() < 0.1 and np.abs(r.v[inner] - dy).mean() < 0.1
    cx, cy = (COLUMNS - 1) / 2, (LINES - 1) / 2
    assert r.affine[0] + r.affine[1] * cx + r.affine[2] * cy == pytest.approx(dx, abs=0.1)
    # A kept estimator gives the same bits, pair after pair and across shapes.
    kept = flow.PairEstimator()
    for first, second in [(texture(dx, dy, 0), texture(dx, dy, 1)), (np.zeros((9, 12)), np.zeros((9, 12))),
                          (texture(dx, dy, 0), texture(dx, dy, 1))]:
        k = kept.estimate(first, second)
        p = flow.pair(first, second)
        assert np.array_equal(k.u, p.u) and np.array_equal(k.v, p.v) and np.array_equal(k.confidence, p.confidence)


@pytest.mark.parametrize("first,second,message", [
    (np.zeros((8, 8)), np.zeros((8, 9)), "first and second differ in shape: (8, 8) and (8, 9)"),
    (np.zeros((1, 8)), np.zeros((1, 8)), "at least 2 x 2 pixels"),
    (np.zeros(8), np.zeros(8), "first must be 2-dimensional"),
])
def test_pair_refuses_images_it_cannot_pair(first, second, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        flow.pair(first, second)
