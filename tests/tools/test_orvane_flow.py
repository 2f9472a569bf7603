"""End-to-end tests of the orvane-flow program: runs it as a user would and reads what it wrote.

The program is found through the ORVANE_FLOW environment variable (set by ctest).
"""
import csv
import json
import os
import re
import shutil
import signal
import subprocess
import time
from pathlib import Path

import numpy as np
import pytest

TOOL = os.environ.get("ORVANE_FLOW", "orvane-flow")
CSV_COLUMNS = ["frame", "time_ms", "mean_abs_It", "change_share", "mean_flow", "affine_frame",
               "a1", "a2", "a3", "a4", "a5", "a6", "time_s", "flow_frame", "valid_share",
               "median_speed", "beyond_range"]


def run(*args, cwd=None):
    return subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True, cwd=cwd,
                          timeout=120)


def read_csv(folder):
    with open(folder / "frames.csv", newline="") as f:
        reader = csv.DictReader(f)
        return reader.fieldnames, list(reader)


def read_summary(folder):
    return json.loads((folder / "summary.json").read_text())


def files_in(folder):
    return sorted(p.name for p in folder.iterdir()) if folder.exists() else []


def write_pgm(path, image, maxval=255):
    image = np.asarray(image)
    dtype = ">u2" if maxval > 255 else "u1"
    header = f"P5\n{image.shape[1]} {image.shape[0]}\n{maxval}\n".encode()
    path.write_bytes(header + image.astype(dtype).tobytes())


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    """The first 12 frames of the default sequence, every frame pictured and its raw images
    saved: the frames themselves (Is, as the input filter is off) and some results."""
    out = tmp_path_factory.mktemp("ref") / "out"
    r = run("--frames", 12, "--every", 1, "--save", "Is,Un,Ixt", "--input-filter", 0,
            "--out", out)
    assert r.returncode == 0, r.stderr
    return out


# ---- accuracy on the built-in sequence -------------------------------------------------------

@pytest.mark.parametrize("options,pan_tol,shape_tol", [
    # The defaults: the pairwise flow, the global motion from motion-compensated frames;
    # measured 0.2 % pan, 0.5 % rotation and zoom.
    ((), 0.02, 0.02),
    (("--method", "compensated"), 0.02, 0.02),
    # Batch derivatives are centred on the same frame as the spatial ones.
    (("--method", "direct"), 0.05, 0.05),
    # Frames compensated by the global motion alone.
    (("--method", "global"), 0.02, 0.02),
    # Each frame registered onto the one before.
    (("--method", "align"), 0.02, 0.02),
    # The recursive derivative averages over past frames and lags the spatial one, which
    # shortens the measured motion; measured: pan 8-12 % short, rotation and zoom 10-15 %.
    (("--method", "direct", "--timederivative-mode", "recursive", "--input-filter", 0), 0.15,
     0.20),
])
def test_default_sequence_motion_is_recovered(tmp_path, options, pan_tol, shape_tol):
    out = tmp_path / "out"
    r = run(*options, "--every", 1000, "--out", out)
    assert r.returncode == 0, r.stderr
    s = read_summary(out)
    got, known = s["median_affine_motion"], s["known_affine_motion"]
    assert s["frames"]["processed"] >= 100
    assert (s["geometry"]["columns"], s["geometry"]["lines"]) == (320, 240)
    for key, tol in [("pan_x", pan_tol), ("pan_y", pan_tol), ("rotation", shape_tol),
                     ("zoom", shape_tol)]:
        assert np.sign(got[key]) == np.sign(known[key]), key
        assert abs(got[key] - known[key]) <= tol * abs(known[key]), (key, got[key], known[key])
    # The table printed at the end shows both.
    assert "recovered" in r.stdout and "known" in r.stdout and "pan x" in r.stdout


PHOTO = Path("/usr/share/visp-images-data/ViSP-images/Solvay/"
             "Solvay_conference_1927_Version2_1280x881.png")


@pytest.mark.skipif(not PHOTO.is_file(), reason=f"{PHOTO} missing (Debian visp-images-data)")
@pytest.mark.parametrize("dx,dy,noise", [(1, 0, 6), (0, 1, 8)])
def test_a_long_noisy_pan_does_not_drift(tmp_path, dx, dy, noise):
    # 140 frames of a camera panning 1 px/frame over a photograph, with sensor noise of a few
    # grey levels: the compensated frames' prediction used to shrink frame after frame
    # (-0.98 by the end, no frame flagged). The README promises 1 %.
    raw = subprocess.run(["ffmpeg", "-loglevel", "error", "-i", str(PHOTO), "-f", "rawvideo",
                          "-pix_fmt", "gray", "-"], capture_output=True, check=True).stdout
    photo = np.frombuffer(raw, np.uint8).reshape(881, 1280).astype(np.float64)
    rng = np.random.default_rng(1)
    frames = tmp_path / "frames"
    frames.mkdir()
    for t in range(140):
        crop = photo[dy * t:dy * t + 240, dx * t:dx * t + 320]
        noisy = np.clip(crop + rng.normal(0, noise, crop.shape) + 0.5, 0, 255)
        write_pgm(frames / f"f{t:04d}.pgm", noisy.astype(np.uint8))
    r = run(frames, "--method", "compensated", "--every", 1000, "--out", tmp_path / "out")
    assert r.returncode == 0, r.stderr
    _, rows = read_csv(tmp_path / "out")
    late = [row for row in rows if row["a1"] and int(row["affine_frame"]) >= 80]
    assert len(late) >= 50 and not any(row["beyond_range"] == "1" for row in late)
    # A pure pan: a1 and a4 are the motion everywhere.
    pan = np.mean([[float(row["a1"]), float(row["a4"])] for row in late], axis=0)
    assert abs(pan[0] + dx) <= 0.01 and abs(pan[1] + dy) <= 0.01, pan


# ---- what is written -------------------------------------------------------------------------

