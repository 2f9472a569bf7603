#!/usr/bin/python3
"""Dense-flow accuracy of orvane-flow on image pairs and clips with exact ground truth, beside
OpenCV's dense estimators.

Cases (every method gets the same grey 8-bit frames):
  real sequences with published ground truth (../shared/data/realflow, see its README):
    Middlebury RubberWhale and Venus, MPI-Sintel alley_2_clean, as the ground truth's pair
    ("/pair") and as the whole clip given ("/clip"; Venus has a pair only);
  layered scenes (bench/layered_scenes.py): photographs moving as a background and 2-4
    occluding layers, with brightness changes and noise, mean speeds 0.3 to 30 px/frame, as
    the middle pair and as the 8-frame clip around it.
The tool runs as  TOOL IMG0 IMG1 [IMG2 ...] --out DIR --force --quiet --save flow  and its
flow_NNNNNN.flo (image N -> N+1) is scored: pixels without a value count as zero flow (the
valid share is shown), a missing file as no flow. With confidence_NNNNNN.npy, "conf50" is the
error of the most confident half. OpenCV, one thread, used here only and never by the tool:
Farneback (as in flow_accuracy.py), DIS fast and medium, DeepFlow and TV-L1 (slow).

Scores: mean endpoint error (EPE, px) over the pixels with ground truth, and per region (not
occluded / occluded; background / layers, not occluded). Times per pair: CPU of the call for
OpenCV; wall and CPU of the tool's whole run (start and files included) over its pairs.

  /usr/bin/python3 bench/realflow_accuracy.py --tool build/tools/orvane-flow [--quick]
      [--only NAME,...] [--methods orvane,dis-medium,...] [--skip-slow] [--keep DIR] [--json FILE]
  /usr/bin/python3 bench/realflow_accuracy.py --selfcheck    (exit 1: synthetic truth is wrong)
"""
import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import layered_scenes  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REAL = [  # name, folder, the clip's frames, index of the ground truth's first frame, .flo
    ("RubberWhale", "middlebury/RubberWhale", [f"frame{i:02d}.png" for i in range(7, 15)], 3,
     "flow10.flo"),
    ("Venus", "middlebury/Venus", ["frame10.png", "frame11.png"], 0, "flow10.flo"),
    ("alley_2_clean", "sintel/alley_2_clean", [f"frame_{i:04d}.png" for i in range(1, 5)], 1,
     "frame_0002.flo"),
]
SLOW = {"deepflow", "tvl1"}


class Case:
    """Frames, the index p of the scored pair (frames[p] -> frames[p+1]), its ground truth,
    and region masks ("all" = every pixel with ground truth)."""

    def __init__(self, name, source, frames, p, u, v, regions):
        self.name, self.source, self.frames, self.p = name, source, frames, p
        self.u, self.v, self.regions = u, v, regions
        speed = np.hypot(u, v)[regions["all"]]
        self.speed = (float(speed.mean()), float(speed.max()))


