#!/usr/bin/python3
"""Stabilised video: orvane-flow --stabilize beside FFmpeg's vidstab and deshake, on shaky clips
whose camera motion is known.

Each clip is a real photograph (Debian's visp-images-data) filmed by a virtual camera: an
intended path (a pan, a slow curve with a slow zoom and turn, a faster and tighter one, or
standing still) plus shake (random translation, rotation and zoom on every frame, and a
low-frequency wobble of a few hertz), with textured patches moving on their own over up to a
tenth of the picture, in colour, H.264 at CRF 18 (one clip with an AAC sound track, which must
come through). Every stabiliser reads the same
file and writes H.264 (libx264, preset veryfast, CRF 18, one thread):

  orvane      orvane-flow CLIP --method align --threads 1 --stabilize OUT.mp4 (Gaussian of
              1 s, crop borders)
  orvane lean the same with --computation-mode changedetection (the component computes only
              its change images; the same video)
  vidstab     vidstabdetect + vidstabtransform with their defaults (smoothing 15: a Gaussian of
              about 5 frames)
  vidstab 1s  the same with smoothing 71 (a Gaussian of 1 s at 25 frames/s, as orvane's)
  deshake     FFmpeg's deshake with its defaults

The residual shake of a video is the RMS over its frames of the difference between its camera
path and the intended path: each output frame is registered onto the frame the intended path
alone shows (OpenCV's ECC, affine, coarse to fine, the moving patches and the borders left
out), the mean of those maps over the video (the crop's zoom and any fixed offset) is taken
out, and what is left is measured at the image centre and the four corners, in pixels of the
input. Speed is frames per CPU second of all the processes a stabiliser runs (decoding and
encoding included, everything on one thread), as getrusage counts them, the fastest of three
runs.

  /usr/bin/python3 bench/stabilize_bench.py --tool build/tools/orvane-flow [--quick] [--keep DIR]

OpenCV and the ffmpeg program are used here only, never by the tool (scripts/setup-debian.sh
installs them with ORVANE_BENCH=1).
"""
import json
import math
import os
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

from bench_util import children_cpu, chosen, clip_bench_args, read_grey

VISP = "/usr/share/visp-images-data/ViSP-images"
FPS = 25
W, H = 640, 360


def load_photo(name, scale):
    img = cv2.imread(os.path.join(VISP, name), cv2.IMREAD_COLOR)
    if img is None:
        sys.exit(f"cannot read {name} (install visp-images-data)")
    if scale != 1:
        img = cv2.resize(img, None, fx=scale, fy=scale,
                         interpolation=cv2.INTER_AREA if scale < 1 else cv2.INTER_LANCZOS4)
    return img


def similarity(centre, offset, angle, scale):
    """2x3 map q -> c + scale R(angle) (q - offset): photo point q to frame point."""
    c, s = math.cos(angle) * scale, math.sin(angle) * scale
    m = np.array([[c, -s, 0.0], [s, c, 0.0]])
    m[:, 2] = np.asarray(centre) - m[:, :2] @ np.asarray(offset)
    return m


def compose(a, b):
    """a after b, 2x3 maps."""
    a3, b3 = np.vstack([a, [0, 0, 1]]), np.vstack([b, [0, 0, 1]])
    return (a3 @ b3)[:2]


def invert(a):
    return np.linalg.inv(np.vstack([a, [0, 0, 1]]))[:2]


