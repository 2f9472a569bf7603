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
# Batch derivatives are centred on the frame whose spatial derivatives they meet, which
# recovers the known motion closest; the component's default, recursive, lags by a frame.
build/tools/orvane-flow --timederivative-mode batch --out orvane-out --force "$@"

echo
echo "Pictures are in $PWD/orvane-out/:"
echo "  flow_*.png  direction of motion as colour (wheel on the right), speed as brightness"
echo "  It2_*.png   where the image changes (heat map)"
echo "  Is_*.png    the input frames"
echo "Numbers: orvane-out/frames.csv (per frame) and orvane-out/summary.json."