@pytest.mark.parametrize("method,mode,pictures,has_dense,has_affine", [
    # The compensated method needs only the smoothed input, which every mode provides.
    ("compensated", "changedetection", {"Is", "It2"}, True, True),
    ("compensated", "all", {"Is", "It2"}, True, True),
    ("direct", "changedetection", {"Is", "It2"}, False, False),
    ("direct", "affineparams", {"Is"}, True, True),
    ("direct", "orvane", {"Is", "It2"}, True, False),
    ("direct", "all", {"Is", "It2"}, True, True),
    ("global", "changedetection", {"Is", "It2"}, False, True),
    # The pairwise flow of frames N and N + 1 describes frame N, with its confidence.
    ("pairwise", "changedetection", {"Is", "It2"}, True, True),
])
def test_outputs_follow_the_method_and_mode(tmp_path, method, mode, pictures, has_dense,
                                           has_affine):
    out = tmp_path / "out"
    r = run("--method", method, "--computation-mode", mode, "--frames", 23, "--every", 10,
            "--out", out)
    assert r.returncode == 0, r.stderr
    names = files_in(out)
    # Frames 9 and 19 are every tenth; frame 22 is the last and always pictured. The flow of a
    # frame is known two frames later: the last one is that of frame 20.
    expected = {f"{p}_{i:06d}.png" for p in pictures for i in (9, 19, 22)}
    # The frame the flow describes is `lag` frames back; the first comes with frame `first`.
    lag, first = (1, 1) if method == "pairwise" else (2, 4)
    if has_dense:
        expected |= {f"flow_{i:06d}.png" for i in (9, 19, 22 - lag)}
    if method == "pairwise":
        expected |= {f"confidence_{i:06d}.png" for i in (9, 19, 22 - lag)}
    expected |= {"frames.csv", "summary.json", "report.html", "chart.min.js"}
    if has_affine:
        expected.add("motion.png")
    assert set(names) == expected

    header, rows = read_csv(out)
    assert header == CSV_COLUMNS
    assert [int(r["frame"]) for r in rows] == list(range(23))
    for row in rows:
        frame = int(row["frame"])
        assert float(row["time_ms"]) >= 0
        assert 0 <= float(row["change_share"]) <= 1
        # The batch derivative is defined from the fifth frame on and describes the frame two
        # before.
        assert (row["mean_flow"] != "") == (mode in ("orvane", "all") and frame >= 4)
        assert (row["a1"] != "") == (has_affine and frame >= 4)
        if row["a1"]:
            assert int(row["affine_frame"]) == frame - 2
        # The global method measures a frame without its dense flow.
        assert (row["flow_frame"] != "") == ((has_dense or method == "global") and frame >= first)
        if row["flow_frame"] and mode != "orvane":
            assert int(row["flow_frame"]) == frame - lag
            assert (row["valid_share"] != "") == has_dense
            assert not has_dense or 0.9 <= float(row["valid_share"]) <= 1
            assert row["beyond_range"] == "0"

    s = read_summary(out)
    assert s["settings"] == {"computation_mode": mode, "timederivative_mode": "batch",
                             "input_filter": 1, "regularizer": 0.01}
    assert s["frames"]["processed"] == 23
    assert s["throughput_fps"] > 0
    assert (s["median_affine_motion"] is not None) == has_affine
    assert set(s["outputs"]) == set(names)


def test_align_gives_each_step_from_the_frame_before(tmp_path):
    out = tmp_path / "out"
    r = run("--method", "align", "--frames", 12, "--every", 10, "--out", out)
    assert r.returncode == 0, r.stderr
    header, rows = read_csv(out)
    assert header == CSV_COLUMNS
    for row in rows:
        frame = int(row["frame"])
        # The step from frame N - 1 to frame N describes frame N - 1, from the second frame on.
        assert (row["a1"] != "") == (frame >= 1), row
        if row["a1"]:
            assert int(row["affine_frame"]) == frame - 1
        assert row["flow_frame"] == "" and row["valid_share"] == "", "no dense flow"
    assert "motion.png" in files_in(out) and not any(n.startswith("flow_") for n in files_in(out))
    s = read_summary(out)
    assert s["frames"]["affine_estimates"] == 11 and s["stages"]["align"]["cpu_s"] > 0


@pytest.mark.parametrize("threads", [
    ["--threads", 1],                                  # one thread for the whole run
    ["--engine-threads", 2],                           # each frame split over two threads
    ["--threads", 1, "--engine-threads", 3],
])
def test_threads_give_the_results_of_the_pipeline(reference, tmp_path, threads):
    out = tmp_path / "one"
    r = run("--frames", 12, "--every", 1, "--save", "Is,Un,Ixt", "--input-filter", 0,
            *threads, "--out", out)
    assert r.returncode == 0, r.stderr
    compare_runs(reference, out, [f"{n}_{i:06d}.npy" for n in ("Is", "Un", "Ixt")
                                  for i in range(12)])
    for p in reference.glob("*.png"):
        assert p.read_bytes() == (out / p.name).read_bytes(), p.name


def test_a_run_reading_ixy_gives_the_results_of_one_that_does_not(reference, tmp_path):
    # A run that reads no Ixy has the component compute in mode "orvane", one image fewer;
    # mode "all", which --save Ixy keeps, must give the same bits.
    out = tmp_path / "all"
    r = run("--frames", 12, "--every", 1, "--save", "Is,Un,Ixt,Ixy", "--input-filter", 0,
            "--out", out)
    assert r.returncode == 0, r.stderr
    assert np.any(np.load(out / "Ixy_000011.npy") != 0)
    compare_runs(reference, out, [f"{n}_{i:06d}.npy" for n in ("Is", "Un", "Ixt")
                                  for i in range(12)])
    for p in reference.glob("*.png"):
        assert p.read_bytes() == (out / p.name).read_bytes(), p.name


def test_batch_estimates_skip_four_frames_and_refer_two_back(reference):
    header, rows = read_csv(reference)
    assert all(r["a1"] == "" for r in rows[:4])
    assert all(r["a1"] != "" for r in rows[4:])
    assert [int(r["affine_frame"]) for r in rows[4:]] == [int(r["frame"]) - 2 for r in rows[4:]]


def test_saved_images_are_float32_npy(reference):
    un = np.load(reference / "Un_000011.npy")
    assert un.dtype == np.float32 and un.shape == (240, 320)
    frame = np.load(reference / "Is_000011.npy")
    assert frame.dtype == np.float32 and frame.shape == (240, 320)
    # The input filter is off, so Is is the frame: whole grey levels, and the same picture.
    assert np.array_equal(frame, np.round(frame))
    assert np.any(un != 0)


# ---- other inputs give the same results --------------------------------------------------------

def compare_runs(a, b, images, skip=()):
    _, rows_a = read_csv(a)
    _, rows_b = read_csv(b)
    assert len(rows_a) == len(rows_b)
    for ra, rb in zip(rows_a, rows_b):
        for key in CSV_COLUMNS:
            if key != "time_ms" and key not in skip:
                assert ra[key] == rb[key], (key, ra["frame"])
    for name in images:
        assert np.array_equal(np.load(a / name), np.load(b / name), equal_nan=True), name


def test_png_sequence_gives_the_results_of_the_frames_from_memory(reference, tmp_path):
    folder = tmp_path / "frames"
    folder.mkdir()
    for p in sorted(reference.glob("Is_*.png")):
        shutil.copy(p, folder / p.name.replace("Is_", "shot"))
    out = tmp_path / "out"
    r = run(folder, "--every", 1, "--save", "Is,Un,Ixt", "--input-filter", 0,
            "--out", out)
    assert r.returncode == 0, r.stderr
    compare_runs(reference, out, ["Is_000011.npy", "Un_000011.npy", "Ixt_000007.npy"])
    # A glob of the same files reads them in the same (natural) order.
    out2 = tmp_path / "out2"
    r = run(str(folder / "shot*.png"), "--every", 1, "--save", "Is,Un,Ixt",
            "--input-filter", 0, "--out", out2)
    assert r.returncode == 0, r.stderr
    compare_runs(reference, out2, ["Un_000011.npy"])
    # So does the same glob expanded by a shell: the files named one by one.
    out3 = tmp_path / "out3"
    files = sorted(folder.glob("shot*.png"))
    r = run(*files, "--every", 1, "--save", "Un", "--input-filter", 0, "--out", out3)
    assert r.returncode == 0, r.stderr
    compare_runs(reference, out3, ["Un_000011.npy"])


