"""Many recordings on a Dask cluster: one task per recording, each measured by
orvane.flow.analyze on a worker, results gathered into DIR/recordings.csv and one folder per
recording (DIR/NAME, the files orvane-flow writes).

    python3 -m orvane.batch INPUTS... --out DIR [--scheduler ADDRESS] [--workers N]
                            [--resume | --force] [-s NAME=VALUE ...]

(`orvane-batch` after a pip install; Dask, distributed and pandas are its `batch` extra.)

Without --scheduler a local cluster of worker processes is started (one per core, one thread
each: one stream keeps a core busy). With it the tasks go to a running `dask-scheduler`; the
workers then read the inputs and write DIR through the same paths, so both must lie on a
shared file system mounted at the same place everywhere.

A recording that cannot be measured gives a row with status "failed" and the tool's message,
and the others go on. A worker that dies is replaced and its recording run again by Dask.
Each recording is written into a hidden folder beside its final one and renamed into place
only when complete, so DIR/NAME exists only for finished recordings; --resume skips those.
"""

import argparse
import csv
import glob
import json
import math
import os
import pathlib
import re
import shutil
import sys
import uuid

from . import _core, flow

# recordings.csv, one row per recording in the order the inputs were given.
COLUMNS = ["name", "input", "status", "frames", "duration_s", "pan_x", "pan_y", "rotation",
           "zoom", "elapsed_s", "error"]
# Status of a row: measured; measured up to damage in the input (the frames before it are
# kept, the error column says what is damaged); not measured (the error column says why).
OK, DAMAGED, FAILED = "ok", "damaged", "failed"
# Settings the batch decides itself.
RESERVED = {"force": "use the batch's own --force",
            "video": "every recording would write the same video file"}
BATCH_FILE = "batch.json"


class BatchError(Exception):
    """A batch that cannot start: a refused setting, an output folder in the way, or Dask
    missing."""


# What to install when Dask is missing: the package's `batch` extra, or Debian's packages.
MISSING_DASK = ("Dask's distributed scheduler is not installed; orvane.batch needs it: "
                "python3 -m pip install 'orvane[batch]' (Dask, distributed and pandas), or on "
                "Debian apt install python3-dask python3-distributed python3-pandas")


def _require_distributed():
    """Stops with MISSING_DASK before anything is planned or written when Dask is missing."""
    try:
        import distributed
    except ImportError:
        raise BatchError(MISSING_DASK) from None
    return distributed


def run(paths, client=None, *, out, workers=None, resume=False, force=False,
        show_progress=None, **settings):
    """Measures every recording in `paths` on a Dask cluster; returns the rows of
    recordings.csv (a pandas DataFrame where pandas is installed, else a list of dicts).

    client: a distributed.Client to submit to; None starts a local cluster of `workers`
    worker processes (default: one per core) for the duration of the call. out: the folder
    that receives recordings.csv and one folder per recording. resume: keep the recordings
    already complete in `out` and run the others. force: run every recording again,
    replacing earlier results. settings: orvane-flow's options with underscores, as for
    orvane.flow.analyze, the same for every recording. show_progress: a Dask progress bar
    (default: when standard error is a terminal).
    """
    if client is None:
        _require_distributed()
    out = pathlib.Path(out).absolute()
    jobs = _plan(paths, out)
    settings = _checked_settings(settings)
    _prepare_folder(out, [name for name, _ in jobs], settings, resume=resume, force=force)

    rows = {}
    todo = []
    for name, path in jobs:
        earlier = _complete_row(out, name, path) if resume else None
        if earlier is not None:
            rows[name] = earlier
        else:
            todo.append((name, path))
    if show_progress is None:
        show_progress = sys.stderr.isatty()
    if resume and len(todo) < len(jobs):
        print(f"orvane.batch: {len(jobs) - len(todo)} of {len(jobs)} recordings are complete "
              f"in {out}; running the other {len(todo)}", file=sys.stderr)
    if todo:
        rows.update(_run_on_cluster(todo, out, settings, client, workers, show_progress))
    ordered = [rows[name] for name, _ in jobs]
    _write_csv(out / "recordings.csv", ordered)
    try:
        import pandas
    except ImportError:
        return ordered
    return pandas.DataFrame(ordered, columns=COLUMNS)


