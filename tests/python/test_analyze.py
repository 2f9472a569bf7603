"""orvane.flow.analyze: the main job of orvane-flow in-process gives the program's numbers and
files, and reports refused settings and unusable inputs with the program's messages."""

import os
import pathlib
import subprocess
import sys
import threading

import numpy as np
import pytest

import orvane.flow

# Timing differs from run to run; everything else must not.
TIMING = {"elapsed_s", "throughput_fps", "component_fps", "stages"}
SETTINGS = dict(frames=16, every=5, timederivative_mode="batch", save=["Un"])


def tool_program():
    path = os.environ.get("ORVANE_FLOW")
    if not path:
        pytest.skip("orvane-flow was not built (set ORVANE_FLOW)")
    return path


def test_same_files_and_numbers_as_the_program(tmp_path):
    subprocess.run([tool_program(), "--out", str(tmp_path / "tool"), "-q", "--frames", "16",
                    "--every", "5", "--timederivative-mode", "batch", "--save", "Un"],
                   check=True)
    summary, frames = orvane.flow.analyze(out=tmp_path / "module", **SETTINGS)
    want_summary, want_frames = orvane.flow.read_results(tmp_path / "tool")

    assert sorted(os.listdir(tmp_path / "module")) == sorted(os.listdir(tmp_path / "tool"))
    assert {k: v for k, v in summary.items() if k not in TIMING} == \
        {k: v for k, v in want_summary.items() if k not in TIMING}
    assert summary["median_affine_motion"] is not None
    assert list(frames.columns) == list(want_frames.columns)
    same = frames.drop(columns="time_ms").equals(want_frames.drop(columns="time_ms"))
    assert same, "frames.csv of the module differs from the program's"
    un = np.load(tmp_path / "module" / "Un_000015.npy")
    assert np.array_equal(un, np.load(tmp_path / "tool" / "Un_000015.npy"))


def test_without_pandas_the_table_is_a_dict_of_arrays(monkeypatch):
    summary, frames = orvane.flow.analyze(frames=6)
    monkeypatch.setitem(sys.modules, "pandas", None)  # import pandas now fails
    again, arrays = orvane.flow.analyze(frames=6)
    assert list(arrays) == list(frames.columns)
    assert arrays["frame"].dtype == np.int64 and list(arrays["frame"]) == list(range(6))
    for name in ["mean_abs_It", "mean_flow", "a1", "a6"]:
        assert arrays[name].dtype == np.float64
        np.testing.assert_array_equal(arrays[name], frames[name].to_numpy(), err_msg=name)
    assert np.isnan(arrays["a1"][0]), "no affine estimate on the first frame: an empty cell"


@pytest.mark.parametrize("path, settings, error, message", [
    (None, dict(every=0), ValueError, "every: 0 is not a whole number of at least 1"),
    (None, dict(start=-1), ValueError, "start: -1 is not a whole number of at least 0"),
    (None, dict(computation_mode="fast"), ValueError, "computation_mode 'fast': Invalid Mode"),
    (None, dict(save="Un,Xy"), ValueError, "save: unknown image 'Xy'"),
    (None, dict(affine_fit="fast"), ValueError,
     "affine_fit 'fast': not a choice (choose from robust, plain)"),
    (None, dict(method="fast"), ValueError,
     "method 'fast': not a choice (choose from pairwise, compensated, direct, global, align)"),
    (None, dict(window="box:4"), ValueError, "window: "),
    (None, dict(computation_mode="changedetection", save=["Un"]), ValueError,
     'save \'Un\': the computation mode "changedetection" does not compute Un'),
    (None, dict(method="global", arrows=True), ValueError,
     'arrows: the method "global" measures no dense flow'),
    (None, dict(frames=3, start=100000), orvane.flow.FlowError,
     "; start=100000 passes over all of them"),
    (None, dict(regularizer=float("nan")), ValueError, "regularizer: nan is not a finite"),
    ([], {}, ValueError, "an empty list of inputs"),
    (None, dict(frames=2.5), TypeError, "frames must be an int, not float"),
    (None, dict(quiet=1), TypeError, "quiet must be a bool, not int"),
    (None, dict(speed=3), TypeError, "unknown setting 'speed'"),
    (None, dict(smoothing=2), ValueError, "smoothing and borders shape the stabilised video"),
    (None, dict(stabilize="s.mp4", borders="blur"), ValueError,
     "borders 'blur': not a choice (choose from crop, black, mirror)"),
    (None, dict(stabilize="s.mp4", smoothing="steady"), ValueError,
     "smoothing: 'steady' is neither a positive number of seconds nor tripod"),
    (None, dict(stabilize="s.mp4", smoothing=0), ValueError,
     "smoothing: '0' is neither a positive number of seconds nor tripod"),
    ("missing.mp4", {}, orvane.flow.FlowError, "missing.mp4'"),
    ("damaged.mp4", {}, orvane.flow.FlowError, "damaged.mp4"),
])
def test_refused_settings_and_inputs_raise_with_the_programs_message(
        tmp_path, path, settings, error, message):
    if path == "damaged.mp4":
        (tmp_path / path).write_bytes(b"\0\0\0\x18ftypmp42" + bytes(range(256)) * 4)
    with pytest.raises(error) as caught:
        orvane.flow.analyze(path if not isinstance(path, str) else tmp_path / path,
                            out=tmp_path / "out", **settings)
    assert message in str(caught.value)
    assert not (tmp_path / "out").exists(), "a refused run leaves no output folder"


