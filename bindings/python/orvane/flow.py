"""Motion as users mean it, in pixels per frame: dense 2-D flow, the global affine motion, and
a streaming tracker for motions beyond one pixel per frame.

The functions run the same C++ analysis as the command-line tool ``orvane-flow`` (the GIL is
released while they work) and return NumPy arrays and plain Python values. Signs: +x right,
+y down, the direction in which the content moves.

- ``dense(obj)``: the dense flow from a CoOrvane object's moment images (its computation mode
  must be "affineparams" or "all"), valid below about one pixel per frame.
- ``affine(obj)``: the global affine motion u = a1 + a2 x + a3 y, v = a4 + a5 x + a6 y.
- ``pair(first, second)``: the dense flow from one image to another (orvane-flow's pairwise
  method), a value and a confidence at every pixel, any motion up to about 50 px.
- ``stream(frames)``: motion-compensated tracking of a whole frame stream, the tool's default
  method, from a tenth of a pixel to several pixels per frame.
- ``analyze(path)``: the whole main job of orvane-flow on one recording (a video, images or the
  built-in sequence), returning its summary and per-frame table, and writing its files on
  request.
- ``program()``: the path of the orvane-flow program that comes with the package, for running
  it as a separate process.
- ``stabilize(path, out)``: the recording with the shake taken out, as ``orvane-flow PATH
  --stabilize OUT`` writes it.
"""
from __future__ import annotations

import csv
import io
import json
import os
import pathlib
import threading
from dataclasses import dataclass
from typing import Iterable, Iterator, Optional, Tuple

import numpy as np

from . import _core

_an = _core._analysis

#: The gain of the component's 5-tap spatial derivative on a unit ramp.
SPATIAL_GAIN: float = _an.spatial_gain


def flow_scale(timederivative_mode: str, frames: int = 1 << 30) -> float:
    """gs / gt: with the component's derivatives, Ix u + Iy v = -flow_scale * It in pixels per
    frame. ``frames`` is the number of frames processed since create_orvane (the recursive
    rule's gain grows over its first frames); 0 while It is not defined yet."""
    return _an.flow_scale(timederivative_mode, int(frames))


def frame_delay(timederivative_mode: str) -> int:
    """How many frames the derivatives lag behind the newest one: 2 for "batch", 0 for
    "recursive"."""
    return _an.frame_delay(timederivative_mode)


@dataclass
class Flow:
    """A dense flow field: u, v [pixels per frame] (0 where invalid), the validity mask, and the
    confidence (the smaller eigenvalue of the window's gradient tensor)."""

    u: np.ndarray
    v: np.ndarray
    valid: np.ndarray
    confidence: np.ndarray

    @property
    def valid_share(self) -> float:
        return float(self.valid.mean()) if self.valid.size else 0.0

    @property
    def median_speed(self) -> float:
        speeds = np.hypot(self.u[self.valid], self.v[self.valid])
        return float(np.median(speeds)) if speeds.size else float("nan")


def _moments(obj):
    mode = obj.computation_mode
    modes = _core.RESULT_IMAGES["Ixy"][0]
    if mode not in modes:
        raise ValueError(f'the computation mode "{mode}" has no Ixy; use '
                         + " or ".join(f'"{m}"' for m in modes))
    return obj.Ix2, obj.Iy2, obj.Ixy, obj.Ixt, obj.Iyt


def dense(obj, frames: int = 1 << 30, window: str = "gaussian:4",
          min_eigenvalue: float = 1.0, min_ratio: float = 0.01) -> Flow:
    """The dense flow of the frame the object's derivatives describe (``frame_delay`` frames
    before the newest), from its moment images. ``frames``: frames processed since
    create_orvane (matters only for the recursive rule's first frames). ``window``:
    "gaussian:SIGMA" or "box:SIDE" in pixels. Pixels whose window lacks texture in some
    direction are invalid."""
    scale = flow_scale(obj.timederivative_mode, frames)
    d = _an.dense_flow(*_moments(obj), scale, window, float(min_eigenvalue), float(min_ratio))
    return Flow(d["u"], d["v"], d["valid"], d["confidence"])


def affine(obj, robust: bool = True, frames: int = 1 << 30
           ) -> Optional[Tuple[float, float, float, float, float, float]]:
    """The global affine motion (a1 .. a6) of the object's last frame, x right and y down from
    the top-left pixel, in pixels per frame; None when the texture does not fix it. ``robust``
    weighs down pixels that move otherwise (objects crossing the scene)."""
    scale = flow_scale(obj.timederivative_mode, frames)
    if scale <= 0:
        return None
    margin = 4 if obj.input_filter else 2
    return _an.affine_fit(*_moments(obj), obj.It if robust else None, SPATIAL_GAIN / scale,
                          bool(robust), margin)


@dataclass
class StreamResult:
    """One result of ``stream``: the flow of frame ``frame`` (0-based), its affine motion, and
    ``beyond_range`` when the motion exceeds what can be measured."""

    frame: int
    flow: Optional[Flow]  # None with dense_flow=False
    affine: Optional[Tuple[float, float, float, float, float, float]]
    beyond_range: bool
    iterations: int