# ---- planning ------------------------------------------------------------------------------

def _plan(paths, out):
    """(name, absolute input path) per recording. A name is the input's file name without its
    extension (for a pattern of images, such as shots/*.png or shots/f%03d.png, the name of
    its folder), made safe for a folder name; names that repeat get -2, -3, ... in input
    order, so the same inputs give the same names in a later run."""
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    jobs, used = [], set()
    for p in paths:
        path = os.path.abspath(os.fspath(p))
        parts = pathlib.PurePath(path.rstrip("/"))
        stem = parts.parent.name if re.search(r"[*?\[%]", parts.name) else parts.name
        stem = re.sub(r"\.[A-Za-z0-9]{1,5}$", "", stem) or "recording"
        stem = re.sub(r"[^A-Za-z0-9._-]", "_", stem).lstrip(".") or "recording"
        if stem == "recordings.csv" or stem == BATCH_FILE:
            stem += "-recording"
        name, k = stem, 1
        while name in used:
            k += 1
            name = f"{stem}-{k}"
        used.add(name)
        jobs.append((name, path))
    if not jobs:
        raise BatchError("no recordings given")
    return jobs


def _checked_settings(settings):
    """The settings once they have passed the tool's own checks, so that a refused value
    stops the batch before any task is submitted instead of failing every recording."""
    for name, why in RESERVED.items():
        if name in settings:
            raise BatchError(f"the setting '{name}' is not for a batch: {why}")
    settings = dict(settings)
    settings.setdefault("quiet", True)
    # One worker process per core already keeps every core busy; the tool's own pipeline of
    # threads would only make the workers compete (the results are the same either way).
    settings.setdefault("threads", 1)
    try:
        # The checks the tool makes before it reads any input, without running it.
        _core._flow_check_settings(settings)
    except (TypeError, ValueError) as e:
        raise BatchError(str(e)) from None
    return settings


def _prepare_folder(out, names, settings, *, resume, force):
    """Creates `out`, or checks that an existing one may be used; records the settings in
    batch.json so that --resume never mixes results of different settings."""
    record = out / BATCH_FILE
    earlier = None
    if record.exists():
        try:
            earlier = json.loads(record.read_text(encoding="utf-8")).get("settings")
        except (OSError, ValueError, AttributeError):
            earlier = None
    has_results = (out / "recordings.csv").exists() or record.exists() or any(
        (out / name).exists() for name in names)
    if has_results and not (resume or force):
        raise BatchError(f"the output folder '{out}' holds an earlier batch; add --resume to "
                         "run only the recordings not yet complete, or --force to run all again")
    if resume and not force and earlier is not None and earlier != _jsonable(settings):
        raise BatchError(f"the results in '{out}' were made with other settings ({earlier}); "
                         "run with the same settings to resume, or add --force")
    try:
        out.mkdir(parents=True, exist_ok=True)
        _write_atomically(record, json.dumps({"tool": "orvane-flow",
                                              "settings": _jsonable(settings)}, indent=2) + "\n")
    except OSError as e:
        raise BatchError(f"cannot use the output folder '{out}': {e.strerror or e}") from None


def _jsonable(settings):
    return json.loads(json.dumps(settings))


# ---- one recording (runs on a worker) ------------------------------------------------------

def process_recording(name, path, out, settings):
    """Measures one recording into out/NAME and returns its row. Runs on a Dask worker.

    The tool writes into a hidden folder beside the final one, which is renamed into place
    only once the run is complete; leftovers of an earlier attempt (a worker killed in the
    middle) are removed first."""
    out = pathlib.Path(out)
    final = out / name
    for leftover in glob.glob(os.path.join(glob.escape(str(out)), f".{glob.escape(name)}~*")):
        shutil.rmtree(leftover, ignore_errors=True)
    token = uuid.uuid4().hex[:12]
    partial = out / f".{name}~partial-{token}"
    try:
        flow.analyze(path, out=partial, **settings)
        if final.exists():
            # A forced re-run: the earlier results make way only now that the new ones exist.
            earlier = out / f".{name}~earlier-{token}"
            os.rename(final, earlier)
            os.rename(partial, final)
            shutil.rmtree(earlier, ignore_errors=True)
        else:
            os.rename(partial, final)
        return _row_from_folder(final, name, path)
    except (flow.FlowError, ValueError, TypeError, OSError) as e:
        shutil.rmtree(partial, ignore_errors=True)
        return _failed_row(name, path, str(e))