class Clip:
    """The intended camera (photo -> frame), the shake (frame -> frame, about the centre) and
    the moving patches, frame by frame."""

    def __init__(self, name, photo, frames, pan, curve, turn, zoom, jitter, rot_jitter,
                 zoom_jitter, wobble, patches, audio=False, seed=1):
        self.name, self.photo, self.frames = name, photo, frames
        self.audio = audio
        rng = np.random.default_rng(seed)
        h, w = photo.shape[:2]
        t = np.arange(frames) / FPS
        self.c = np.array([(W - 1) / 2.0, (H - 1) / 2.0])
        start = np.array([w / 2.0, h / 2.0]) - np.asarray(pan) * frames / 2
        # The intended path: a steady pan [px/frame], a slow curve (amplitude px, period s),
        # a steady turn [rad/frame] and zoom [per frame].
        amp, period = curve
        self.intended = []
        for f in range(frames):
            offset = start + np.asarray(pan) * f + amp * np.array(
                [math.sin(2 * math.pi * t[f] / period), math.cos(2 * math.pi * t[f] / period)])
            self.intended.append(similarity(self.c, offset, turn * f, (1 + zoom) ** f))
        # The shake: uniform jitter on every frame plus a wobble of two sines (px, Hz).
        amp_w, hz = wobble
        wob_x = amp_w * (np.sin(2 * math.pi * hz * t + 0.3) +
                         0.5 * np.sin(2 * math.pi * 1.7 * hz * t + 1.1))
        wob_y = amp_w * (np.cos(2 * math.pi * 0.8 * hz * t + 0.7) +
                         0.5 * np.sin(2 * math.pi * 2.3 * hz * t))
        self.shake = []
        for f in range(frames):
            d = rng.uniform(-jitter, jitter, 2) + [wob_x[f], wob_y[f]]
            a = rng.uniform(-rot_jitter, rot_jitter)
            s = 1 + rng.uniform(-zoom_jitter, zoom_jitter)
            self.shake.append(similarity(self.c, self.c - d / s, a, s))
        # Patches: (size, start in the intended frame, velocity px/frame, texture offset).
        self.patches = []
        for k in range(patches[0]):
            side = patches[1]
            x0, y0 = rng.uniform(40, W - 40 - side), rng.uniform(30, H - 30 - side)
            vx, vy = rng.uniform(-1.2, 1.2, 2)
            self.patches.append((side, x0, y0, vx, vy, k))
        self.texture = cv2.resize(photo[::-1, ::-1].copy(), None, fx=0.6, fy=0.6,
                                  interpolation=cv2.INTER_AREA)

    def patch_map(self, p, f):
        side, x0, y0, vx, vy, k = p
        m = np.array([[1.0, 0, x0 + vx * f - 40 - 90 * k], [0, 1.0, y0 + vy * f - 40 - 60 * k]])
        return m  # texture -> intended frame

    def render(self, f, shaken=True):
        m = compose(self.shake[f], self.intended[f]) if shaken else self.intended[f]
        frame = cv2.warpAffine(self.photo, m, (W, H), flags=cv2.INTER_LANCZOS4,
                               borderMode=cv2.BORDER_REFLECT)
        for p in self.patches:
            side = p[0]
            pm = self.patch_map(p, f)
            if shaken:
                pm = compose(self.shake[f], pm)
            patch = cv2.warpAffine(self.texture, pm, (W, H), flags=cv2.INTER_LANCZOS4)
            mask = np.zeros(self.texture.shape[:2], np.float32)
            mask[40 + 60 * p[5]:40 + 60 * p[5] + side, 40 + 90 * p[5]:40 + 90 * p[5] + side] = 1
            alpha = cv2.warpAffine(mask, pm, (W, H), flags=cv2.INTER_LINEAR)[..., None]
            frame = (frame * (1 - alpha) + patch * alpha).astype(np.float32)
        return np.clip(np.round(frame), 0, 255).astype(np.uint8)

    def patch_mask(self, f, grow=24):
        """Where the patches are in the intended frame f, grown by `grow` px: 1 to keep."""
        keep = np.ones((H, W), np.uint8)
        for p in self.patches:
            side, x0, y0, vx, vy, k = p
            x, y = int(x0 + vx * f), int(y0 + vy * f)
            keep[max(0, y - grow):max(0, y + side + grow), max(0, x - grow):max(0, x + side + grow)] = 0
        return keep

    def encode(self, path):
        cmd = ["ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "bgr24", "-s",
               f"{W}x{H}", "-r", str(FPS), "-i", "-"]
        if self.audio:
            cmd += ["-f", "lavfi", "-i", f"sine=frequency=440:duration={self.frames / FPS}",
                    "-c:a", "aac", "-shortest"]
        cmd += ["-c:v", "libx264", "-crf", "18", "-pix_fmt", "yuv420p", path]
        p = subprocess.Popen(cmd, stdin=subprocess.PIPE)
        for f in range(self.frames):
            p.stdin.write(self.render(f).tobytes())
        p.stdin.close()
        if p.wait() != 0:
            sys.exit("ffmpeg failed to encode the clip")


def ecc(template, image, mask, warp):
    """The 2x3 map W with template(x) ~ image(W x), refined from `warp`, coarse to fine."""
    criteria = (cv2.TERM_CRITERIA_EPS | cv2.TERM_CRITERIA_COUNT, 100, 1e-6)
    for level in (4, 2, 1):
        t = cv2.resize(template, None, fx=1 / level, fy=1 / level, interpolation=cv2.INTER_AREA)
        i = cv2.resize(image, None, fx=1 / level, fy=1 / level, interpolation=cv2.INTER_AREA)
        m = cv2.resize(mask, (i.shape[1], i.shape[0]), interpolation=cv2.INTER_NEAREST)
        w = warp.copy().astype(np.float32)
        w[:, 2] /= level
        try:
            _, w = cv2.findTransformECC(t.astype(np.float32), i.astype(np.float32), w,
                                        cv2.MOTION_AFFINE, criteria, m, 3)
        except cv2.error:
            return None
        warp = w.astype(np.float64)
        warp[:, 2] *= level
    return warp