def read_flo(path):
    """(u, v, valid) of a .flo file; ValueError when it is not one."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 12 or abs(np.frombuffer(data[:4], "<f4")[0] - 202021.25) > 1e-3:
        raise ValueError(f"{os.path.basename(path)}: not a .flo file")
    w, h = (int(x) for x in np.frombuffer(data[4:12], "<i4"))
    if w <= 0 or h <= 0 or len(data) != 12 + 8 * w * h:
        raise ValueError(f"{os.path.basename(path)}: {w}x{h} does not match its {len(data)} bytes")
    flow = np.frombuffer(data[12:], "<f4").reshape(h, w, 2)
    valid = np.isfinite(flow).all(axis=2) & (np.abs(flow) <= 1e9).all(axis=2)
    return np.where(valid, flow[..., 0], 0), np.where(valid, flow[..., 1], 0), valid


def real_cases(data):
    cases = []
    for name, folder, files, p, flo in REAL:
        folder = os.path.join(data, folder)
        frames = [cv2.imread(os.path.join(folder, f), cv2.IMREAD_GRAYSCALE) for f in files]
        if any(f is None for f in frames):
            sys.exit(f"cannot read the frames in {folder} (see --data)")
        u, v, valid = read_flo(os.path.join(folder, flo))
        masks = {}
        for which in ("occlusions", "invalid"):
            path = os.path.join(folder, which, flo.replace(".flo", ".png"))
            masks[which] = cv2.imread(path, cv2.IMREAD_GRAYSCALE) > 127 if os.path.exists(path) else None
        if masks["invalid"] is not None:
            valid &= ~masks["invalid"]
        regions = {"all": valid}
        if masks["occlusions"] is not None:
            regions.update(noc=valid & ~masks["occlusions"], occ=valid & masks["occlusions"])
        cases.append(Case(f"{name}/pair", name, frames[p:p + 2], 0, u, v, regions))
        if len(frames) > 2:
            cases.append(Case(f"{name}/clip", name, frames, p, u, v, regions))
    return cases


def synthetic_cases(scenes):
    cases = []
    for s in scenes:
        frames, p = s.frames(), (s.n - 1) // 2
        u, v, top, occ = s.truth(p)
        regions = {"all": np.ones(u.shape, bool), "noc": ~occ, "occ": occ,
                   "bg": (top == 0) & ~occ, "layers": (top > 0) & ~occ}
        cases.append(Case(f"{s.name}/pair", s.name, frames[p:p + 2], 0, u, v, regions))
        cases.append(Case(f"{s.name}/clip", s.name, frames, p, u, v, regions))
    return cases


def opencv_methods():
    """name -> f(grey0, grey1) giving an h x w x 2 flow."""
    cv2.setNumThreads(1)
    fast = cv2.DISOpticalFlow_create(cv2.DISOPTICAL_FLOW_PRESET_FAST)
    medium = cv2.DISOpticalFlow_create(cv2.DISOPTICAL_FLOW_PRESET_MEDIUM)
    m = {"farneback": lambda a, b: cv2.calcOpticalFlowFarneback(a, b, None, 0.5, 3, 15, 3, 5, 1.2, 0),
         "dis-fast": lambda a, b: fast.calc(a, b, None),
         "dis-medium": lambda a, b: medium.calc(a, b, None)}
    if hasattr(cv2, "optflow"):
        m["deepflow"] = lambda a, b: cv2.optflow.createOptFlow_DeepFlow().calc(a, b, None)
        m["tvl1"] = lambda a, b: cv2.optflow.DualTVL1OpticalFlow_create().calc(a, b, None)
    else:
        print("note: this OpenCV has no cv2.optflow: DeepFlow and TV-L1 are left out", file=sys.stderr)
    return m


def run_tool(tool, case, work):
    """The tool on the case's frames: (u, v, result) with status, valid share and times."""
    folder = os.path.join(work, case.name.replace("/", "-"))
    os.makedirs(folder, exist_ok=True)
    paths = []
    for i, img in enumerate(case.frames):
        paths.append(os.path.join(folder, f"frame_{i:02d}.png"))
        cv2.imwrite(paths[-1], img)
    out = os.path.join(folder, "out")
    shutil.rmtree(out, ignore_errors=True)  # no stale flow from an earlier run with --keep
    cmd = [tool, *paths, "--out", out, "--force", "--quiet", "--save", "flow"]
    before, t0 = resource.getrusage(resource.RUSAGE_CHILDREN), time.perf_counter()
    try:
        r = subprocess.run(cmd, capture_output=True, text=True, timeout=900)
        status = "ok" if r.returncode == 0 else \
            f"failed (exit {r.returncode}): {(r.stderr.strip().splitlines() or [''])[-1][:120]}"
    except subprocess.TimeoutExpired:
        status = "failed: no answer in 900 s"
    except OSError as e:  # the tool was removed or is being rebuilt
        status = f"failed: cannot run it ({e.strerror})"
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    pairs = len(case.frames) - 1
    res = {"status": status, "wall_ms": 1000 * wall / pairs, "cpu_ms": 1000 * cpu / pairs}
    u = v = np.zeros(case.u.shape)
    flo = os.path.join(out, f"flow_{case.p:06d}.flo")
    try:
        fu, fv, valid = read_flo(flo)
        if fu.shape != u.shape:
            raise ValueError(f"{os.path.basename(flo)}: {fu.shape[1]}x{fu.shape[0]}, the frames are "
                             f"{u.shape[1]}x{u.shape[0]}")
        u, v, res["valid"] = fu, fv, float(valid.mean())
    except FileNotFoundError:
        res["status"] = "no flow" if status == "ok" else status
    except ValueError as e:
        res["status"] = f"bad flow: {e}"
    conf_path = os.path.join(out, f"confidence_{case.p:06d}.npy")
    if "valid" in res and os.path.exists(conf_path):
        try:
            conf = np.load(conf_path)
        except (OSError, ValueError) as e:
            conf, res["confidence"] = None, f"unreadable: {e}"
        if conf is not None and conf.shape != u.shape:
            res["confidence"] = f"{conf.shape} for {u.shape} frames"
        elif conf is not None:
            m = case.regions["all"]
            err = np.hypot(u - case.u, v - case.v)[m]
            best = np.argsort(-conf[m], kind="stable")[: max(1, m.sum() // 2)]
            res["epe_conf50"] = float(err[best].mean())
    return u, v, res


def score(case, u, v):
    err = np.hypot(u - case.u, v - case.v)
    return {r: float(err[m].mean()) if m.any() else None for r, m in case.regions.items()}


def fmt(x, digits=3):
    return "-" if x is None else f"{x:.{digits}f}"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    return "\n".join(lines + ["| " + " | ".join(map(str, r)) + " |" for r in rows])


def selfcheck(scenes):
    """Frame t+1 warped back with the synthetic truth must match frame t to noise level."""
    ok = True
    for s in scenes:
        s.frames()
        for t in range(s.n - 1):
            u, v, _, _ = s.truth(t)
            rms, share = s.residual(t, u, v)
            g0, g1 = s.gain[t], s.gain[t + 1]
            expected = np.sqrt((s.noise ** 2 + 1 / 12) * (1 / g0 ** 2 + 1 / g1 ** 2))
            zero = s.residual(t, 0 * u, 0 * v)[0]
            good = rms <= 1.25 * expected
            ok &= good
            print(f"{s.name} {t}->{t + 1}: residual {rms:.2f} grey levels on {100 * share:.0f}% of the "
                  f"pixels (noise alone {expected:.2f}; with zero flow {zero:.2f}) {'ok' if good else 'WRONG'}")
    print("self-check", "passed" if ok else "FAILED")
    return ok


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--tool", default=os.path.join(ROOT, "build/tools/orvane-flow"))
    ap.add_argument("--data", default=os.path.join(ROOT, "../shared/data/realflow"))
    ap.add_argument("--quick", action="store_true", help="two small scenes and the real pairs, pairs only")
    ap.add_argument("--only", help="cases whose name contains one of these (comma-separated)")
    ap.add_argument("--methods", help="comma-separated: orvane,farneback,dis-fast,dis-medium,deepflow,tvl1")
    ap.add_argument("--skip-slow", action="store_true", help="leave out DeepFlow and TV-L1")
    ap.add_argument("--keep", help="keep frames and the tool's output in this folder")
    ap.add_argument("--json", help="write every number to this file")
    ap.add_argument("--selfcheck", action="store_true", help="check the synthetic ground truth only")
    args = ap.parse_args()
    start = time.perf_counter()

    scenes = layered_scenes.scenes(quick=args.quick)
    if args.selfcheck:
        sys.exit(0 if selfcheck(scenes) else 1)
    cases = real_cases(args.data) + synthetic_cases(scenes)
    if args.quick:
        cases = [c for c in cases if c.name.endswith("/pair")]
    if args.only:
        cases = [c for c in cases if any(k in c.name for k in args.only.split(","))]
    methods = {"orvane": None, **opencv_methods()}
    wanted = args.methods.split(",") if args.methods else list(methods)
    unknown = [m for m in wanted if m not in methods and m not in SLOW]
    if unknown:
        sys.exit(f"unknown method(s) {', '.join(unknown)}; choose from {', '.join(methods)}")
    wanted = [m for m in wanted if m in methods and not (args.skip_slow and m in SLOW)]
    if "orvane" in wanted and not (os.path.isfile(args.tool) and os.access(args.tool, os.X_OK)):
        print(f"note: no tool at {args.tool}: the orvane column is left out", file=sys.stderr)
        wanted.remove("orvane")

    with tempfile.TemporaryDirectory(prefix="orvane-realflow-") as tmp:
        results = evaluate(cases, methods, wanted, args.tool, args.keep or tmp)
    report(results, wanted)
    seconds = time.perf_counter() - start
    print(f"\n{len(results)} cases in {seconds:.0f} s (OpenCV {cv2.__version__})")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"tool": args.tool if "orvane" in wanted else None, "opencv": cv2.__version__,
                       "methods": wanted, "seconds": seconds, "cases": results}, f, indent=1)


