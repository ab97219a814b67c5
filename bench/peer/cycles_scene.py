# Builds a scene exported by `peer_bench export` in Blender and renders it
# with Cycles on one thread: direct light only, no denoiser, no adaptive
# sampling, a box filter one pixel wide. Writes the image as 32-bit floats,
# RGB, rows from the top, and prints "cpu SECONDS" for the render alone.
#
# blender -b --factory-startup --python cycles_scene.py -- \
#     GEOMETRY.json LIGHTS.json OUT.raw SAMPLES SEED WIDTH HEIGHT
# LIGHTS.json: {object name: [r, g, b, strength]}, the radiance of each
# emitter's front side (its back gives no light, as the shader's physical
# decay has it, but the camera sees both sides).
import array
import json
import math
import os
import sys
import tempfile
import time

import bpy
from mathutils import Vector


def to_blender(p):
    # The scene's Y is up; Blender's Z is.
    return (p[0], -p[2], p[1])


def emitter_material(name, albedo, light):
    mat = bpy.data.materials.new(name)
    mat.use_nodes = True
    nodes, links = mat.node_tree.nodes, mat.node_tree.links
    nodes.clear()
    out = nodes.new("ShaderNodeOutputMaterial")
    diffuse = nodes.new("ShaderNodeBsdfDiffuse")
    diffuse.inputs["Color"].default_value = (*albedo, 1)
    if light is None:
        links.new(diffuse.outputs[0], out.inputs["Surface"])
        return mat
    emission = nodes.new("ShaderNodeEmission")
    emission.inputs["Color"].default_value = (light[0], light[1], light[2], 1)
    # Strength: full where the camera looks or the front is seen, else 0.
    path = nodes.new("ShaderNodeLightPath")
    geometry = nodes.new("ShaderNodeNewGeometry")
    front = nodes.new("ShaderNodeMath")
    front.operation = "SUBTRACT"
    front.inputs[0].default_value = 1
    links.new(geometry.outputs["Backfacing"], front.inputs[1])
    either = nodes.new("ShaderNodeMath")
    either.operation = "MAXIMUM"
    links.new(front.outputs[0], either.inputs[0])
    links.new(path.outputs["Is Camera Ray"], either.inputs[1])
    strength = nodes.new("ShaderNodeMath")
    strength.operation = "MULTIPLY"
    strength.inputs[1].default_value = light[3]
    links.new(either.outputs[0], strength.inputs[0])
    links.new(strength.outputs[0], emission.inputs["Strength"])
    add = nodes.new("ShaderNodeAddShader")
    links.new(emission.outputs[0], add.inputs[0])
    links.new(diffuse.outputs[0], add.inputs[1])
    links.new(add.outputs[0], out.inputs["Surface"])
    return mat


def add_object(entry, light):
    p, n, idx = entry["positions"], entry["normals"], entry["indices"]
    verts = [to_blender(p[i:i + 3]) for i in range(0, len(p), 3)]
    faces = [tuple(idx[i:i + 3]) for i in range(0, len(idx), 3)]
    mesh = bpy.data.meshes.new(entry["name"])
    mesh.from_pydata(verts, [], faces)
    mesh.update()
    normals = [to_blender(n[i:i + 3]) for i in range(0, len(n), 3)]
    mesh.polygons.foreach_set("use_smooth", [True] * len(faces))
    mesh.use_auto_smooth = True
    mesh.normals_split_custom_set_from_vertices(normals)
    mesh.materials.append(emitter_material(entry["name"], entry["albedo"], light))
    obj = bpy.data.objects.new(entry["name"], mesh)
    bpy.context.scene.collection.objects.link(obj)


def add_camera(cam, width, height):
    data = bpy.data.cameras.new("camera")
    data.sensor_fit = "VERTICAL"
    if cam["orthographic"]:
        data.type = "ORTHO"
        data.ortho_scale = cam["height"] * max(1.0, width / height)
    else:
        data.angle_y = math.radians(cam["fov"])
    obj = bpy.data.objects.new("camera", data)
    obj.location = to_blender(cam["position"])
    direction = Vector(to_blender(cam["look_at"])) - obj.location
    obj.rotation_euler = direction.to_track_quat("-Z", "Y").to_euler()
    bpy.context.scene.collection.objects.link(obj)
    bpy.context.scene.camera = obj


def settings(scene, samples, seed, width, height):
    scene.render.engine = "CYCLES"
    c = scene.cycles
    c.device = "CPU"
    c.samples = samples
    c.use_adaptive_sampling = False
    c.use_denoising = False
    c.seed = seed
    c.max_bounces = c.diffuse_bounces = c.glossy_bounces = 0
    c.transmission_bounces = c.volume_bounces = c.transparent_max_bounces = 0
    c.caustics_reflective = c.caustics_refractive = False
    c.pixel_filter_type = "BOX"
    c.filter_width = 1.0
    c.light_sampling_threshold = 0.0
    c.sample_clamp_direct = c.sample_clamp_indirect = 0.0
    scene.render.threads_mode = "FIXED"
    scene.render.threads = 1
    scene.render.resolution_x, scene.render.resolution_y = width, height
    scene.render.resolution_percentage = 100
    scene.view_settings.view_transform = "Standard"
    scene.render.image_settings.file_format = "OPEN_EXR"
    scene.render.image_settings.color_depth = "32"
    scene.render.image_settings.color_mode = "RGB"
    world = bpy.data.worlds.new("black")
    world.use_nodes = False
    world.color = (0, 0, 0)
    scene.world = world


def main():
    args = sys.argv[sys.argv.index("--") + 1:]
    geometry = json.load(open(args[0]))
    lights = json.load(open(args[1]))
    out, samples, seed = args[2], int(args[3]), int(args[4])
    width, height = int(args[5]), int(args[6])
    bpy.ops.wm.read_factory_settings(use_empty=True)
    scene = bpy.context.scene
    settings(scene, samples, seed, width, height)
    for entry in geometry["objects"]:
        add_object(entry, lights.get(entry["name"]))
    add_camera(geometry["camera"], width, height)
    folder = tempfile.mkdtemp()
    exr = os.path.join(folder, "image.exr")
    scene.render.filepath = exr
    start = time.process_time()
    bpy.ops.render.render(write_still=True)
    spent = time.process_time() - start
    image = bpy.data.images.load(exr)
    pixels = array.array("f", image.pixels[:])  # RGBA, rows from the bottom
    rgb = array.array("f")
    for y in range(height - 1, -1, -1):
        row = pixels[4 * width * y:4 * width * (y + 1)]
        for x in range(width):
            rgb.extend(row[4 * x:4 * x + 3])
    os.remove(exr)
    os.rmdir(folder)
    with open(out + ".tmp", "wb") as f:
        rgb.tofile(f)
    os.replace(out + ".tmp", out)
    print("cpu %.6f" % spent)


main()