def residual_shake(clip, frames, margin=0.12):
    """RMS [px of the input] at the centre and corners of each frame's map to the intended frame,
    less the mean map over the video."""
    mx, my = int(W * margin), int(H * margin)
    maps = []
    warp = np.array([[1, 0, mx], [0, 1, my]], np.float64)
    for f, out in enumerate(frames):
        ref = cv2.cvtColor(clip.render(f, shaken=False), cv2.COLOR_BGR2GRAY)
        inner = out[my:H - my, mx:W - mx]
        got = ecc(inner, ref, clip.patch_mask(f), warp)
        if got is None:
            maps.append(None)
            continue
        warp = got
        # Output pixel (x, y) -> intended pixel: got applied to (x - mx, y - my).
        full = got.copy()
        full[:, 2] -= got[:, :2] @ np.array([mx, my])
        maps.append(full)
    good = [m for m in maps if m is not None]
    mean = np.mean(good, axis=0)
    inv_mean = invert(mean)
    pts = np.array([[(W - 1) / 2, (H - 1) / 2], [0, 0], [W - 1, 0], [0, H - 1], [W - 1, H - 1]])
    centre, corners = [], []
    for m in good:
        d = compose(m, inv_mean)  # intended -> intended, the identity when steady
        moved = pts @ d[:, :2].T + d[:, 2] - pts
        err = np.hypot(moved[:, 0], moved[:, 1])
        centre.append(err[0] ** 2)
        corners.extend(err[1:] ** 2)
    return math.sqrt(np.mean(centre)), math.sqrt(np.mean(corners)), len(maps) - len(good)


def run(cmds, repeat):
    """Runs the commands one after another, `repeat` times; the least CPU seconds of a round
    (a shared machine only ever adds time) and its wall seconds."""
    best = None
    for _ in range(repeat):
        cpu0, t0 = children_cpu(), time.time()
        for cmd in cmds:
            r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            if r.returncode != 0:
                sys.exit(f"{' '.join(cmd)} failed:\n{r.stderr[-2000:]}")
        took = (children_cpu() - cpu0, time.time() - t0)
        best = took if best is None or took[0] < best[0] else best
    return best


X264 = ["-c:v", "libx264", "-preset", "veryfast", "-crf", "18", "-pix_fmt", "yuv420p",
        "-threads", "1"]


def stabilisers(tool, clip_path, work):
    trf = os.path.join(work, "transforms.trf")
    one = ["-threads", "1", "-filter_threads", "1"]
    ff = ["ffmpeg", "-v", "error", "-y"]

    def vidstab(smoothing):
        extra = f":smoothing={smoothing}" if smoothing else ""
        out = os.path.join(work, f"vidstab{smoothing or ''}.mp4")
        return out, [ff + one + ["-i", clip_path, "-vf", f"vidstabdetect=result={trf}",
                                 "-f", "null", "-"],
                     ff + one + ["-i", clip_path, "-vf",
                                 f"vidstabtransform=input={trf}{extra}"] + X264 + [out]]

    def orvane(name, *extra):
        out = os.path.join(work, name.replace(" ", "-") + ".mp4")
        return (name, out, [[tool, clip_path, "--method", "align", "--threads", "1", "--every",
                             "1000000", "--quiet", "--force", "--out",
                             os.path.join(work, name.replace(" ", "-") + "-out"),
                             "--stabilize", out, *extra]])

    deshake_out = os.path.join(work, "deshake.mp4")
    return [
        orvane("orvane"),
        # The same video; the component computes only its change images.
        orvane("orvane lean", "--computation-mode", "changedetection"),
        ("vidstab", *vidstab(None)),
        ("vidstab 1s", *vidstab(71)),
        ("deshake", deshake_out, [ff + one + ["-i", clip_path, "-vf", "deshake"] + X264 +
                                  [deshake_out]]),
    ]


