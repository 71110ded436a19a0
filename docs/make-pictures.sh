#!/usr/bin/env bash
# Remakes the sample image with the project's generator, runs ppmtool on it,
# and converts the sample and its three outputs to the PNG pictures in docs/.
# The converter is deterministic, so the pictures come out the same byte for byte.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# Only root may install what is missing; anyone else is told what to install.
if ! command -v pnmtopng >/dev/null; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "$0: pnmtopng is missing: install netpbm (sudo apt-get install -y netpbm) and run again" >&2
        exit 1
    fi
    apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y netpbm
fi
cmake --preset default >/dev/null
cmake --build --preset default --target ppmtool ppmgen >/dev/null

build/default/ppmgen picture 256 160 > examples/sample.ppm

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp examples/sample.ppm "$work/sample.ppm"
(cd "$work" && printf '%s\n' sample.ppm negative.ppm coefficient.ppm permuted.ppm | "$root/build/default/ppmtool" >/dev/null)
for image in sample negative coefficient permuted; do
    pnmtopng "$work/$image.ppm" > "docs/$image.png"
done
echo "docs/sample.png docs/negative.png docs/coefficient.png docs/permuted.png"
