#include "camera.h"

#include <cmath>

namespace oska::render {

namespace {

constexpr float kPi = 3.14159265358979f;

} // namespace

CameraFrame::CameraFrame(const Camera &camera)
    : forward(normalize(camera.look_at - camera.position)),
      right(normalize(cross(forward, camera.up))), up(cross(right, forward)),
      half(camera.orthographic ? camera.height / 2 : std::tan(camera.fov * kPi / 360.0f)) {}

Ray camera_ray(const Camera &camera, int width, int height, float px, float py) {
    const CameraFrame frame(camera);
    float aspect = static_cast<float>(width) / static_cast<float>(height);
    float sx = (2.0f * px / static_cast<float>(width) - 1.0f) * aspect;
    float sy = 1.0f - 2.0f * py / static_cast<float>(height);
    const Vec3 along_x = frame.right * (sx * frame.half), along_y = frame.up * (sy * frame.half);
    if (camera.orthographic) {
        return {camera.position + along_x + along_y, frame.forward};
    }
    return {camera.position, normalize(frame.forward + along_x + along_y)};
}

} // namespace oska::render