def _row_from_folder(folder, name, path):
    summary, frames = flow.read_results(folder)
    motion = summary.get("median_affine_motion") or {}
    damage = summary.get("input_damage")
    return {
        "name": name,
        "input": path,
        "status": DAMAGED if summary.get("input_damaged") else OK,
        "frames": summary["frames"]["processed"],
        "duration_s": _duration(frames),
        "pan_x": motion.get("pan_x"),
        "pan_y": motion.get("pan_y"),
        "rotation": motion.get("rotation"),
        "zoom": motion.get("zoom"),
        "elapsed_s": summary.get("elapsed_s"),
        "error": f"input damaged: {damage}" if damage else "",
    }


def _duration(frames):
    """The time the measured frames span in the recording [s]: their count times the mean
    frame interval; None without timestamps."""
    try:
        times = [float(t) for t in frames["time_s"]]
    except (KeyError, TypeError, ValueError):
        return None
    times = [t for t in times if math.isfinite(t)]
    if len(times) < 2 or times[-1] <= times[0]:
        return None
    return len(times) * (times[-1] - times[0]) / (len(times) - 1)


def _failed_row(name, path, error):
    row = dict.fromkeys(COLUMNS)
    row.update(name=name, input=path, status=FAILED, error=error)
    return row


def _complete_row(out, name, path):
    """The row of a recording whose results in out/NAME are complete and made from the same
    input; None when it has to run (again)."""
    folder = out / name
    try:
        summary = json.loads((folder / "summary.json").read_text(encoding="utf-8"))
        if summary.get("input") != path or not (folder / "frames.csv").is_file():
            return None
        return _row_from_folder(folder, name, path)
    except (OSError, ValueError, KeyError):
        return None


# ---- the cluster ---------------------------------------------------------------------------

def _local_cluster(workers):
    """A cluster of `workers` single-threaded worker processes on this machine, reachable from
    this machine only: the scheduler, its dashboard and the workers' status pages all listen on
    127.0.0.1 (on free ports, so that two batches never compete for one)."""
    from distributed import LocalCluster
    return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                        host="127.0.0.1", dashboard_address="127.0.0.1:0",
                        worker_dashboard_address="127.0.0.1:0")


def _run_on_cluster(todo, out, settings, client, workers, show_progress):
    distributed = _require_distributed()
    Client, as_completed = distributed.Client, distributed.as_completed

    cluster = None
    if client is None:
        cluster = _local_cluster(workers or os.cpu_count() or 1)
        client = Client(cluster)
    try:
        futures = {}
        for name, path in todo:
            # pure=False: a recording run again (--force) is a new task, not a cached result.
            future = client.submit(process_recording, name, path, str(out), settings,
                                   key=f"orvane-{name}-{uuid.uuid4().hex[:8]}", pure=False)
            futures[future] = (name, path)
        if show_progress:
            from distributed import progress
            progress(list(futures), notebook=False)
        rows = {}
        done = 0
        for future in as_completed(list(futures)):
            name, path = futures[future]
            try:
                row = future.result()
            except Exception as e:  # noqa: BLE001  (KilledWorker, a cancelled task: a row, not a stop)
                row = _failed_row(name, path, f"{type(e).__name__}: {e}")
            rows[name] = row
            done += 1
            if not show_progress:
                print(f"[{done}/{len(futures)}] {name}: {row['status']}"
                      + (f" ({row['error']})" if row["error"] else ""), file=sys.stderr)
        return rows
    finally:
        if cluster is not None:
            client.close()
            cluster.close()


# ---- files ---------------------------------------------------------------------------------

def _write_atomically(path, text):
    partial = path.with_name(f".{path.name}~{uuid.uuid4().hex[:8]}")
    partial.write_text(text, encoding="utf-8")
    os.replace(partial, path)


def _write_csv(path, rows):
    lines = []

    class Sink:
        def write(self, text):
            lines.append(text)

    writer = csv.DictWriter(Sink(), fieldnames=COLUMNS, lineterminator="\n")
    writer.writeheader()
    for row in rows:
        writer.writerow({k: ("" if row.get(k) is None else row[k]) for k in COLUMNS})
    _write_atomically(path, "".join(lines))