def test_video_made_by_ffmpeg_reads_back_the_same_frames(reference, tmp_path):
    if shutil.which("ffmpeg") is None:
        pytest.skip("the ffmpeg program is not installed")
    video = tmp_path / "clip.mkv"
    made = subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-framerate", "25", "-i",
                           str(reference / "Is_%06d.png"), "-c:v", "ffv1", "-pix_fmt", "gray",
                           str(video)], capture_output=True, text=True, timeout=120)
    assert made.returncode == 0, made.stderr
    out = tmp_path / "out"
    r = run(video, "--every", 1, "--save", "Is,Un,Ixt", "--input-filter", 0,
            "--out", out)
    assert r.returncode == 0, r.stderr
    for i in range(12):
        name = f"Is_{i:06d}.npy"
        assert np.array_equal(np.load(out / name), np.load(reference / name)), name
    compare_runs(reference, out, ["Un_000011.npy", "Ixt_000009.npy"], skip=["time_s"])
    assert read_summary(out)["frames"]["processed"] == 12
    # Each row says where its frame lies in the video.
    _, rows = read_csv(out)
    assert [float(r["time_s"]) for r in rows] == pytest.approx([i / 25 for i in range(12)])


def make_video(frames, path, *codec):
    made = subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-framerate", "25", "-i",
                           str(frames / "Is_%06d.png"), *codec, str(path)],
                          capture_output=True, text=True, timeout=120)
    assert made.returncode == 0, made.stderr


@pytest.mark.parametrize("container,codec", [
    ("mkv", ["-c:v", "ffv1"]),                                   # no frame count: the duration
    ("mp4", ["-c:v", "mpeg4", "-movflags", "+faststart"]),       # an exact frame count
])
def test_truncated_video_keeps_the_frames_before_the_damage(reference, tmp_path, container,
                                                             codec):
    if shutil.which("ffmpeg") is None:
        pytest.skip("the ffmpeg program is not installed")
    whole = tmp_path / f"whole.{container}"
    make_video(reference, whole, *codec)
    cut = tmp_path / f"cut.{container}"
    data = whole.read_bytes()
    cut.write_bytes(data[:len(data) * 6 // 10])
    out = tmp_path / "out"
    r = run(cut, "--out", out, "--quiet")
    assert r.returncode == 0, r.stderr
    assert "warning: the video" in r.stderr and "before the damage are kept" in r.stderr
    assert "ffmpeg" not in r.stderr, "FFmpeg's own messages only with --verbose"
    s = read_summary(out)
    assert s["input_damaged"] is True and "truncated" in s["input_damage"]
    assert 1 <= s["frames"]["processed"] < 12
    # The whole file is not flagged; --verbose passes FFmpeg's messages on under the tool's name.
    r = run(whole, "--out", tmp_path / "whole-out", "--verbose")
    assert r.returncode == 0, r.stderr
    assert read_summary(tmp_path / "whole-out")["input_damaged"] is False
    r = run(cut, "--out", tmp_path / "cut-verbose", "--verbose")
    assert "orvane-flow: ffmpeg: " in r.stderr


def make_h264_damaged_in_the_middle(path):
    """An H.264 MP4 with 2000 random bytes inside the largest picture of its middle third: the
    packets stay whole and the decoder conceals the errors, so every frame decodes, some of
    them wrong."""
    if shutil.which("ffprobe") is None:
        pytest.skip("the ffprobe program is not installed")
    made = subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                           "testsrc2=size=320x240:rate=25", "-t", "3", "-c:v", "libx264",
                           "-b:v", "6M", "-pix_fmt", "yuv420p", str(path)],
                          capture_output=True, text=True, timeout=120)
    if made.returncode != 0:
        pytest.skip(f"ffmpeg cannot encode H.264: {made.stderr}")
    probe = subprocess.run(["ffprobe", "-loglevel", "error", "-show_entries",
                            "packet=pos,size", "-of", "json", str(path)],
                           capture_output=True, text=True, timeout=60)
    packets = json.loads(probe.stdout)["packets"]
    middle = packets[len(packets) // 3:2 * len(packets) // 3]
    largest = max(middle, key=lambda p: int(p["size"]))
    assert int(largest["size"]) > 4000, largest
    at = int(largest["pos"]) + int(largest["size"]) // 2 - 1000
    data = bytearray(path.read_bytes())
    data[at:at + 2000] = np.random.default_rng(3).integers(0, 256, 2000, np.uint8).tobytes()
    path.write_bytes(bytes(data))


def make_variable_frame_rate(path):
    """An intact MKV of 60 frames over 3.6 s: the first 30 at 12.5 frames/s, then 30 at 25."""
    made = subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                           "testsrc=size=64x48:rate=25", "-frames:v", "60", "-vf",
                           "setpts='if(lt(N,30),N*2,N+30)/25/TB'", "-fps_mode", "vfr",
                           "-c:v", "ffv1", str(path)], capture_output=True, text=True,
                          timeout=120)
    assert made.returncode == 0, made.stderr


@pytest.mark.parametrize("make,name,frames,warning", [
    (make_h264_damaged_in_the_middle, "damaged.mp4", [75],
     "frames decoded are measured, but the motion around the damage may be wrong"),
    (make_variable_frame_rate, "vfr.mkv", [60], None),
])
def test_damage_is_reported_where_there_is_some_and_only_there(tmp_path, make, name, frames,
                                                               warning):
    if shutil.which("ffmpeg") is None:
        pytest.skip("the ffmpeg program is not installed")
    make(tmp_path / name)
    out = tmp_path / "out"
    r = run(tmp_path / name, "--method", "global", "--every", 1000, "--out", out, "--quiet")
    assert r.returncode == 0, r.stderr
    s = read_summary(out)
    assert s["frames"]["processed"] in frames
    assert s["input_damaged"] is (warning is not None), s["input_damage"]
    if warning:
        assert "warning: the video" in r.stderr and warning in r.stderr
        assert warning in (out / "report.html").read_text()
    else:
        assert r.stderr == ""


@pytest.mark.parametrize("pattern", ["jpegs", "jpegs/f%03d.jpg", "jpegs/*.jpg"])
def test_jpeg_sequence_by_folder_printf_pattern_or_glob(reference, tmp_path, pattern):
    if shutil.which("ffmpeg") is None:
        pytest.skip("the ffmpeg program is not installed")
    folder = tmp_path / "jpegs"
    folder.mkdir()
    made = subprocess.run(["ffmpeg", "-loglevel", "error", "-i", str(reference / "Is_%06d.png"),
                           "-q:v", "1", "-start_number", "1", str(folder / "f%03d.jpg")],
                          capture_output=True, text=True, timeout=120)
    assert made.returncode == 0, made.stderr
    # Frames 1..9 and 10..12: the order is by number, not by name, for the glob too.
    (folder / "f010.jpg").rename(folder / "f10.jpg") if pattern == "jpegs/*.jpg" else None
    out = tmp_path / "out"
    r = run(tmp_path / pattern, "--every", 1, "--save", "Is", "--input-filter", 0, "--out", out)
    assert r.returncode == 0, r.stderr
    assert read_summary(out)["frames"]["processed"] == 12
    for i in range(12):
        got, want = np.load(out / f"Is_{i:06d}.npy"), np.load(reference / f"Is_{i:06d}.npy")
        assert np.mean(np.abs(got - want)) < 3.0, i  # JPEG at its best quality