@dataclass
class PairResult:
    """The flow from one image to another: u, v [px] and confidence (0 to 1) as float32 arrays
    of the images' shape, and the global affine motion (a1..a6) of the flow, or None."""
    u: np.ndarray
    v: np.ndarray
    confidence: np.ndarray
    affine: Optional[Tuple[float, float, float, float, float, float]]


def pair(first, second, threads: int = 1) -> PairResult:
    """The dense flow from ``first`` to ``second`` (2-D arrays of grey levels 0..255 of the same
    shape), as orvane-flow's pairwise method measures it: the pixel (x, y) of ``first`` is
    found at (x + u, y + v) in ``second``. ``threads``: threads for the work (the result does
    not depend on it). Raises ValueError for images of different or unusable shapes. Each call
    builds the work images anew; ``PairEstimator`` keeps them for a series of pairs."""
    d = _an.pair_flow(first, second, int(threads))
    return PairResult(d["u"], d["v"], d["confidence"], d["affine"])


class PairEstimator:
    """``pair()`` for a series of pairs: the pyramid and work images are kept from one pair to
    the next of the same shape (as orvane-flow does over a video), which spares their
    allocation; the results are the same as ``pair()``'s."""

    def __init__(self, threads: int = 1):
        self._estimator = _an.PairEstimator(int(threads))

    def estimate(self, first, second) -> PairResult:
        d = self._estimator.estimate(first, second)
        return PairResult(d["u"], d["v"], d["confidence"], d["affine"])


def stream(frames: Iterable[np.ndarray], input_filter: bool = True, window: str = "gaussian:4",
           min_eigenvalue: float = 1.0, min_ratio: float = 0.01,
           reduction: int = 1, prediction_sigma: float = 0,
           dense_flow: bool = True) -> Iterator[StreamResult]:
    """Tracks the motion of a stream of 2-D grey-level frames (0..255) as orvane-flow does by
    default: each frame goes through a CoOrvane object's input stage (the 5 x 5 smoothing when
    ``input_filter``), then into the motion-compensated tracker. Yields one result per frame
    from the fifth on, each describing the frame two before the newest. With ``dense_flow``
    false only the global affine motion is measured (orvane-flow's ``--method global``) and
    each result's ``flow`` is None. A frame with NaN or infinite pixels raises ValueError naming
    it."""
    tracker = obj = None
    for index, frame in enumerate(frames):
        frame = np.ascontiguousarray(frame, dtype=np.float32)
        if frame.ndim != 2:
            raise ValueError(f"frames must be 2-dimensional, not {frame.ndim}-dimensional")
        # One NaN spreads through the smoothing and the windows and leaves the motion of
        # several frames empty, with nothing to say why.
        finite = np.isfinite(frame)
        if not finite.all():
            y, x = np.argwhere(~finite)[0]
            raise ValueError(f"frame {index} (counted from 0) has {finite.size - finite.sum()} "
                             f"pixels that are not finite numbers, the first at line {y}, column "
                             f"{x} ({frame[y, x]}); replace them (np.nan_to_num, say) first")
        if obj is None:
            lines, columns = frame.shape
            tracker = _an.Tracker(columns, lines, window, float(min_eigenvalue),
                                  float(min_ratio), True, int(reduction),
                                  float(prediction_sigma), bool(dense_flow))
            obj = _core.CoOrvane()
            # The component wants a width that is a multiple of 4: it smooths the widened frame.
            obj.columns, obj.lines = (columns + 3) // 4 * 4, lines
            obj.computation_mode = "changedetection"
            obj.timederivative_mode = "batch"
            obj.input_filter = 1 if input_filter else 0
            obj.create_orvane()
        elif frame.shape != (lines, columns):
            raise ValueError(f"frame has shape {frame.shape}, the stream's is {(lines, columns)}")
        if obj.columns != columns:
            # The width rule met as the tracker meets it (analysis/width.hpp): the last column repeated.
            frame = np.pad(frame, ((0, 0), (0, obj.columns - columns)), mode="edge")
        obj.process_data(frame)
        if tracker.push(np.ascontiguousarray(obj.Is[:, :columns])):
            r = tracker.result()
            flow = Flow(r["u"], r["v"], r["valid"], r["confidence"]) if dense_flow else None
            yield StreamResult(r["frame"], flow, r["affine"], r["beyond_range"], r["iterations"])


# ---- the main job of orvane-flow on one recording -----------------------------------------

class FlowError(RuntimeError):
    """A recording could not be measured (unreadable input, no frames, output not writable);
    the text is orvane-flow's own message."""