def evaluate(cases, methods, wanted, tool, work):
    """Every wanted method on every case: a dict per case with its numbers."""
    cache, results = {}, []
    for case in cases:
        res = {"name": case.name, "size": list(case.u.shape[::-1]), "frames": len(case.frames),
               "speed_mean": case.speed[0], "speed_max": case.speed[1],
               "region_share": {r: float(m.mean()) for r, m in case.regions.items()}, "methods": {}}
        for m in wanted:
            print(f"{case.name}: {m}", file=sys.stderr, flush=True)
            if m == "orvane":
                u, v, r = run_tool(tool, case, work)
            else:  # pairwise: the clip's scored pair is the pair case's
                key = (case.source, m)
                if key not in cache:
                    a, b = case.frames[case.p], case.frames[case.p + 1]
                    t0 = time.process_time()
                    flow = methods[m](a, b)
                    cache[key] = flow, 1000 * (time.process_time() - t0)
                flow, ms = cache[key]
                u, v, r = flow[..., 0], flow[..., 1], {"status": "ok", "cpu_ms": ms}
            r["epe"] = score(case, u, v)
            res["methods"][m] = r
        results.append(res)
    return results


def report(results, wanted):
    """Markdown tables of the errors, by region and of the times, and a verdict per case."""

    def cell(r, region="all"):
        e = fmt(r["epe"][region])
        return e if r["status"] == "ok" else f"{e} ({r['status'].split(':')[0]})"

    opencv = [m for m in wanted if m != "orvane"]
    has_tool = "orvane" in wanted
    head = ["case", "size", "frames", "speed mean/max"] + wanted
    head += ["orvane valid", "orvane conf50"] if has_tool else []
    rows = []
    for r in results:
        row = [r["name"], "x".join(map(str, r["size"])), r["frames"],
               f"{r['speed_mean']:.2f}/{r['speed_max']:.1f}"] + [cell(r["methods"][m]) for m in wanted]
        if has_tool:
            o = r["methods"]["orvane"]
            row += [fmt(o.get("valid"), 2), fmt(o.get("epe_conf50"))]
        rows.append(row)
    print("## Mean endpoint error (px), all pixels with ground truth\n")
    print(table(head, rows))
    rows = [[r["name"], reg, f"{100 * r['region_share'][reg]:.1f}%"] + [cell(r["methods"][m], reg) for m in wanted]
            for r in results for reg in r["region_share"] if reg != "all"]
    print("\n## Mean endpoint error (px) by region (share of the frame's pixels)\n")
    print(table(["case", "region", "share"] + wanted, rows))
    rows = [[r["name"], "x".join(map(str, r["size"]))]
            + ([fmt(r["methods"]["orvane"]["wall_ms"], 0), fmt(r["methods"]["orvane"]["cpu_ms"], 0)]
               if has_tool else []) + [fmt(r["methods"][m]["cpu_ms"], 0) for m in opencv] for r in results]
    print("\n## Time per pair (ms; OpenCV: CPU of the call, one thread)\n")
    print(table(["case", "size"] + (["orvane wall", "orvane CPU"] if has_tool else []) + opencv, rows))
    if has_tool and "dis-medium" in wanted:
        print()
        for r in results:
            o, d = r["methods"]["orvane"], r["methods"]["dis-medium"]["epe"]["all"]
            verdict = "yes" if o["status"] == "ok" and o["epe"]["all"] <= d else "no"
            note = "" if o["status"] == "ok" else f" ({o['status']})"
            print(f"{r['name']}: orvane {fmt(o['epe']['all'])} <= DIS medium {fmt(d)}: {verdict}{note}")


if __name__ == "__main__":
    main()