# ---- command line --------------------------------------------------------------------------

def _setting(text):
    """NAME=VALUE of -s: the value read as orvane-flow reads its option NAME (the kind of value
    and the rules come from the tool's one table of options)."""
    name, sep, value = text.partition("=")
    if not sep or not name:
        raise argparse.ArgumentTypeError(f"'{text}' is not NAME=VALUE")
    name = name.replace("-", "_")
    try:
        return name, _core._flow_setting_from_text(name, value)
    except (TypeError, ValueError) as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def main(argv=None, prog="python3 -m orvane.batch"):
    """The command line (python3 -m orvane.batch, or the orvane-batch command of a pip install,
    which passes its own name as `prog`); returns the exit status."""
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Measures the motion in many recordings with orvane-flow, one Dask task "
                    "per recording, and gathers one row per recording into DIR/recordings.csv.",
        epilog="Examples:\n"
               f"  {prog} clips/*.mp4 --out results\n"
               f"  {prog} clips/*.mp4 --out results --resume\n"
               f"  {prog} /shared/clips/*.mp4 --out /shared/results \\\n"
               "      --scheduler tcp://head:8786 -s computation_mode=affineparams -s every=50\n"
               "Exit status: 0 every recording measured, 1 some failed (see their rows),\n"
               "2 the batch could not start.",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("inputs", nargs="+", metavar="INPUT",
                        help="a recording: a video, or a folder or glob of images")
    parser.add_argument("--out", required=True, metavar="DIR",
                        help="folder for recordings.csv and one folder per recording")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="a running dask-scheduler (tcp://host:8786); default: a local "
                             "cluster")
    parser.add_argument("--workers", type=int, metavar="N",
                        help="worker processes of the local cluster (default: one per core)")
    again = parser.add_mutually_exclusive_group()
    again.add_argument("--resume", action="store_true",
                       help="skip the recordings whose results in DIR are complete")
    again.add_argument("--force", action="store_true",
                       help="run every recording again, replacing earlier results")
    parser.add_argument("-s", "--setting", type=_setting, action="append", default=[],
                        metavar="NAME=VALUE",
                        help="an orvane-flow option for every recording, e.g. every=25, "
                             "computation_mode=affineparams, save=Un,Vn")
    args = parser.parse_args(argv)
    if args.workers is not None and args.workers < 1:
        parser.error("--workers must be at least 1")
    if args.workers is not None and args.scheduler:
        parser.error("--workers sets the size of the local cluster; a cluster reached with "
                     "--scheduler has the workers started on it")

    client = None
    try:
        distributed = _require_distributed()
        if args.scheduler:
            Client = distributed.Client
            try:
                client = Client(args.scheduler, timeout="20s")
            except (OSError, TimeoutError) as e:
                raise BatchError(f"cannot reach the scheduler at {args.scheduler}: {e}") from None
        rows = run(args.inputs, client, out=args.out, workers=args.workers, resume=args.resume,
                   force=args.force, **dict(args.setting))
    except BatchError as e:
        print(f"orvane.batch: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("orvane.batch: interrupted; the recordings completed so far are kept "
              "(run again with --resume)", file=sys.stderr)
        return 130
    finally:
        if client is not None:
            client.close()
    rows = rows.to_dict("records") if hasattr(rows, "to_dict") else rows
    counts = {s: sum(r["status"] == s for r in rows) for s in (OK, DAMAGED, FAILED)}
    for r in rows if sys.stderr.isatty() else []:  # elsewhere each row was shown as it came
        if r["status"] != OK:
            print(f"orvane.batch: {r['name']}: {r['status']}: {r['error']}", file=sys.stderr)
    print(f"orvane.batch: {len(rows)} recordings: {counts[OK]} ok, {counts[DAMAGED]} damaged, "
          f"{counts[FAILED]} failed; rows in {os.path.join(args.out, 'recordings.csv')}")
    return 1 if counts[FAILED] else 0


if __name__ == "__main__":
    # Run as orvane.batch, not as __main__, so that the tasks name their function by a module
    # the workers can import.
    from orvane import batch as _batch
    sys.exit(_batch.main())