def test_deep_images_are_scaled_and_odd_widths_cropped_once(tmp_path):
    rng = np.random.default_rng(5)
    folder = tmp_path / "deep"
    folder.mkdir()
    frames = [rng.integers(0, 65536, size=(20, 31)) for _ in range(3)]
    for i, f in enumerate(frames):
        write_pgm(folder / f"f{i}.pgm", f, maxval=65535)
    out = tmp_path / "out"
    r = run(folder, "--every", 1, "--save", "Is", "--input-filter", 0, "--out", out)
    assert r.returncode == 0, r.stderr
    assert r.stderr.count("not a multiple of 4") == 1, r.stderr
    s = read_summary(out)
    assert s["geometry"] == {"columns": 28, "lines": 20, "input_columns": 31, "cropped": True}
    got = np.load(out / "Is_000002.npy")
    np.testing.assert_allclose(got, frames[2][:, :28] * 255.0 / 65535.0, rtol=1e-6)


def test_sixteen_bit_png_reads_like_the_same_pgm(tmp_path):
    if shutil.which("ffmpeg") is None:
        pytest.skip("the ffmpeg program is not installed")
    image = (np.arange(24 * 16).reshape(16, 24) * 170).astype(np.uint16)
    raw = tmp_path / "img.raw"
    raw.write_bytes(image.astype(">u2").tobytes())
    png = tmp_path / "img.png"
    made = subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "rawvideo", "-pix_fmt",
                           "gray16be", "-s", "24x16", "-i", str(raw), "-pix_fmt", "gray16be",
                           str(png)], capture_output=True, text=True, timeout=60)
    assert made.returncode == 0, made.stderr
    out = tmp_path / "out"
    r = run(png, png, "--save", "Is", "--input-filter", 0, "--out", out)
    assert r.returncode == 0, r.stderr
    np.testing.assert_allclose(np.load(out / "Is_000001.npy"), image * 255.0 / 65535.0,
                               rtol=1e-6)


def textured(shift_x=0.0, shift_y=0.0, lines=96, columns=130):
    """A band-limited texture moved by (shift_x, shift_y), as 8-bit grey levels."""
    y, x = np.mgrid[0:lines, 0:columns].astype(np.float64)
    x, y = x - shift_x, y - shift_y
    img = (128 + 40 * np.sin(0.31 * x + 0.07 * y) + 30 * np.sin(-0.11 * x + 0.42 * y + 1)
           + 25 * np.sin(0.19 * x - 0.23 * y + 2) + 15 * np.sin(0.67 * x + 0.35 * y + 0.5))
    return np.clip(np.round(img), 0, 255)


def read_flo(path):
    data = path.read_bytes()
    assert data[:4] == b"PIEH"
    w, h = np.frombuffer(data[4:12], "<i4")
    return np.frombuffer(data[12:], "<f4").reshape(h, w, 2)


def test_an_image_pair_gives_a_dense_flow_with_its_confidence(tmp_path):
    # The README's example: two photographs, the flow from the first to the second. The width
    # (130) is not a multiple of 4: the flow still covers every column.
    first, second = tmp_path / "a.pgm", tmp_path / "b.pgm"
    write_pgm(first, textured())
    write_pgm(second, textured(3.5, -1.25))
    out = tmp_path / "out"
    r = run(first, second, "--save", "flow", "--out", out)
    assert r.returncode == 0, r.stderr
    flo = read_flo(out / "flow_000000.flo")
    assert flo.shape == (96, 130, 2) and np.all(np.abs(flo) < 1e9), "a value at every pixel"
    inner = flo[8:-8, 8:-8]
    assert np.abs(inner[..., 0] - 3.5).mean() < 0.05 and np.abs(inner[..., 1] + 1.25).mean() < 0.05
    assert np.array_equal(np.load(out / "flow_000000.npy"), flo)
    confidence = np.load(out / "confidence_000000.npy")
    assert confidence.shape == (96, 130) and 0 <= confidence.min() and confidence.max() <= 1
    # The columns whose content leaves the frame are the least confident.
    assert confidence[:, -3:].mean() < 0.5 * confidence[:, 8:-8].mean()
    for name in ["flow_000000.png", "confidence_000000.png"]:
        assert (out / name).exists(), name
    _, rows = read_csv(out)
    assert [r["flow_frame"] for r in rows] == ["", "0"]
    got = read_summary(out)["median_affine_motion"]
    assert abs(got["pan_x"] - 3.5) < 0.05 and abs(got["pan_y"] + 1.25) < 0.05


@pytest.mark.parametrize("second,beyond", [
    (textured(2, 1), "0"),
    # Another scene altogether: nothing matches.
    (np.clip(np.round(128 + 60 * np.sin(np.arange(96 * 130).reshape(96, 130) * 0.7)), 0, 255), "1"),
])
def test_a_pair_that_does_not_match_is_flagged(tmp_path, second, beyond):
    write_pgm(tmp_path / "a.pgm", textured())
    write_pgm(tmp_path / "b.pgm", second)
    r = run(tmp_path / "a.pgm", tmp_path / "b.pgm", "--out", tmp_path / "out")
    assert r.returncode == 0, r.stderr
    assert read_csv(tmp_path / "out")[1][1]["beyond_range"] == beyond
    assert ("beyond what can be measured" in r.stderr) == (beyond == "1")


def test_every_pair_of_a_short_clip_gets_its_flow(tmp_path):
    folder = tmp_path / "clip"
    folder.mkdir()
    for i in range(4):
        write_pgm(folder / f"f{i}.pgm", textured(1.5 * i, 0.5 * i))
    out = tmp_path / "out"
    r = run(folder, "--save", "flow", "--out", out)
    assert r.returncode == 0, r.stderr
    for i in range(3):
        flo = read_flo(out / f"flow_{i:06d}.flo")[8:-8, 8:-8]
        assert np.abs(flo[..., 0] - 1.5).mean() < 0.05, i
    assert not (out / "flow_000003.flo").exists(), "the last frame has no frame after it"


# ---- failures: a clear message, a non-zero exit and nothing half-written ---------------------

def make_bad_inputs(tmp):
    (tmp / "empty").mkdir()
    (tmp / "garbage.mp4").write_bytes(b"this is not a video at all" * 10)
    (tmp / "zero.png").write_bytes(b"")
    write_pgm(tmp / "zerosize.pgm", np.zeros((0, 0)))
    mixed = tmp / "mixed"
    mixed.mkdir()
    write_pgm(mixed / "a1.pgm", np.zeros((8, 8)))
    write_pgm(mixed / "a2.pgm", np.zeros((8, 12)))
    narrow = tmp / "narrow.pgm"
    write_pgm(narrow, np.zeros((8, 3)))
    # Headers that claim more than the component can take or the file holds (19 bytes).
    (tmp / "huge.pgm").write_bytes(b"P5\n65536 16384\n255\n")
    (tmp / "claims_more.pgm").write_bytes(b"P5\n4096 4096\n255\n" + bytes(100))
    (tmp / "negative.pgm").write_bytes(b"P2\n2 2\n255\n1 2 3 -4\n")
    (tmp / "loop.mp4").symlink_to("loop.mp4")
    (tmp / "dangling.mp4").symlink_to("gone.mp4")
    write_pgm(tmp / "single.pgm", np.zeros((8, 8)))


