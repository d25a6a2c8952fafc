#!/usr/bin/env bash
# Redraws the PNGs under resources/ from the SVG sources in this folder.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
g++ -std=c++17 -fPIC -O1 -o "$tmp/renderart" "$here/renderart.cpp" \
  $(pkg-config --cflags --libs Qt5Gui Qt5Svg)
"$tmp/renderart" "$here" "$here/.."
