"""Layered synthetic scenes with exact optical-flow ground truth, made from real photographs.

A background photograph and 2-4 foreground layers cut from other photographs (ellipses and
polygons, hard or soft edges), each moved per frame by its own affine motion (shift, small
rotation and scale about its centre), composited in painter's order. Frames are rendered by
inverse mapping (bicubic on slightly blurred sources; OpenCV places samples to 1/32 px), then
get their own gain, offset and Gaussian noise, rounded to 8 bits.

Truth of the pair t -> t+1 at each pixel of frame t: the displacement of the point of the
top-most layer seen there; occluded where that point is hidden in frame t+1 or leaves it.

    scene = Scene("s6", (640, 480), speed=6, layers=3)
    frames = scene.frames()                   # uint8 images
    u, v, top, occluded = scene.truth(t)      # top: 0 background, k layer k

Needs numpy, cv2 (python3-opencv) and Debian's visp-images-data.
"""
import math

import cv2
import numpy as np

VISP = "/usr/share/visp-images-data/ViSP-images/"
PHOTOS = [VISP + p for p in (
    "Solvay/Solvay_conference_1927_Version2_2126x1463.png",  # people before a building
    "Klimt/Klimt.png",                                        # a painting, photographed
    "mbt-depth/castel/castel/image_0000.pgm",                 # a model castle on a desk
    "cube/image.0000.pgm",                                    # comic pages and a target
    "mire-2/image.0001.pgm",                                  # a room, a poster, a box
)]
_cache = {}


def photo(i):
    if i not in _cache:
        img = cv2.imread(PHOTOS[i], cv2.IMREAD_GRAYSCALE)
        if img is None:
            raise FileNotFoundError(f"cannot read {PHOTOS[i]} (apt-get install visp-images-data)")
        # Slightly blurred, so that bicubic sampling anywhere is close to the true image, and
        # brought to 20..220 so that the frames' gain and offset seldom clip.
        _cache[i] = 20 + cv2.GaussianBlur(img.astype(np.float32), (0, 0), 0.7) * (200 / 255)
    return _cache[i]


def similarity(centre, shift=(0, 0), angle=0.0, scale=1.0, origin=None):
    """3x3 matrix: rotate and scale about `origin` (default `centre`), then move it to centre+shift."""
    origin = centre if origin is None else origin
    c, s = scale * math.cos(angle), scale * math.sin(angle)
    m = np.array([[c, -s, 0.0], [s, c, 0.0], [0.0, 0.0, 1.0]])
    m[:2, 2] = np.add(centre, shift) - m[:2, :2] @ np.asarray(origin, float)
    return m


class Layer:
    """An image with its alpha and one pose per frame (3x3: source pixel -> frame pixel)."""

    def __init__(self, image, alpha, poses):
        self.image, self.alpha, self.poses = image, alpha, poses


def _poses(rng, frames, src_centre, mid_centre, angle0, scale0, shift, angle, zoom):
    """Poses of a layer that is at mid_centre mid-clip and moves by shift, angle and zoom per
    frame about its own centre; the shift varies a little from frame to frame."""
    mid = (frames - 1) / 2.0
    pose = similarity(np.subtract(mid_centre, np.multiply(shift, mid)), (0, 0), angle0, scale0,
                      origin=src_centre)
    poses = [pose]
    for _ in range(frames - 1):
        centre = (pose @ [*src_centre, 1.0])[:2]
        step = np.multiply(shift, rng.uniform(0.85, 1.15))
        pose = similarity(centre, step, angle, zoom) @ pose
        poses.append(pose)
    return poses


