#!/usr/bin/env bash
# Where oska-render's time goes, per gallery scene: perf samples grouped by
# the file the code lives in, and the maths library's by who calls it.
# "renderer and the rest" is everything outside Embree, the shader library
# (with the powers it raises), the image library and the dynamic loader
# (oska-render's own code, the host core, the C and C++ runtimes, the
# kernel); the loader's share is the start-up of the image library's many
# dependencies, a fixed cost that a longer render makes small.
# Usage: bench/profile_share.sh [BUILD_DIR] [oska-render options...]
#   (default: build/linux, --threads 1 --spp 16; the scene's size)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/linux}"
shift || true
extra=("$@")
[ ${#extra[@]} -gt 0 ] || extra=(--threads 1 --spp 16)
command -v perf >/dev/null || { echo "profile_share: needs perf" >&2; exit 1; }

data="$(mktemp /tmp/oska-profile-XXXXXX)"
image="$(mktemp /tmp/oska-profile-XXXXXX.png)"
trap 'rm -f "$data" "$image"' EXIT

echo "| scene | Embree | shader library | image library | loader | renderer and the rest |"
echo "|---|---|---|---|---|---|"
for scene in examples/*.json; do
  name="$(basename "$scene" .json)"
  [ -f "docs/gallery/$name.png" ] || continue # the gallery's scenes only
  perf record -q -F 499 -o "$data" "$build/bin/oska-render" "$scene" -o "$image" --quiet \
    "${extra[@]}" >/dev/null 2>&1
  perf report -i "$data" --sort dso,sym --stdio 2>/dev/null | awk -v name="$name" '
    /^ +[0-9.]+%/ {
      share = $1; sub(/%/, "", share); dso = $2; symbol = $4
      if (dso ~ /embree|tbb/) embree += share
      else if (dso ~ /^liboska/) library += share
      # The maths library: the shader library raises doubles to powers (its
      # decays and gamma); the renderer calls only the float functions.
      else if (dso ~ /^libm[.-]/ && symbol !~ /f(_[a-z0-9]+)?$/) library += share
      else if (dso ~ /OpenImageIO|libpng|libjpeg|libtiff|libz|libImath|libIex|libOpenEXR/) images += share
      else if (dso ~ /^ld-linux/) loader += share
      else rest += share
    }
    END {
      printf "| %s | %.1f %% | %.1f %% | %.1f %% | %.1f %% | %.1f %% |\n",
             name, embree, library, images, loader, rest
    }'
done
