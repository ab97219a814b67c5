#!/usr/bin/env python3
"""oska-render against Cycles at equal processor time, one thread each.

Each gallery scene (and bench/peer/sphere.json, one faceted sphere emitter)
is made physical: every light takes the shader's physical decay (distance
squared, emission cosine to the power 1), so that it is an ordinary diffuse
area light lit on its front side, and both renderers compute the same image.
Textures on surfaces and the background are left out. The intensities of
lights that had another decay are raised by 4 pi d^2 (d: from the emitter to
the point the camera looks at) so the scene keeps about its brightness.

For each scene: the triangles, as oska-render builds them, go to Cycles
(bench/peer/cycles_scene.py) with radiance I / (4 A) on each emitter's front
(the renderer's surfaces reflect albedo x irradiance, Cycles's albedo / pi x
irradiance), and the light's emit_divisor makes the emitter look as bright to
oska-render's camera. A converged reference of each renderer; their region
means must agree. Then rounds, interleaved: Cycles with --cycles-samples, and
oska-render in each configuration asked for, its camera samples set so that
it takes about Cycles's processor time. The error is the RMS difference from
the renderer's own reference in display values (tone-mapped, sRGB, 0 to 1),
over the whole image and over the pixels that do not see an emitter, each
brought to Cycles's median time as error x sqrt(time / Cycles's time).

Run from the source tree after building peer_bench:
  python3 bench/peer_compare.py [--scene NAME]... [--rounds 5] [--size 160x120]
      [--cycles-samples 64] [--config NAME=LIGHT_SAMPLES[:WAYS]]...
LIGHT_SAMPLES "scene" takes the scene's own; WAYS as peer_bench's render
takes them ("default": oska-render's own; none: the earlier sampling, by
area, evenly). Prints the table in Markdown.
"""
import argparse
import array
import json
import math
import os
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run(cmd):
    out = subprocess.run(cmd, capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit("peer_compare: %s failed:\n%s%s" % (cmd[0], out.stdout[-2000:], out.stderr[-2000:]))
    for line in out.stdout.splitlines():
        if line.startswith("cpu "):
            return float(line.split()[1])
    return 0.0


def read_raw(path):
    values = array.array("f")
    with open(path, "rb") as f:
        values.frombytes(f.read())
    return values


def display(v):
    knee = 0.8
    if not v > 0:
        v = 0.0
    elif v > knee:
        v = knee + (1 - knee) * (1 - math.exp(-(v - knee) / (1 - knee)))
    if v <= 0.0031308:
        return 12.92 * v
    return 1.055 * min(v, 1.0) ** (1 / 2.4) - 0.055


def rms(image, reference, mask=None):
    total, n = 0.0, 0
    for i in range(len(image)):
        if mask is not None and mask[i // 3] > 0:
            continue
        d = display(image[i]) - display(reference[i])
        total += d * d
        n += 1
    return math.sqrt(total / max(1, n))


def region_means(image, width, height, cells=4):
    means = []
    for cy in range(cells):
        for cx in range(cells):
            total, n = 0.0, 0
            for y in range(cy * height // cells, (cy + 1) * height // cells):
                for x in range(cx * width // cells, (cx + 1) * width // cells):
                    i = 3 * (y * width + x)
                    total += image[i] + image[i + 1] + image[i + 2]
                    n += 3
            means.append(total / max(1, n))
    return means


class Scene:
    def __init__(self, name, source, args, tmp):
        self.name, self.args, self.tmp = name, args, tmp
        self.bin = os.path.join(args.build, "bin", "peer_bench")
        with open(source) as f:
            self.json = json.load(f)
        self.base = os.path.dirname(os.path.abspath(source))
        self.width, self.height = args.width, args.height
        self.make_physical()

    def path(self, what):
        return os.path.join(self.tmp, "%s.%s" % (self.name, what))

    def write_variant(self):
        with open(self.path("json"), "w") as f:
            json.dump(self.json, f)

    def make_physical(self):
        scene = self.json
        scene.pop("background", None)
        for material in scene.get("materials", {}).values():
            material.pop("texture", None)
        # Models and textures load relative to the scene's folder.
        for name, path in scene.get("textures", {}).items():
            scene["textures"][name] = os.path.join(self.base, path)
        for obj in scene["objects"]:
            if "mesh" in obj:
                obj["mesh"] = os.path.join(self.base, obj["mesh"])
            obj.pop("channels", None)
        self.write_variant()
        run([self.bin, "export", self.path("json"), self.path("geometry.json")])
        with open(self.path("geometry.json")) as f:
            geometry = json.load(f)
        objects = {o["name"]: o for o in geometry["objects"]}
        look_at = geometry["camera"]["look_at"]
        self.cycles_lights = {}
        for light in scene["lights"]:
            params = light["params"]
            r, g, b, intensity = params.get("color", [0, 0, 0, 0])
            emitter = objects[light["object"]]
            if params.get("decay") != 3:
                p = emitter["positions"]
                n = len(p) // 3
                centre = [sum(p[k::3]) / n for k in range(3)]
                d = max(1.0, math.dist(centre, look_at))
                intensity *= 4 * math.pi * d * d
            light["params"] = {"color": [r, g, b, intensity], "decay": 3, "decay_start": 1,
                               "shadows": True, "max_level": 1}
            light.pop("samples", None)
            light["emit_divisor"] = 4 * emitter["area"] / intensity
            self.cycles_lights[light["object"]] = [r, g, b, intensity / (4 * emitter["area"])]
        self.write_variant()
        with open(self.path("lights.json"), "w") as f:
            json.dump(self.cycles_lights, f)
        size = "%dx%d" % (self.width, self.height)
        run([self.bin, "mask", self.path("json"), self.path("mask.raw"), size])
        self.mask = read_raw(self.path("mask.raw"))

    def oska(self, out, spp, light_samples, seed, strategy=None):
        cmd = [self.bin, "render", self.path("json"), out, str(spp), str(light_samples), str(seed),
               "%dx%d" % (self.width, self.height)]
        if strategy:
            cmd.append(strategy)
        return run(cmd)

    def cycles(self, out, samples, seed):
        return run([self.args.blender, "-b", "--factory-startup", "-noaudio", "--python",
                    os.path.join(ROOT, "bench", "peer", "cycles_scene.py"), "--",
                    self.path("geometry.json"), self.path("lights.json"), out, str(samples),
                    str(seed), str(self.width), str(self.height)])


def scene_light_samples(scene):
    return scene.json.get("image", {}).get("light_samples", 8)


def compare(scene, args, configs):
    """One row per configuration: errors at Cycles's time, and the ratios."""
    ref_o, ref_c = scene.path("ref_oska.raw"), scene.path("ref_cycles.raw")
    ls = scene_light_samples(scene)
    # The reference by bounds, evenly: its many camera samples resolve the
    # edges of small emitters that sampling by area at the scene's split
    # leaves noisy, and sharing by error would draw on the samples' own noise.
    scene.oska(ref_o, args.reference_spp, ls, 7777, "bounds:2")
    scene.cycles(ref_c, args.reference_samples, 7777)
    ref_o, ref_c = read_raw(ref_o), read_raw(ref_c)
    mo = region_means(ref_o, scene.width, scene.height)
    mc = region_means(ref_c, scene.width, scene.height)
    top = max(mc)
    agree = [abs(a - b) / b for a, b in zip(mo, mc) if b > 0.02 * top]
    # Camera samples for each configuration: scaled from a first run to
    # Cycles's time.
    out = scene.path("run.raw")
    t_c = scene.cycles(out, args.cycles_samples, 1)
    spp = {}
    for name, samples, strategy in configs:
        samples = ls if samples == "scene" else int(samples)
        t = scene.oska(out, 4, samples, 1, strategy)
        spp[name] = (max(1, round(4 * t_c / max(t, 1e-6))), samples, strategy)
    errors = {"cycles": []}
    for name in spp:
        errors[name] = []
    for r in range(args.rounds):
        seed = 100 + r
        t = scene.cycles(out, args.cycles_samples, seed)
        image = read_raw(out)
        errors["cycles"].append((t, rms(image, ref_c), rms(image, ref_c, scene.mask)))
        for name, (n, samples, strategy) in spp.items():
            t = scene.oska(out, n, samples, seed, strategy)
            image = read_raw(out)
            errors[name].append((t, rms(image, ref_o), rms(image, ref_o, scene.mask)))
    t_ref = statistics.median(t for t, _, _ in errors["cycles"])
    rows = {}
    for name, runs in errors.items():
        wholes = [e * math.sqrt(t / t_ref) for t, e, _ in runs]
        off = statistics.median(e * math.sqrt(t / t_ref) for t, _, e in runs)
        rows[name] = (statistics.median(wholes), off, statistics.median(t for t, _, _ in runs),
                      min(wholes), max(wholes))
    return rows, spp, t_ref, max(agree) if agree else 0.0


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--scene", action="append", default=[])
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--size", default="160x120")
    p.add_argument("--cycles-samples", type=int, default=64)
    p.add_argument("--reference-spp", type=int, default=256)
    p.add_argument("--reference-samples", type=int, default=2048)
    p.add_argument("--config", action="append", default=[])
    p.add_argument("--build", default=os.path.join(ROOT, "build", "linux"))
    p.add_argument("--blender", default="blender")
    args = p.parse_args()
    args.width, args.height = (int(v) for v in args.size.split("x"))
    configs = []
    for c in args.config or ["today=scene"]:
        name, rest = c.split("=", 1)
        samples, _, strategy = rest.partition(":")
        configs.append((name, samples, strategy or None))
    gallery = sorted(f[:-4] for f in os.listdir(os.path.join(ROOT, "docs", "gallery"))
                     if f.endswith(".png"))
    names = args.scene or gallery + ["sphere"]
    print("%s, Cycles %d samples, %d rounds; RMS of display values at Cycles's median time"
          % (args.size, args.cycles_samples, args.rounds))
    print()
    # RMS whole: the median of the rounds, and their lowest to highest.
    head = "| scene | Cycles s | agree | Cycles RMS whole (range), off emitters |"
    for name, _, _ in configs:
        head += " %s spp x light | %s RMS whole (range), off | ÷ Cycles whole, off |" % (name,
                                                                                         name)
    print(head)
    print("|" + "---|" * (4 + 3 * len(configs)))
    ratios = {name: [] for name, _, _ in configs}
    with tempfile.TemporaryDirectory() as tmp:
        for name in names:
            source = (os.path.join(ROOT, "bench", "peer", "sphere.json") if name == "sphere"
                      else os.path.join(ROOT, "examples", name + ".json"))
            scene = Scene(name, source, args, tmp)
            rows, spp, t_ref, agree = compare(scene, args, configs)
            c = rows["cycles"]
            line = "| %s | %.2f | %.2f %% | %.4f (%.4f-%.4f), %.4f |" % (
                name, t_ref, 100 * agree, c[0], c[3], c[4], c[1])
            for cname, _, _ in configs:
                o = rows[cname]
                ratios[cname].append(o[0] / c[0])
                line += " %d x %d | %.4f (%.4f-%.4f), %.4f | %.2f, %.2f |" % (
                    spp[cname][0], spp[cname][1], o[0], o[3], o[4], o[1], o[0] / c[0],
                    o[1] / c[1] if c[1] > 0 else 0)
            print(line, flush=True)
    print()
    for cname, values in ratios.items():
        print("median whole-image RMS %s ÷ Cycles: %.2f" % (cname, statistics.median(values)))
    # Each configuration after the first against the first, scene by scene.
    first = configs[0][0]
    for cname, _, _ in configs[1:]:
        print("median whole-image RMS %s ÷ %s: %.2f" % (cname, first, statistics.median(
            a / b for a, b in zip(ratios[cname], ratios[first]))))


main()