@pytest.mark.parametrize("args,code,message", [
    (["missing.mp4"], 1, "no such file"),
    (["loop.mp4"], 1, "cannot open 'loop.mp4': it is a symbolic link that loops"),
    (["zero.png", "loop.mp4"], 1, "cannot open 'loop.mp4': it is a symbolic link that loops"),
    (["dangling.mp4"], 1, "a symbolic link to 'gone.mp4', which does not exist"),
    (["garbage.mp4"], 1, "cannot read 'garbage.mp4' as a video or an image"),
    (["empty"], 1, "holds no images"),
    (["nothing*.png"], 1, "no image files match"),
    (["zero.png"], 1, "is empty (zero bytes)"),
    (["zerosize.pgm"], 1, "zero-size image"),
    (["narrow.pgm"], 1, "3 pixels wide"),
    (["mixed"], 1, "is 12x8 but the sequence is 8x8"),
    (["huge.pgm"], 1, "larger than the component can process"),
    (["claims_more.pgm"], 1, "truncated"),
    (["negative.pgm"], 1, "sample 3 is not a whole number from 0 to 255"),
    (["--frames", "5", "--start", "200"], 1, "; --start 200 passes over all of them"),
    # Motion is a change between frames: one frame measures nothing.
    (["single.pgm"], 1, "gave a single frame; motion needs at least two (an image pair, say)"),
    (["--frames", "1"], 1, "gave a single frame"),
    # Every refused option or value: status 2, the tool's name, and for a keyword the choices.
    (["--computation-mode", "Orvane"], 2,
     "--computation-mode 'Orvane': Invalid Mode (choose from changedetection, orvane, "
     "affineparams, all)"),
    (["--timederivative-mode", "fast"], 2,
     "--timederivative-mode 'fast': Invalid Mode (choose from recursive, batch)"),
    (["--affine-fit", "fancy"], 2, "robust"),
    (["--computation-mode", "affineparams", "--save", "Un"], 2,
     '--save Un: the computation mode "affineparams" does not compute Un'),
    (["--save", "Uv"], 2, "unknown image 'Uv'"),
    (["--every", "0"], 2, "--every"),
    (["--engine-threads", "0"], 2, "--engine-threads"),
    (["--engine-threads", "65"], 2, "--engine-threads"),
    (["--frames", "x"], 2, "--frames"),
    (["--input-filter", "yes"], 2, "--input-filter"),
    # The component's setting is 32 bits wide; 2^32 would reach it as 0 (smoothing off).
    (["--input-filter", "4294967296"], 2, "--input-filter"),
    (["--no-such-option"], 2, "--no-such-option"),
    (["--regularizer", "abc"], 2, "--regularizer"),
    (["--regularizer", "nan"], 2, "--regularizer: nan is not a finite number of at least 0"),
    (["--regularizer", "inf"], 2, "--regularizer: inf is not a finite number of at least 0"),
    (["--regularizer", "-1"], 2, "--regularizer: -1 is not a finite number of at least 0"),
    (["--max-speed", "-1"], 2, "--max-speed: -1 is not a finite number of at least 0"),
    (["--frames", "3", "--video", "flow.txt"], 2, "use .mp4 or .mkv"),
    (["--method", "global", "--save", "flow"], 2, "--save flow: the method \"global\""),
    (["--method", "global", "--arrows"], 2, "measures no dense flow"),
    (["--stabilize", "s.mp4", "--smoothing", "0"], 2, "--smoothing"),
    (["--stabilize", "s.mp4", "--smoothing", "steady"], 2, "nor tripod"),
    (["--stabilize", "s.mp4", "--borders", "blur"], 2, "--borders"),
    (["--borders", "black"], 2, "give --stabilize OUT.mp4 too"),
    (["--frames", "3", "--stabilize", "s.txt"], 2, "--stabilize 's.txt'"),
    (["-", "--stabilize", "s.mp4"], 2, "the standard input can be read only once"),
])
def test_failures_are_clear_and_leave_nothing_behind(tmp_path, args, code, message):
    make_bad_inputs(tmp_path)
    # An earlier run's results must survive a failed run untouched, even one that may
    # replace them.
    out = tmp_path / "out"
    out.mkdir()
    (out / "frames.csv").write_text("earlier\n")
    (out / "summary.json").write_text('{"tool": "orvane-flow", "outputs": ["frames.csv"]}')
    r = run(*args, "--out", "out", "--force", cwd=tmp_path)
    assert r.returncode == code, r.stderr
    assert r.stderr.startswith("orvane-flow: "), r.stderr
    assert message in r.stderr, r.stderr
    assert files_in(out) == ["frames.csv", "summary.json"]
    assert (out / "frames.csv").read_text() == "earlier\n"
    # A folder that did not exist before is not left behind either.
    r = run(*args, "--out", "fresh", cwd=tmp_path)
    assert r.returncode == code
    assert not (tmp_path / "fresh").exists()


def test_earlier_results_are_kept_unless_forced_and_then_replaced_whole(tmp_path):
    out = tmp_path / "out"
    assert run("--frames", 3, "--every", 1, "--out", out).returncode == 0
    first = files_in(out)
    assert "Is_000002.png" in first
    r = run("--frames", 2, "--every", 1, "--out", out)
    assert r.returncode == 1  # the output could not be used
    assert "holds earlier results" in r.stderr and "--force" in r.stderr
    assert files_in(out) == first
    r = run("--frames", 2, "--every", 1, "--out", out, "--force")
    assert r.returncode == 0, r.stderr
    # No picture of the first run is mixed in with the second.
    assert "Is_000002.png" not in files_in(out)
    assert set(files_in(out)) == set(read_summary(out)["outputs"])


@pytest.mark.parametrize("force", [False, True])
def test_a_folder_of_other_files_is_never_replaced(tmp_path, force):
    # Run in the recording's own folder: the recording, the notes and the subfolder stay.
    (tmp_path / "clip.y4m").write_bytes(y4m_frames(8))
    (tmp_path / "notes.txt").write_text("mine")
    (tmp_path / "sub").mkdir()
    before = files_in(tmp_path)
    r = run("clip.y4m", "--out", ".", *(["--force"] if force else []), cwd=tmp_path)
    assert r.returncode == 1, r.stderr
    assert "holds files that are not results of orvane-flow (clip.y4m, notes.txt, sub)" \
        in r.stderr
    assert files_in(tmp_path) == before


def test_a_video_in_the_output_folder_is_one_of_its_results(tmp_path):
    if shutil.which("ffprobe") is None:
        pytest.skip("the ffprobe program is not installed")
    out = tmp_path / "out"
    for force in ([], ["--force"]):
        r = run("--frames", 8, "--out", out, "--video", out / "flow.mp4", *force)
        assert r.returncode == 0, r.stderr
        assert set(files_in(out)) == set(read_summary(out)["outputs"]) >= {"flow.mp4"}
        assert 'href="flow.mp4"' in (out / "report.html").read_text()
    assert files_in(tmp_path) == ["out"]


def test_what_a_killed_run_left_is_removed_by_the_next(tmp_path):
    proc, fifo, out = start_on_a_pipe(tmp_path)
    proc.kill()
    proc.wait(timeout=60)
    hidden = [p for p in [*tmp_path.iterdir(), *(out.iterdir() if out.exists() else [])]
              if p.name.startswith(".")]
    assert hidden, "the killed run left nothing to clean up"
    r = run("--frames", 3, "--out", out)
    assert r.returncode == 0, r.stderr
    assert files_in(tmp_path) == ["in.y4m", "out"]
    assert set(files_in(out)) == set(read_summary(out)["outputs"])