def test_without_out_nothing_is_written_and_each_row_comes_as_it_is_measured(tmp_path,
                                                                             monkeypatch):
    monkeypatch.chdir(tmp_path)
    rows = []
    summary, frames = orvane.flow.analyze(frames=8, every=1, on_frame=rows.append)
    assert os.listdir(tmp_path) == [], "analyze without out writes no file"
    assert summary["outputs"] == [] and summary["frames"]["processed"] == 8
    assert [r["frame"] for r in rows] == list(frames["frame"])
    last = rows[-1]
    assert last["a1"] == frames["a1"].iloc[-1] and last["time_s"] is None


def test_an_exception_in_on_frame_ends_the_run_and_is_raised(tmp_path):
    def stop(row):
        if row["frame"] == 3:
            raise KeyError("enough")

    with pytest.raises(KeyError, match="enough"):
        orvane.flow.analyze(out=tmp_path / "out", frames=20, on_frame=stop)
    assert os.listdir(tmp_path) == [], "a run ended by its callback leaves no output folder"


def test_earlier_results_are_replaced_only_when_asked_to(tmp_path):
    orvane.flow.analyze(out=tmp_path / "out", frames=3)
    with pytest.raises(orvane.flow.FlowError,
                       match="holds earlier results; choose another out or add force=True"):
        orvane.flow.analyze(out=tmp_path / "out", frames=4)
    assert orvane.flow.analyze(out=tmp_path / "out", frames=4, force=True)[0]["frames"][
        "processed"] == 4


def test_the_hosts_ctrl_c_still_works_after_a_run():
    # The program catches Ctrl-C while it writes; inside Python the interpreter keeps its own
    # handler, so a SIGINT after the run is a KeyboardInterrupt, not the end of the process.
    script = ("import os, signal, orvane.flow\n"
              "orvane.flow.analyze(frames=3)\n"
              "try:\n"
              "    os.kill(os.getpid(), signal.SIGINT)\n"
              "    signal.pause()\n"
              "except KeyboardInterrupt:\n"
              "    print('KeyboardInterrupt')\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60, env=dict(os.environ, PYTHONPATH=str(
                              pathlib.Path(orvane.flow.__file__).parents[1])))
    assert (done.returncode, done.stdout) == (0, "KeyboardInterrupt\n"), done.stderr


def test_ctrl_c_during_a_run_keeps_the_frames_so_far_then_raises_keyboard_interrupt(tmp_path):
    script = ("import json, os, signal, sys, orvane.flow\n"
              "rows = []\n"
              "def on_frame(row):\n"
              "    rows.append(row)\n"
              "    if len(rows) == 3:\n"
              "        os.kill(os.getpid(), signal.SIGINT)\n"
              "try:\n"
              "    orvane.flow.analyze(out=sys.argv[1], frames=40, threads=1, on_frame=on_frame)\n"
              "except KeyboardInterrupt as e:\n"
              "    print('KeyboardInterrupt:', e)\n"
              "summary = json.load(open(os.path.join(sys.argv[1], 'summary.json')))\n"
              "print(summary['interrupted'], summary['frames']['processed'] == len(rows))\n")
    done = subprocess.run([sys.executable, "-c", script, str(tmp_path / "out")],
                          capture_output=True, text=True, timeout=120, env=dict(
                              os.environ, PYTHONPATH=str(
                                  pathlib.Path(orvane.flow.__file__).parents[1])))
    lines = done.stdout.splitlines()
    assert done.returncode == 0 and len(lines) == 2, (done.stdout, done.stderr)
    assert lines[0].startswith("KeyboardInterrupt: interrupted after ")
    assert lines[0].endswith(f"frames; the results so far are in '{tmp_path / 'out'}'")
    assert lines[1] == "True True"


def test_two_runs_into_one_folder_never_break_each_other(tmp_path):
    out = tmp_path / "out"
    outcomes = [None, None]

    def measure(k):
        try:
            outcomes[k] = orvane.flow.analyze(out=out, frames=12, every=1, force=True)[0]
        except orvane.flow.FlowError as e:
            outcomes[k] = e

    threads = [threading.Thread(target=measure, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # One run's results, whole; a run that lost the race says why.
    assert any(isinstance(o, dict) for o in outcomes), outcomes
    for o in outcomes:
        assert isinstance(o, dict) or "changed during the run" in str(o), o
    summary, _ = orvane.flow.read_results(out)
    assert sorted(os.listdir(out)) == sorted(summary["outputs"])
    assert os.listdir(tmp_path) == ["out"]


def test_stabilize_writes_the_video_and_says_what_it_did(tmp_path):
    video = tmp_path / "steady.mp4"
    done = orvane.flow.stabilize(None, video, frames=30, smoothing="tripod", folder=tmp_path / "run")
    assert video.stat().st_size > 0
    assert done["written"] and done["frames"] == 30 and done["path"] == "tripod"
    assert done["borders"] == "crop" and done["zoom"] >= 1.0
    assert set(done["shake_px"]) == set(done["residual_shake_px"]) == {"centre", "corners"}
    summary, _ = orvane.flow.read_results(tmp_path / "run")
    assert summary["stabilization"] == done
    # The video is not replaced unless asked to.
    with pytest.raises(orvane.flow.FlowError, match="add --force"):
        orvane.flow.stabilize(None, video, frames=10)
    assert orvane.flow.stabilize(None, video, frames=10, force=True)["frames"] == 10
    with pytest.raises(TypeError, match="as `out`"):
        orvane.flow.stabilize(None, video, stabilize="other.mp4")