def analyze(path=None, out=None, *, on_frame=None, **settings):
    """Measures the motion in one recording, as ``orvane-flow PATH --out OUT`` does.

    path: a video, a folder or glob of images, or a list of image files (not empty); None
    runs the built-in test sequence whose motion is known. out: the folder to write the tool's files
    into (pictures, frames.csv, summary.json; created when missing, written all-or-nothing);
    None measures without writing any file. on_frame: called with each frame's row (a dict of
    the table's columns, None for an empty cell) as soon as the frame is measured; an exception
    it raises ends the run and is raised here. settings: the tool's options with underscores
    for the dashes, e.g. ``computation_mode="affineparams", frames=100, every=25,
    save=["Un", "Vn"], affine_fit="plain", quiet=False``.

    Returns (summary, frames): the dict of summary.json, and the per-frame table of
    frames.csv as a pandas DataFrame where pandas is installed, else as a dict of NumPy
    arrays (integer columns as int64, the others float64 with NaN for empty cells); both come
    from memory, the same as the files hold. Without ``out`` the summary lists no outputs.

    Raises TypeError for an unknown setting or a value of the wrong type, ValueError for a
    value the tool refuses, and FlowError when the recording cannot be measured. Ctrl-C ends
    the run at the next frame; the frames measured so far are written into ``out`` (summary
    "interrupted": true), then KeyboardInterrupt is raised.
    """
    if path is None:
        inputs = None
    elif isinstance(path, (str, os.PathLike)):
        inputs = os.fspath(path)
    else:
        inputs = [os.fspath(p) for p in path]
        if not inputs:
            # Most often a glob that matched nothing: measuring the built-in sequence instead
            # would pass for a result.
            raise ValueError("path is an empty list of inputs: there is no recording to "
                             "measure (None runs the built-in sequence)")
    # Ctrl-C ends the run at the next frame, as on the command line (the frames measured so
    # far are written into `out`), and then raises KeyboardInterrupt; only the main thread
    # receives it.
    main = threading.current_thread() is threading.main_thread()
    text, table = _core._analyze(inputs, None if out is None else os.fspath(out), settings,
                                 on_frame, main)
    summary = json.loads(text)
    try:
        import pandas
    except ImportError:
        return summary, table
    return summary, pandas.DataFrame(table)


def program() -> str:
    """The path of the orvane-flow program that comes with this package (orvane/bin/orvane-flow;
    pip puts it there, and the CMake build links it there in the build folder), the same
    version as the package. Raises FileNotFoundError where the package has none (a package
    installed with ``cmake --install``, which puts the program in the prefix's bin/)."""
    path = pathlib.Path(__file__).with_name("bin") / "orvane-flow"
    if not os.access(path, os.X_OK):
        raise FileNotFoundError(f"this orvane package ({path.parent.parent}) has no orvane-flow "
                                f"program ({path} is missing); install the package with pip "
                                "(README, Python) or run the orvane-flow of your build")
    return str(path)


def stabilize(path, out, **settings):
    """Writes ``out``, the recording ``path`` with its camera path smoothed (the intended motion
    kept, the shake taken out), as ``orvane-flow PATH --method align --stabilize OUT`` does:
    H.264 in colour with the input's time stamps and sound. The input is read twice, so it must
    be a file (or images, or None for the built-in sequence), not a pipe.

    settings: ``smoothing`` (the Gaussian's standard deviation over the camera path in seconds,
    default 1, or "tripod" for one path of constant velocity), ``borders`` ("crop": one zoom for
    the whole video, just enough to hide the borders, the default; "black"; "mirror"),
    ``force=True`` to replace an existing ``out``, ``folder`` to keep the run's files (pictures,
    frames.csv, summary.json) there, and any setting of analyze(); ``method`` is "align" unless
    given.

    Returns the "stabilization" dict of summary.json: the zoom, the shake in the input and the
    shake left in the output measured again (``shake_px``, ``residual_shake_px``: RMS [px] at
    the image centre and corners), what became of the sound, and the timing.

    Raises as analyze() does.
    """
    if "stabilize" in settings:
        raise TypeError("stabilize() takes the video as `out`, not as a setting")
    folder = settings.pop("folder", None)
    settings.setdefault("method", "align")
    settings["stabilize"] = os.fspath(out)
    summary, _ = analyze(path, out=folder, **settings)
    return summary["stabilization"]


def read_results(folder):
    """(summary, frames) of a folder the tool has written, as analyze() returns them."""
    folder = pathlib.Path(folder)
    summary = json.loads((folder / "summary.json").read_text(encoding="utf-8"))
    text = (folder / "frames.csv").read_text(encoding="utf-8")
    try:
        import pandas
    except ImportError:
        return summary, _table_as_arrays(text)
    return summary, pandas.read_csv(io.StringIO(text))


def _table_as_arrays(text):
    rows = list(csv.reader(io.StringIO(text)))
    header, body = rows[0], rows[1:]
    table = {}
    for k, name in enumerate(header):
        cells = [row[k] for row in body]
        try:
            table[name] = np.array([int(c) for c in cells], dtype=np.int64)
        except ValueError:
            table[name] = np.array([float(c) if c else np.nan for c in cells], dtype=np.float64)
    return table