def test_a_console_that_goes_away_does_not_stop_the_run(tmp_path):
    # As in `orvane-flow ... 2>&1 | head -1`: the reader of both outputs is gone from the start.
    read_end, write_end = os.pipe()
    os.close(read_end)
    out = tmp_path / "out"
    try:
        r = subprocess.run([TOOL, "--frames", "12", "--every", "4", "--out", str(out)],
                           stdout=write_end, stderr=write_end, timeout=120)
    finally:
        os.close(write_end)
    assert r.returncode == 0
    assert read_summary(out)["frames"]["processed"] == 12
    assert files_in(tmp_path) == ["out"]


def browser():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if shutil.which(name):
            return shutil.which(name)
    return None


@pytest.mark.parametrize("clip", ["30 frames", "image pair"])
def test_report_opens_offline_and_draws_its_chart(tmp_path, clip):
    out = tmp_path / "out"
    if clip == "image pair":
        # One global motion: a single point, which draws no line and must show as a marker.
        write_pgm(tmp_path / "a.pgm", textured())
        write_pgm(tmp_path / "b.pgm", textured(1.5, 0.5))
        r = run(tmp_path / "a.pgm", tmp_path / "b.pgm", "--out", out)
    else:
        r = run("--frames", 30, "--every", 10, "--arrows", "--out", out)
    assert r.returncode == 0, r.stderr
    page = (out / "report.html").read_text()
    # Everything the page loads sits beside it.
    for src in re.findall(r'src="([^"]+)"', page):
        assert (out / src).is_file(), src
    if clip == "30 frames":
        # The flow of frame 29 is not known yet when the input ends: 19 is the last tenth.
        assert "arrows_000019.png" in page and "motion.png" in page
    chrome = browser()
    if chrome is None:
        pytest.skip("no Chromium to open the report with")
    flags = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             f"--user-data-dir={tmp_path / 'profile'}", "--enable-logging=stderr", "--v=0"]
    shown = subprocess.run([chrome, *flags, "--dump-dom", (out / "report.html").as_uri()],
                           capture_output=True, text=True, timeout=120)
    dom = shown.stdout
    assert 'data-state="drawn"' in dom, (dom[-2000:], shown.stderr[-2000:])
    assert "data-errors" not in dom
    assert "Uncaught" not in shown.stderr, shown.stderr
    # Both charts put ink on their canvases, and some of it in the colours of the series.
    drawn = [int(n) for n in re.findall(r'data-drawn-pixels="(\d+)"', dom)]
    assert len(drawn) == 2 and min(drawn) > 2000, drawn
    series = [int(n) for n in re.findall(r'data-data-pixels="(\d+)"', dom)]
    assert len(series) == 2 and min(series) > 10, series


def test_flow_video_is_h264_side_by_side_and_all_or_nothing(tmp_path):
    if shutil.which("ffprobe") is None:
        pytest.skip("the ffprobe program is not installed")
    video = tmp_path / "flow.mp4"
    r = run("--frames", 20, "--out", tmp_path / "out", "--video", video)
    assert r.returncode == 0, r.stderr
    probe = subprocess.run(["ffprobe", "-loglevel", "error", "-count_frames", "-show_entries",
                            "stream=codec_name,width,height,nb_read_frames", "-of", "json",
                            str(video)], capture_output=True, text=True, timeout=60)
    stream = json.loads(probe.stdout)["streams"][0]
    # The input and the flow side by side (320 + 320) over a caption bar; one frame per flow.
    assert stream["codec_name"] == "h264"
    assert stream["width"] == 640 and stream["height"] > 240
    assert 10 <= int(stream["nb_read_frames"]) <= 20
    assert read_summary(tmp_path / "out")["video"] == str(video)
    before = video.read_bytes()
    # An existing video is kept unless --force; a failed run leaves neither it changed nor
    # a half-written one beside it.
    r = run("--frames", 5, "--out", tmp_path / "out2", "--video", video)
    assert r.returncode == 1 and "--force" in r.stderr
    r = run("--start", 500, "--out", tmp_path / "out3", "--video", video, "--force")
    assert r.returncode == 1
    assert video.read_bytes() == before
    assert files_in(tmp_path) == ["flow.mp4", "out"]


def test_version_and_help_exit_zero():
    r = run("--version")
    assert r.returncode == 0 and r.stdout.startswith("orvane-flow "), r
    r = run("--help")
    assert r.returncode == 0 and "Exit status" in r.stdout


def y4m_frames(count, width=16, height=16):
    header = f"YUV4MPEG2 W{width} H{height} F25:1 Ip A1:1 Cmono\n".encode()
    rng = np.random.default_rng(1)
    body = b"".join(b"FRAME\n" + rng.integers(0, 256, width * height, dtype=np.uint8).tobytes()
                    for _ in range(count))
    return header + body


def start_on_a_pipe(tmp_path, *args, ignore_sigint=False):
    """Starts the tool reading a video from a named pipe; returns once it waits on the pipe
    with its signal handling in place (its staging folder exists: beside the output folder, or
    inside one that cannot be moved)."""
    fifo = tmp_path / "in.y4m"
    os.mkfifo(fifo)
    out = tmp_path / "out"
    pre = (lambda: signal.signal(signal.SIGINT, signal.SIG_IGN)) if ignore_sigint else None
    proc = subprocess.Popen([TOOL, str(fifo), "--out", str(out), *map(str, args)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=pre)
    deadline = time.monotonic() + 60
    def staged():
        return list(tmp_path.glob(".out.orvane-flow-*")) or list(out.glob(".orvane-flow-*"))
    while not staged() and proc.poll() is None:
        assert time.monotonic() < deadline, "the tool did not start"
        time.sleep(0.02)
    return proc, fifo, out


@pytest.mark.parametrize("ignore_sigint,args,code,message", [
    # Ctrl-C while passing over --start frames: status 130, nothing written.
    (False, ["--start", 1000], 130, "interrupted before the first frame"),
    # An inherited "ignore SIGINT" (nohup, background jobs) is respected: the run goes on.
    (True, [], 0, ""),
])
def test_ctrl_c(tmp_path, ignore_sigint, args, code, message):
    proc, fifo, out = start_on_a_pipe(tmp_path, *args, ignore_sigint=ignore_sigint)
    proc.send_signal(signal.SIGINT)
    with open(fifo, "wb") as f:
        f.write(y4m_frames(8))
    _, stderr = proc.communicate(timeout=60)
    assert proc.returncode == code, stderr
    assert message in stderr
    assert out.exists() == (code == 0)
    if code == 0:
        assert read_summary(out)["frames"]["processed"] == 8


@pytest.mark.parametrize("container,code,message", [
    ("y4m", 0, ""),
    # The index of an MP4 comes at its end unless moved: a pipe cannot go back for it.
    ("mp4", 1, "cannot be read from a pipe"),
])
def test_dash_reads_a_video_from_the_standard_input(tmp_path, container, code, message):
    video = y4m_frames(8)
    if container != "y4m":
        # Larger than what a pipe's reader holds back, so that going back is not possible.
        video = y4m_frames(24, 128, 128)
        if shutil.which("ffmpeg") is None:
            pytest.skip("the ffmpeg program is not installed")
        made = subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "yuv4mpegpipe", "-i", "-",
                               "-c:v", "mpeg4", "-f", container, str(tmp_path / "v")],
                              input=video, capture_output=True, timeout=120)
        assert made.returncode == 0, made.stderr
        video = (tmp_path / "v").read_bytes()
    out = tmp_path / "out"
    r = subprocess.run([TOOL, "-", "--out", str(out), "--quiet"], input=video,
                       capture_output=True, text=False, timeout=120)
    assert r.returncode == code, r.stderr
    assert message in r.stderr.decode()
    if code == 0:
        assert read_summary(out)["frames"]["processed"] == 8
    else:
        assert not out.exists()


