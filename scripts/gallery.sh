#!/usr/bin/env bash
# Regenerates the gallery: renders every scene of examples/ with oska-render
# into docs/gallery/NAME.png (512x384, passes of the scene's own samples until
# the estimated error of a pixel is below 0.005, about one step of an 8-bit
# display value) and writes docs/gallery.md, each image beside its scene's
# description and its lights' parameters.
# Usage: scripts/gallery.sh [BUILD_DIR]   (default: build/linux, configured
# with the linux preset and built as needed)
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build/linux}"
if [ ! -f "$build/CMakeCache.txt" ]; then
  bash scripts/install-deps.sh
  if [ "$build" = build/linux ]; then
    cmake --preset linux >/dev/null
  else
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSKA_BUILD_RENDER=ON >/dev/null
  fi
fi
cmake --build "$build" --target oska-render -j 2 >/dev/null
command -v python3 >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -q python3

mkdir -p docs/gallery
for scene in examples/*.json; do
  name="$(basename "$scene" .json)"
  # The probe scene is for the probe library (docs/probe.md), not a picture.
  [ "$name" != probe ] || continue
  echo "rendering $name"
  "$build/bin/oska-render" "$scene" -o "docs/gallery/$name.png" --size 512x384 --noise 0.005 \
    --quiet
done

python3 - <<'PY'
import glob, json, os

def value(v):
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, list):
        return "[" + ", ".join(value(x) for x in v) + "]"
    return str(v)

out = ["# Gallery", "",
       "Each image is rendered by `oska-render` from the scene of the same name in",
       "[`examples/`](../examples) (512x384, passes of the scene's own samples until the",
       "estimated error of a pixel is below 0.005 of the display range). Regenerate them all",
       "with `bash scripts/gallery.sh`. The parameters are those each scene sets; every",
       "other parameter is zero.", ""]
scenes = sorted((p for p in glob.glob("examples/*.json") if os.path.basename(p) != "probe.json"),
                key=lambda p: (os.path.basename(p) != "showcase.json", p))
for path in scenes:
    name = os.path.basename(path)[:-5]
    scene = json.load(open(path))
    out += ["## " + name.replace("_", " ").capitalize(), ""]
    cell = []
    if "about" in scene:
        cell.append(scene["about"])
    for light in scene.get("lights", []):
        params = " · ".join("`%s` %s" % (k, value(v)) for k, v in light.get("params", {}).items())
        extra = " · ".join("%s %s" % (k, value(light[k]))
                           for k in ("exponent", "emit_divisor", "samples") if k in light)
        line = "**%s** (on `%s`): %s" % (light["name"], light.get("object", "?"), params)
        if extra:
            line += " · light: " + extra
        cell.append(line)
    out += ["| | |", "|---|---|",
            "| ![%s](gallery/%s.png) | %s |" % (name, name, "<br><br>".join(cell)),
            "", "Scene: [`examples/%s.json`](../examples/%s.json)" % (name, name), ""]
open("docs/gallery.md", "w").write("\n".join(out))
PY
echo "wrote docs/gallery.md"
