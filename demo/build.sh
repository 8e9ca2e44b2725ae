#!/bin/sh
# Rebuilds the demo cartridge from its source with ca65/ld65 (package cc65).
# Usage: demo/build.sh [OUTPUT]   (default: demo/demo.nes next to this script)
# The result depends only on the source files, so a rebuild is byte-identical
# to the committed demo.nes.
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
out="${1:-$here/demo.nes}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
ca65 -I "$here" -o "$work/demo.o" "$here/demo.s"
ld65 -C "$here/nrom.cfg" -o "$work/demo.nes" "$work/demo.o"
mv "$work/demo.nes" "$out"
echo "built $out ($(wc -c < "$out") bytes)"