# One rule per option for every door: the command line, orvane.flow.analyze and orvane.batch -s
# refuse the same values with the same words, each naming the option as its caller spelled it.
@pytest.mark.parametrize("keyword,value,text,rule", [
    ("max_speed", -1.0, "-1", ": -1 is not a finite number of at least 0"),
    ("max_speed", float("nan"), "nan", ": nan is not a finite number of at least 0"),
    ("max_speed", float("inf"), "inf", ": inf is not a finite number of at least 0"),
    ("regularizer", -0.5, "-0.5", ": -0.5 is not a finite number of at least 0"),
    ("change_threshold", float("nan"), "nan", ": nan is not a finite number"),
    ("threads", -3, "-3", ": -3 is not a whole number of at least 0"),
    ("engine_threads", 65, "65", ": 65 is not a whole number from 1 to 64"),
    ("frames", 0, "0", ": 0 is not a whole number of at least 1"),
    ("every", 0, "0", ": 0 is not a whole number of at least 1"),
    ("start", -1, "-1", ": -1 is not a whole number of at least 0"),
    ("input_filter", 2**32, "4294967296",
     ": 4294967296 is not a whole number from -2147483648 to 2147483647"),
    ("method", "fast", "fast",
     " 'fast': not a choice (choose from pairwise, compensated, direct, global, align)"),
    ("affine_fit", "fancy", "fancy", " 'fancy': not a choice (choose from robust, plain)"),
    ("computation_mode", "Orvane", "Orvane",
     " 'Orvane': Invalid Mode (choose from changedetection, orvane, affineparams, all)"),
    ("window", "box:4", "box:4", ": a box window's side must be an odd whole number"),
    ("save", "Un,Uv", "Un,Uv", ": unknown image 'Uv'"),
])
def test_every_door_refuses_a_bad_value_with_the_same_rule(tmp_path, keyword, value, text, rule):
    flow = pytest.importorskip("orvane.flow")
    batch = pytest.importorskip("orvane.batch")
    flag = "--" + keyword.replace("_", "-")
    # the command line
    short = {} if keyword == "frames" else {"frames": 8}  # should a bad value pass, a short run
    r = run(flag, text, *[x for k, v in short.items() for x in ("--" + k, v)],
            "--out", tmp_path / "cli")
    assert r.returncode == 2 and f"orvane-flow: {flag}{rule}" in r.stderr, r.stderr
    assert not (tmp_path / "cli").exists()
    # orvane.flow.analyze, and orvane.batch -s NAME=TEXT (the text read as the tool reads it)
    for given in [value, batch._setting(f"{keyword}={text}")[1]]:
        with pytest.raises(ValueError) as caught:
            flow.analyze(None, tmp_path / "py", **dict(short, **{keyword: given}))
        assert str(caught.value).startswith(keyword + rule), caught.value
    assert not (tmp_path / "py").exists()


def test_every_door_takes_the_tools_options(tmp_path):
    # max_speed 0 is the default's automatic scale; method "global" and engine_threads are
    # options of the tool and so settings of the Python module.
    flow = pytest.importorskip("orvane.flow")
    batch = pytest.importorskip("orvane.batch")
    settings = dict(batch._setting(t) for t in ["max_speed=0", "method=global",
                                                 "engine_threads=2", "frames=8", "every=4"])
    assert settings == dict(max_speed=0.0, method="global", engine_threads=2, frames=8, every=4)
    summary, _ = flow.analyze(None, tmp_path / "py", **settings)
    r = run("--max-speed", 0, "--method", "global", "--engine-threads", 2, "--frames", 8,
            "--every", 4, "--out", tmp_path / "cli")
    assert r.returncode == 0, r.stderr
    cli = read_summary(tmp_path / "cli")
    assert summary["mean_affine_motion"] == cli["mean_affine_motion"]
    # An automatic scale: pictures coloured on a positive one (0 drew them blank).
    r = run("--max-speed", 0, "--frames", 8, "--every", 4, "--out", tmp_path / "auto")
    assert r.returncode == 0, r.stderr
    report = (tmp_path / "auto" / "report.html").read_text()
    scale = re.search(r"flow colour scale</th><td[^>]*>([0-9.]+) px/frame", report)
    assert scale and float(scale.group(1)) > 0


def test_help_names_every_option():
    r = run("--help")
    assert r.returncode == 0
    for option in ["--computation-mode", "--timederivative-mode", "--input-filter",
                   "--regularizer", "--frames", "--start", "--every", "--out", "--save",
                   "--threads", "--engine-threads", "--quiet"]:
        assert option in r.stdout, option


def test_python_stream_gives_the_flow_the_tool_writes(tmp_path):
    flow = pytest.importorskip("orvane.flow")
    ys, xs = np.mgrid[0:48, 0:64].astype(np.float64)
    frames = [np.round(128 + 50 * np.sin(0.3 * (xs - 1.5 * t) + 0.1 * ys)
                       * np.cos(0.25 * ys - 0.05 * (xs - 1.5 * t))) for t in range(9)]
    folder = tmp_path / "frames"
    folder.mkdir()
    for i, f in enumerate(frames):
        write_pgm(folder / f"f{i}.pgm", f)
    out = tmp_path / "out"
    r = run(folder, "--method", "compensated", "--every", 1, "--save", "flow", "--out", out)
    assert r.returncode == 0, r.stderr
    results = list(flow.stream(np.float32(f) for f in frames))
    assert [x.frame for x in results] == [2, 3, 4, 5, 6]
    _, rows = read_csv(out)
    for x in results:
        uv = np.load(out / f"flow_{x.frame:06d}.npy")
        assert uv.shape == (48, 64, 2)
        assert np.array_equal(uv[..., 0], x.flow.u) and np.array_equal(uv[..., 1], x.flow.v)
        row = rows[x.frame + 2]
        assert float(row["valid_share"]) == pytest.approx(x.flow.valid_share, abs=1e-9)
        assert float(row["a1"]) == pytest.approx(x.affine[0], rel=1e-8)  # 9 digits in the csv
        # The .flo file holds the same flow, with invalid pixels above 1e9.
        data = (out / f"flow_{x.frame:06d}.flo").read_bytes()
        assert data[:4] == b"PIEH"
        w, h = np.frombuffer(data[4:12], "<i4")
        flo = np.frombuffer(data[12:], "<f4").reshape(h, w, 2)
        assert np.array_equal(flo[x.flow.valid], uv[x.flow.valid])
        assert np.all(flo[~x.flow.valid] > 1e9)


# ---- the stabilised video ---------------------------------------------------------------------

def wave_field(rng, count, shortest, longest):
    """Plane waves (kx, ky, phase, amplitude): a band-limited texture that any affine map samples
    exactly."""
    k = 2 * np.pi / rng.uniform(shortest, longest, count)
    angle = rng.uniform(0, 2 * np.pi, count)
    return np.stack([k * np.cos(angle), k * np.sin(angle), rng.uniform(0, 2 * np.pi, count),
                     rng.uniform(0.5, 1.0, count)], axis=1)


