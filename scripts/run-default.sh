#!/usr/bin/env bash
# The main job on a fresh Debian 12 machine: installs what is missing, builds Orvane (the same
# build/ folder the test command uses), and runs orvane-flow on its built-in default sequence:
# a textured background under a known pan, rotation and zoom, crossed by a textured disc.
# The pictures, frames.csv and summary.json land in orvane-out/; the recovered global motion
# is printed beside the known one (the results of an earlier run there are replaced). Extra
# arguments go to orvane-flow (try --help).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-debian.sh --main

echo "== building"
cmake -S . -B build -DORVANE_WERROR=ON
cmake --build build -j"$(nproc)"

echo "== measuring the motion in the built-in sequence"
# The tool's defaults measure best (motion-compensated dense flow, batch time rule, input
# filter on); orvane-flow --help says why.
build/tools/orvane-flow --out orvane-out --force \
    --arrows --video orvane-out/flow.mp4 "$@"

echo
echo "Results are in $PWD/orvane-out/:"
echo "  report.html  open it in a browser: settings, motion, timing, chart and pictures"
echo "  motion.png   pan, rotation and zoom against the frame number"
echo "  flow.mp4     the input and the flow side by side (H.264)"
echo "  flow_*.png   direction of motion as hue, speed as saturation (labelled wheel on the right)"
echo "  arrows_*.png the flow as arrows on the input"
echo "  It2_*.png    where the image changes (heat map with its colour bar)"
echo "  Is_*.png     the input frames"
echo "Numbers: orvane-out/frames.csv (per frame) and orvane-out/summary.json."
