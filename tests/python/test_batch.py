"""orvane.batch on a local Dask cluster of two worker processes, on tiny clips made with the
ffmpeg program: a row per recording, a damaged recording as a failed row, --resume, and a
worker killed in the middle of a recording."""

import csv
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

import orvane.flow

distributed = pytest.importorskip("distributed")
import orvane.batch  # noqa: E402  (needs Dask)

FFMPEG = shutil.which("ffmpeg")
pytestmark = pytest.mark.skipif(FFMPEG is None, reason="the ffmpeg program is not installed")


def make_clip(path, seconds, dx, dy):
    """A 64x48 H.264 clip: a window panning over FFmpeg's test picture (index first, so that
    the frames before a cut stay readable)."""
    source = f"testsrc=size=160x120:rate=25,crop=64:48:x='t*{dx}':y='t*{dy}'"
    subprocess.run([FFMPEG, "-v", "error", "-y", "-f", "lavfi", "-i", source, "-t", str(seconds),
                    "-pix_fmt", "yuv420p", "-movflags", "+faststart", str(path)], check=True)


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    folder = tmp_path_factory.mktemp("clips")
    for name, dx, dy in [("pan", 10, 0), ("fast", 30, 5), ("tilt", 0, 20)]:
        make_clip(folder / f"{name}.mp4", 1.2, dx, dy)
    make_clip(folder / "long.mp4", 16, 4, 2)
    # Noise with a video's name: an unreadable recording.
    (folder / "damaged.mp4").write_bytes(os.urandom(3000))
    # A clip cut short: the frames before the cut are measured.
    whole = (folder / "long.mp4").read_bytes()
    (folder / "cut.mp4").write_bytes(whole[:len(whole) // 2])
    return folder


def batch(*args):
    return subprocess.run([sys.executable, "-m", "orvane.batch", *map(str, args)],
                          capture_output=True, text=True, timeout=300)


def rows_of(out):
    with open(out / "recordings.csv", newline="") as f:
        return list(csv.DictReader(f))


def hidden(out):
    return sorted(p.name for p in out.iterdir() if p.name.startswith("."))


def test_cli_gives_a_row_per_recording_and_resume_runs_only_what_is_not_complete(
        clips, tmp_path):
    out = tmp_path / "results"
    inputs = [clips / "pan.mp4", clips / "damaged.mp4", clips / "fast.mp4", clips / "tilt.mp4",
              clips / "cut.mp4"]
    done = batch(*inputs, "--out", out, "--workers", 2, "-s", "every=20")
    assert done.returncode == 1, done.stderr  # one recording failed
    rows = rows_of(out)
    statuses = [("pan", "ok"), ("damaged", "failed"), ("fast", "ok"), ("tilt", "ok"),
                ("cut", "damaged")]
    assert [(r["name"], r["status"]) for r in rows] == statuses
    assert "damaged.mp4" in rows[1]["error"]
    assert rows[4]["error"].startswith("input damaged: ") and 0 < int(rows[4]["frames"]) < 400
    for row in rows[0:4:2]:
        assert row["frames"] == "30" and float(row["duration_s"]) == pytest.approx(1.2)
        assert (out / row["name"] / "summary.json").is_file()
    assert float(rows[2]["pan_x"]) < float(rows[0]["pan_x"]) < 0, "the faster pan, the larger"
    assert not (out / "damaged").exists() and hidden(out) == []

    # A worker killed while writing `tilt` leaves its hidden folder and no final one.
    shutil.rmtree(out / "tilt")
    (out / ".tilt~partial-0123456789ab").mkdir()
    (out / ".tilt~partial-0123456789ab" / "frames.csv").write_text("frame\n")
    kept = (out / "pan" / "summary.json").stat().st_mtime_ns

    refused = batch(*inputs, "--out", out, "-s", "every=20")
    assert refused.returncode == 2 and "holds an earlier batch" in refused.stderr

    # This time on a running cluster, as on several machines.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        done = batch(*inputs, "--out", out, "--scheduler", cluster.scheduler_address,
                     "-s", "every=20", "--resume")
        assert done.returncode == 1, done.stderr
        assert "3 of 5 recordings are complete" in done.stderr
        assert [(r["name"], r["status"]) for r in rows_of(out)] == statuses
        assert rows_of(out)[0] == rows[0], "a complete recording keeps its row"
        assert (out / "pan" / "summary.json").stat().st_mtime_ns == kept, "and is not run again"
        assert (out / "tilt" / "summary.json").is_file() and hidden(out) == []

        # --force runs everything again; new results replace the old ones folder by folder.
        done = batch(*inputs, "--out", out, "--scheduler", cluster.scheduler_address,
                     "-s", "every=7", "--force")
    assert done.returncode == 1, done.stderr
    assert [(r["name"], r["status"]) for r in rows_of(out)] == statuses
    assert (out / "pan" / "summary.json").stat().st_mtime_ns != kept
    assert (out / "pan" / "Is_000006.png").is_file(), "the pictures of the new settings"
    assert not (out / "pan" / "Is_000019.png").exists(), "and none of the old ones"
    assert hidden(out) == []


def test_a_worker_killed_mid_recording_is_recovered_with_the_same_results(clips, tmp_path):
    out = tmp_path / "results"
    paths = [clips / "long.mp4", clips / "pan.mp4", clips / "fast.mp4", clips / "tilt.mp4"]
    killed = []

    def kill_the_worker_on_long(client, pids):
        # As soon as `long` is being written, kill the worker process that runs it.
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and not killed:
            if out.exists() and any(".long~partial" in n for n in os.listdir(out)):
                for address, keys in client.processing().items():
                    if any("long" in str(k) for k in keys):
                        os.kill(pids[address], signal.SIGKILL)
                        killed.append(address)
            time.sleep(0.01)

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        pids = client.run(os.getpid)
        killer = threading.Thread(target=kill_the_worker_on_long, args=(client, pids))
        killer.start()
        rows = orvane.batch.run(paths, client, out=out, every=1)
        killer.join()

    assert killed, "no worker was killed while it measured `long`"
    assert list(rows["status"]) == ["ok"] * 4, list(rows["error"])
    assert hidden(out) == [], "the killed attempt's folder was cleared away"
    for path, row in zip(paths, rows.to_dict("records")):
        summary, frames = orvane.flow.analyze(path, every=1)
        got_summary, got_frames = orvane.flow.read_results(out / row["name"])
        assert got_summary["median_affine_motion"] == summary["median_affine_motion"]
        assert got_frames.drop(columns="time_ms").equals(frames.drop(columns="time_ms"))
        assert row["frames"] == summary["frames"]["processed"]


def test_the_local_cluster_listens_on_this_machine_only():
    psutil = pytest.importorskip("psutil")
    with orvane.batch._local_cluster(1):
        processes = [psutil.Process(), *psutil.Process().children(recursive=True)]
        listening = {(c.laddr.ip, c.laddr.port) for p in processes
                     for c in p.connections(kind="inet") if c.status == psutil.CONN_LISTEN}
    # The scheduler, its dashboard, the worker and its status page.
    assert len(listening) >= 4, listening
    assert {ip for ip, _ in listening} == {"127.0.0.1"}, listening