def clips(quick):
    solvay = load_photo("Solvay/Solvay_conference_1927_Version2_2126x1463.png", 0.62)
    klimt = load_photo("Klimt/Klimt.ppm", 2.2)
    chateau = load_photo("mbt-depth/castel/chateau.ppm", 2.0)
    n = 75 if quick else 150
    out = [
        Clip("Solvay: pan, shake 2 px", solvay, n, pan=(1.2, 0.3), curve=(0, 8), turn=0,
             zoom=0, jitter=2, rot_jitter=0.001, zoom_jitter=0.001, wobble=(1.0, 2.0),
             patches=(0, 0), audio=True, seed=1),
        Clip("Solvay: pan, shake 8 px, 5 mrad, 0.5 %, objects 10 %", solvay, n, pan=(0.8, -0.4),
             curve=(0, 8), turn=0, zoom=0, jitter=8, rot_jitter=0.005, zoom_jitter=0.005,
             wobble=(3.0, 1.3), patches=(2, 105), seed=2),
        Clip("Klimt: walk (curve, zoom, turn), shake 4 px, objects 5 %", klimt, n,
             pan=(0.5, 0.6), curve=(25, 10), turn=0.0004, zoom=0.0008, jitter=4,
             rot_jitter=0.003, zoom_jitter=0.003, wobble=(2.0, 1.6), patches=(1, 105), seed=3),
        Clip("chateau: standing still, shake 3 px", chateau, n, pan=(0, 0), curve=(0, 8),
             turn=0, zoom=0, jitter=3, rot_jitter=0.002, zoom_jitter=0.002, wobble=(1.5, 2.5),
             patches=(0, 0), seed=4),
        # A path the smoothing was not tuned on: twice the walk's pace on a tighter curve,
        # zooming out and turning the other way.
        Clip("chateau: faster walk (tighter curve, zoom out), shake 4 px, objects 5 %",
             chateau, n, pan=(1.0, 0.3), curve=(20, 7), turn=0.0006, zoom=-0.0006, jitter=4,
             rot_jitter=0.003, zoom_jitter=0.003, wobble=(2.0, 1.4), patches=(1, 90), seed=7),
    ]
    return out[:2] if quick else out


def main():
    ap = clip_bench_args(__doc__, "two clips of 75 frames")
    ap.add_argument("--json", help="write the results here too")
    ap.add_argument("--repeat", type=int, default=3,
                    help="runs of each stabiliser, the fastest counted (default 3)")
    args = ap.parse_args()
    tool = os.path.abspath(args.tool)
    base = args.keep or tempfile.mkdtemp(prefix="stabilize-bench-")
    os.makedirs(base, exist_ok=True)
    names = ["orvane", "orvane lean", "vidstab", "vidstab 1s", "deshake"]
    results = []
    for k, clip in enumerate(c for c in clips(args.quick) if chosen(c.name, args.only)):
        work = os.path.join(base, f"clip{k}")
        os.makedirs(work, exist_ok=True)
        clip_path = os.path.join(work, "shaky.mp4")
        clip.encode(clip_path)
        row = {"clip": clip.name, "frames": clip.frames}
        row["input"] = residual_shake(clip, read_grey(clip_path, clip.frames))
        for name, out, cmds in stabilisers(tool, clip_path, work):
            cpu, wall = run(cmds, args.repeat)
            frames = read_grey(out, clip.frames)
            row[name] = residual_shake(clip, frames) + (clip.frames / cpu, len(frames))
            if name == "orvane" and clip.audio:
                probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a",
                                        "-show_entries", "stream=codec_name", "-of", "csv=p=0",
                                        out], capture_output=True, text=True).stdout.strip()
                row["orvane_audio"] = probe or "none"
        results.append(row)
        print(f"{clip.name}: input {row['input'][0]:.2f}/{row['input'][1]:.2f} px; " +
              "; ".join(f"{n} {row[n][0]:.3f}/{row[n][1]:.3f} px {row[n][3]:.0f} fps/CPU-s"
                        for n in names), flush=True)
    print()
    print("| clip | shake in the input | " + " | ".join(names) + " |")
    print("|---|---|" + "---|" * len(names))
    for row in results:
        cells = [f"{row['input'][0]:.2f} / {row['input'][1]:.2f}"]
        for n in names:
            cells.append(f"{row[n][0]:.3f} / {row[n][1]:.3f}")
        print(f"| {row['clip']} | " + " | ".join(cells) + " |")
    print("| speed [frames per CPU second] | | " +
          " | ".join(f"{np.mean([r[n][3] for r in results]):.0f}" for n in names) + " |")
    ratio = [r["orvane"][1] / r["vidstab"][1] for r in results]
    print(f"\nOrvane's residual at the corners over vidstab's (defaults): "
          + ", ".join(f"{x:.2f}" for x in ratio))
    for r in results:
        if "orvane_audio" in r:
            print(f"{r['clip']}: the stabilised video's sound: {r['orvane_audio']}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    if not args.keep:
        subprocess.run(["rm", "-rf", base])


if __name__ == "__main__":
    main()
