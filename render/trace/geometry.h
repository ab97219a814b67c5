// The scene's triangles in an Embree 3 scene: camera rays, shadow rays and
// the surface at a hit.
#ifndef OSKA_RENDER_GEOMETRY_H
#define OSKA_RENDER_GEOMETRY_H

#include "scene.h"
#include "vec.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace oska::render {

struct Hit {
    int object = -1; // index into the scene's objects; -1: nothing hit
    uint32_t triangle = 0;
    float b1 = 0, b2 = 0; // weights of the triangle's second and third vertex
    float distance = 0;
};

// A point on a mesh with its frame and texture coordinate.
struct SurfacePoint {
    Vec3 position;
    Vec3 normal;           // interpolated vertex normal, unit length
    Vec3 geometric_normal; // of the triangle, unit length, on the normal's side (if asked)
    Vec3 uv;
};

// `geometric`: also the triangle's normal (rays leaving the point need it).
SurfacePoint surface_point(const Mesh &mesh, uint32_t triangle, float b1, float b2,
                           bool geometric = true);
// Vertex channel `n` interpolated at the point (0 when the mesh lacks it).
Vec3 channel_at(const Mesh &mesh, std::size_t n, uint32_t triangle, float b1, float b2);

class Geometry {
  public:
    explicit Geometry(const std::vector<ObjectDesc> &objects);
    ~Geometry();
    Geometry(const Geometry &) = delete;
    Geometry &operator=(const Geometry &) = delete;

    // The nearest surface along the ray (direction of unit length).
    Hit intersect(Vec3 origin, Vec3 direction) const;
    // Whether anything lies on the segment from `from` to `to`, leaving out a
    // margin at both ends so that the surfaces at either end do not count.
    bool occluded(Vec3 from, Vec3 to) const;
    // A length below which two points count as one surface.
    float epsilon() const { return epsilon_; }

  private:
    struct Workers;
    std::unique_ptr<Workers> workers_; // the scene builder's threads, joined when the last goes
    void *device_ = nullptr;
    void *scene_ = nullptr;
    float epsilon_ = 1e-4f;
};

} // namespace oska::render

#endif
