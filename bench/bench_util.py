"""What the Python benchmarks share: reading a clip's frames as grey levels with OpenCV, and
the processor time of the programs they run."""
import resource


def read_grey(path, frames=None):
    """Up to `frames` frames of a video (all with None) as 8-bit grey images (OpenCV's
    decoder)."""
    import cv2
    cap = cv2.VideoCapture(str(path))
    out = []
    while frames is None or len(out) < frames:
        ok, img = cap.read()
        if not ok:
            break
        out.append(cv2.cvtColor(img, cv2.COLOR_BGR2GRAY))
    return out


def children_cpu():
    """CPU seconds (user + system) of the finished child processes so far: on a shared machine
    the wall time says more about the neighbours than about the program."""
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def clip_bench_args(doc, quick_help):
    """The command line that the clip benchmarks share: --tool, --quick, --keep and --only."""
    import argparse
    ap = argparse.ArgumentParser(description=doc.split("\n")[0])
    ap.add_argument("--tool", default="build/tools/orvane-flow")
    ap.add_argument("--quick", action="store_true", help=quick_help)
    ap.add_argument("--keep", help="keep the clips and outputs in this folder")
    ap.add_argument("--only", help="run only clips whose name contains this (or any of several, "
                    "comma-separated)")
    return ap


def chosen(name, only):
    """Whether a clip of this name is run under --only."""
    return not only or any(k in name for k in only.split(","))