def sample_waves(waves, tx, ty):
    out = np.zeros(tx.shape)
    for kx, ky, phase, amp in waves:
        out += amp * np.sin(kx * tx + ky * ty + phase)
    return out / np.sqrt(0.5 * np.sum(waves[:, 3] ** 2))


def shaky_clip(path, frames, pan, jitter, rotation, seed, columns=320, lines=240):
    """An H.264 clip in colour of a textured scene filmed along `pan` [px/frame] with shake: on
    every frame a random offset of up to `jitter` px and turn of up to `rotation` rad about the
    centre."""
    rng = np.random.default_rng(seed)
    luma, red, blue = (wave_field(rng, 40, 5, 40), wave_field(rng, 6, 30, 90),
                       wave_field(rng, 6, 30, 90))
    y, x = np.mgrid[0:lines, 0:columns].astype(np.float64)
    cx, cy = (columns - 1) / 2, (lines - 1) / 2
    cmd = ["ffmpeg", "-loglevel", "error", "-y", "-f", "rawvideo", "-pix_fmt", "rgb24", "-s",
           f"{columns}x{lines}", "-r", "25", "-i", "-", "-c:v", "libx264", "-crf", "12",
           "-pix_fmt", "yuv420p", str(path)]
    p = subprocess.Popen(cmd, stdin=subprocess.PIPE)
    for f in range(frames):
        dx, dy = rng.uniform(-jitter, jitter, 2)
        a = rng.uniform(-rotation, rotation)
        # Frame pixel -> scene: the shake undone about the centre, then the pan.
        px, py = x - cx - dx, y - cy - dy
        tx = np.cos(a) * px + np.sin(a) * py + cx + pan[0] * f
        ty = -np.sin(a) * px + np.cos(a) * py + cy + pan[1] * f
        grey = 128 + 40 * sample_waves(luma, tx, ty)
        r = grey + 30 * sample_waves(red, tx, ty)
        b = grey + 30 * sample_waves(blue, tx, ty)
        g = grey - 0.3 * (r - grey) - 0.1 * (b - grey)
        rgb = np.clip(np.round(np.stack([r, g, b], axis=2)), 0, 255).astype(np.uint8)
        p.stdin.write(rgb.tobytes())
    p.stdin.close()
    assert p.wait() == 0


def probe(video, entries):
    r = subprocess.run(["ffprobe", "-loglevel", "error", "-select_streams", "v", "-count_frames",
                        "-show_entries", entries, "-of", "json", str(video)],
                       capture_output=True, text=True, timeout=60)
    return json.loads(r.stdout)


@pytest.mark.parametrize("name,pan,jitter,rotation,smoothing,borders", [
    ("a still camera shaken by 4 px", (0, 0), 4.0, 0.0, "tripod", "crop"),
    ("a pan shaken by 3 px and 4 mrad", (1.0, -0.5), 3.0, 0.004, "tripod", "black"),
    ("a pan shaken by 2 px, smoothed over 1 s", (0.6, 0.3), 2.0, 0.002, "1", "mirror"),
])
def test_stabilised_video_measured_again_has_no_shake_left(tmp_path, name, pan, jitter,
                                                           rotation, smoothing, borders):
    if shutil.which("ffmpeg") is None or shutil.which("ffprobe") is None:
        pytest.skip("the ffmpeg and ffprobe programs are not installed")
    clip, steady, again = tmp_path / "shaky.mp4", tmp_path / "steady.mp4", tmp_path / "again.mp4"
    frames = 50
    shaky_clip(clip, frames, pan, jitter, rotation, seed=len(name))
    r = run(clip, "--method", "global", "--out", tmp_path / "out", "--stabilize", steady,
            "--smoothing", smoothing, "--borders", borders)
    assert r.returncode == 0, r.stderr
    first = read_summary(tmp_path / "out")["stabilization"]
    assert first["written"] and first["frames"] == frames, first
    # The shake measured in the input is about the shake put in (uniform: amplitude / sqrt(3)
    # per axis).
    assert 0.6 * jitter < first["shake_px"]["centre"] < 1.4 * jitter, (name, first)
    assert (first["zoom"] > 1.0) == (borders == "crop"), (name, first)
    # Measured again by the tool, the stabilised video holds less than 0.1 px of shake.
    r = run(steady, "--method", "global", "--out", tmp_path / "again", "--stabilize", again,
            "--smoothing", smoothing)
    assert r.returncode == 0, r.stderr
    second = read_summary(tmp_path / "again")["stabilization"]
    for where in ("centre", "corners"):
        assert second["shake_px"][where] < 0.1, (name, where, second["shake_px"])
    # H.264 in colour, every frame, at the input's frame rate.
    stream = probe(steady, "stream=codec_name,pix_fmt,width,height,avg_frame_rate,"
                           "nb_read_frames")["streams"][0]
    assert stream["codec_name"] == "h264" and stream["pix_fmt"] == "yuv420p", stream
    assert (stream["width"], stream["height"]) == (320, 240), stream
    assert stream["avg_frame_rate"] == "25/1" and int(stream["nb_read_frames"]) == frames, stream
    rgb = subprocess.run(["ffmpeg", "-loglevel", "error", "-i", str(steady), "-frames:v", "1",
                          "-f", "rawvideo", "-pix_fmt", "rgb24", "-"], capture_output=True).stdout
    rgb = np.frombuffer(rgb, np.uint8).reshape(240, 320, 3).astype(float)
    assert np.abs(rgb[..., 0] - rgb[..., 2]).mean() > 10, "the colour was lost"


def test_stabilised_video_keeps_time_stamps_and_sound(tmp_path):
    if shutil.which("ffmpeg") is None or shutil.which("ffprobe") is None:
        pytest.skip("the ffmpeg and ffprobe programs are not installed")
    # A variable frame rate (every third frame held twice as long) and an AAC sound track.
    clip, steady = tmp_path / "vfr.mkv", tmp_path / "steady.mkv"
    made = subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                           "testsrc2=size=160x120:rate=30:duration=2", "-f", "lavfi", "-i",
                           "sine=frequency=300:duration=2", "-vf",
                           "setpts='N/30/TB+floor(N/3)/30/TB'", "-c:v", "libx264", "-c:a", "aac",
                           "-shortest", str(clip)], capture_output=True, text=True)
    assert made.returncode == 0, made.stderr
    r = run(clip, "--method", "global", "--out", tmp_path / "out", "--stabilize", steady,
            "--smoothing", "0.5")
    assert r.returncode == 0, r.stderr
    assert read_summary(tmp_path / "out")["stabilization"]["audio"] == "copied (aac)"

    def times(video):
        out = subprocess.run(["ffprobe", "-loglevel", "error", "-select_streams", "v",
                              "-show_entries", "frame=pts_time", "-of", "csv=p=0", str(video)],
                             capture_output=True, text=True).stdout.split()
        t = np.array([float(v.split(",")[0]) for v in out if v.split(",")[0]])
        return t - t[0]

    np.testing.assert_allclose(times(steady), times(clip), atol=1e-3)
    sound = subprocess.run(["ffprobe", "-loglevel", "error", "-select_streams", "a",
                            "-show_entries", "stream=codec_name", "-of", "csv=p=0", str(steady)],
                           capture_output=True, text=True).stdout.strip()
    assert sound == "aac"