def _shape(rng, radius, soft):
    """Alpha of an ellipse or a star-shaped polygon centred in a square of side 2 radius + 16."""
    side = int(2 * radius + 16)
    canvas = np.zeros((side, side), np.uint8)
    c = side / 2.0
    if rng.random() < 0.4:
        axes = (int(radius * rng.uniform(0.6, 1.0)), int(radius * rng.uniform(0.45, 0.9)))
        cv2.ellipse(canvas, (int(c), int(c)), axes, rng.uniform(0, 180), 0, 360, 255, -1, cv2.LINE_AA)
    else:
        n = rng.integers(5, 10)
        angles = np.sort(rng.uniform(0, 2 * np.pi, n))
        r = radius * rng.uniform(0.55, 1.0, n)
        pts = np.stack([c + r * np.cos(angles), c + r * np.sin(angles)], 1)
        cv2.fillPoly(canvas, [np.round(pts * 16).astype(np.int32)], 255, cv2.LINE_AA, shift=4)
    alpha = canvas.astype(np.float32) / 255.0
    return cv2.GaussianBlur(alpha, (0, 0), 2.0) if soft else alpha


class Scene:
    """A background (photo `background`) and `layers` foreground layers at about `speed` px/frame."""

    def __init__(self, name, size, speed, layers=3, soft=True, background=0, frames=8,
                 noise=1.5, seed=0):
        self.name, self.size, self.speed, self.noise, self.seed = name, size, speed, noise, seed
        self.n = frames
        rng = np.random.default_rng(seed)
        w, h = size

        def direction():
            a = rng.uniform(0, 2 * np.pi)
            return np.array([math.cos(a), math.sin(a)])

        # Background: a large enough part of the photo for the whole clip, scaled up if needed.
        bg = photo(background)
        shift = direction() * speed * rng.uniform(0.7, 1.3)
        half_diag = math.hypot(w, h) / 2
        reach = np.abs(shift) * frames + 80
        scale0 = max(1.0, (w + reach[0]) / bg.shape[1], (h + reach[1]) / bg.shape[0])
        poses = _poses(rng, frames, (bg.shape[1] / 2, bg.shape[0] / 2), (w / 2, h / 2), 0.0, scale0,
                       shift, rng.choice([-1, 1]) * min(0.15 * speed / half_diag, 0.01),
                       1 + rng.uniform(-1, 1) * min(0.1 * speed / half_diag, 0.01))
        self.layers = [Layer(bg, None, poses)]
        others = [i for i in range(len(PHOTOS)) if i != background]
        for k in range(layers):
            src = photo(others[(seed + k) % len(others)])
            radius = min(w, h) * rng.uniform(0.18, 0.33)
            scale0 = rng.uniform(0.8, 1.25)
            alpha = _shape(rng, min(radius / scale0, min(src.shape) / 2 - 10), soft)
            side = alpha.shape[0]
            x0 = rng.integers(0, src.shape[1] - side)
            y0 = rng.integers(0, src.shape[0] - side)
            shift = direction() * speed * rng.uniform(0.6, 1.4)
            angle = rng.choice([-1, 1]) * rng.uniform(0.5, 1.0) * min(0.3 * speed / radius, 0.05)
            zoom = 1 + rng.uniform(-1, 1) * min(0.15 * speed / radius, 0.03)
            centre = (rng.uniform(0.2, 0.8) * w, rng.uniform(0.2, 0.8) * h)
            poses = _poses(rng, frames, (side / 2, side / 2), centre, rng.uniform(-0.3, 0.3), scale0,
                           shift, angle, zoom)
            self.layers.append(Layer(src[y0:y0 + side, x0:x0 + side].copy(), alpha, poses))
        self.gain = rng.uniform(0.9, 1.1, frames)
        self.offset = rng.uniform(-8, 8, frames)
        self._frames = None

    def _render(self, t):
        w, h = self.size
        top = np.zeros((h, w), np.uint8)
        mixed = np.zeros((h, w), bool)  # pixels where a layer's soft or anti-aliased edge shows
        img = None
        for k, layer in enumerate(self.layers):
            m = layer.poses[t][:2]
            colour = cv2.warpAffine(layer.image, m, (w, h), flags=cv2.INTER_CUBIC,
                                    borderMode=cv2.BORDER_REFLECT if k == 0 else cv2.BORDER_REPLICATE)
            if k == 0:
                img = colour
                continue
            a = cv2.warpAffine(layer.alpha, m, (w, h), flags=cv2.INTER_LINEAR)
            img = a * colour + (1 - a) * img
            top[a > 0.5] = k
            edge = (a > 0.02) & (a < 0.98)
            mixed = (mixed & (a < 0.98)) | edge
        noise = np.random.default_rng((self.seed, t)).normal(0, self.noise, img.shape)
        out = np.clip(np.round(self.gain[t] * img + self.offset[t] + noise), 0, 255).astype(np.uint8)
        return out, top, mixed

    def frames(self):
        if self._frames is None:
            self._frames = [self._render(t) for t in range(self.n)]
        return [f[0] for f in self._frames]

    def truth(self, t):
        """(u, v, top, occluded) of the pair t -> t+1, all at the pixels of frame t."""
        self.frames()
        w, h = self.size
        top0, top1 = self._frames[t][1], self._frames[t + 1][1]
        ys, xs = np.mgrid[0:h, 0:w].astype(np.float64)
        u, v = np.zeros((h, w), np.float32), np.zeros((h, w), np.float32)
        occluded = np.zeros((h, w), bool)
        for k, layer in enumerate(self.layers):
            f = layer.poses[t + 1] @ np.linalg.inv(layer.poses[t])
            x1 = f[0, 0] * xs + f[0, 1] * ys + f[0, 2]
            y1 = f[1, 0] * xs + f[1, 1] * ys + f[1, 2]
            here = top0 == k
            u[here], v[here] = (x1 - xs)[here], (y1 - ys)[here]
            # Still the top-most layer where the point lands in t+1 (0 outside the frame)?
            seen = cv2.remap((top1 == k).astype(np.float32), x1.astype(np.float32),
                             y1.astype(np.float32), cv2.INTER_LINEAR, borderValue=0)
            occluded |= here & (seen < 0.5)
        return u, v, top0, occluded

    def residual(self, t, u, v, margin=4):
        """RMS of frame t minus frame t+1 sampled at x + (u, v), both with their gain and offset
        undone, over pixels not occluded, away from layer edges in both frames and from the
        border: at noise level when (u, v) is the ground truth."""
        self.frames()
        (f0, _, mixed0), (f1, _, mixed1) = self._frames[t], self._frames[t + 1]
        h, w = f0.shape
        ys, xs = np.mgrid[0:h, 0:w].astype(np.float32)
        x1, y1 = xs + u, ys + v
        back = cv2.remap(f1.astype(np.float32), x1, y1, cv2.INTER_CUBIC, borderMode=cv2.BORDER_REPLICATE)
        edge1 = cv2.dilate(mixed1.astype(np.uint8), np.ones((3, 3), np.uint8))
        edge1 = cv2.remap(edge1, x1, y1, cv2.INTER_NEAREST, borderValue=1) > 0
        keep = ~self.truth(t)[3] & ~mixed0 & ~edge1
        keep &= (x1 >= margin) & (x1 < w - margin) & (y1 >= margin) & (y1 < h - margin)
        keep[:margin], keep[-margin:], keep[:, :margin], keep[:, -margin:] = False, False, False, False
        d = (f0 - self.offset[t]) / self.gain[t] - (back - self.offset[t + 1]) / self.gain[t + 1]
        return float(np.sqrt(np.mean(d[keep] ** 2))), float(keep.mean())


def scenes(quick=False, frames=8):
    """The benchmark's scenes: mean speeds from about 0.3 to 30 px/frame, two sizes; --quick
    keeps two small ones (the same scenes)."""
    specs = [  # name, size, speed, layers, soft edges, background photo
        ("s0.3-640", (640, 480), 0.3, 3, True, 0),
        ("s2-512", (512, 384), 2, 2, True, 0),
        ("s6-640", (640, 480), 6, 4, False, 2),
        ("s6-512", (512, 384), 6, 3, True, 1),
        ("s15-512", (512, 384), 15, 3, False, 2),
        ("s30-640", (640, 480), 30, 3, True, 0),
    ]
    return [Scene(n, size, s, layers=k, soft=soft, background=b, frames=frames, seed=10 + i)
            for i, (n, size, s, k, soft, b) in enumerate(specs)
            if not quick or n in ("s2-512", "s15-512")]
