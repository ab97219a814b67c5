// The camera's rays, and the frame they are built in, which also maps
// points of the scene back into the image.
#ifndef OSKA_RENDER_CAMERA_H
#define OSKA_RENDER_CAMERA_H

#include "scene_desc.h"
#include "vec.h"

namespace oska::render {

struct Ray {
    Vec3 origin, direction;
};

// The camera's unit axes, and half the height of its view: at unit
// distance (perspective) or in scene units (orthographic).
struct CameraFrame {
    Vec3 forward, right, up;
    float half = 1;
    explicit CameraFrame(const Camera &camera);
};

// The camera ray through image position (px, py), in pixels from the top
// left corner (a pixel's centre is at +0.5).
Ray camera_ray(const Camera &camera, int width, int height, float px, float py);

} // namespace oska::render

#endif
