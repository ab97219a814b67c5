// Points drawn uniformly by area over an emitting mesh: what a light sample
// starts from, before any ray is traced.
#ifndef OSKA_RENDER_AREA_SAMPLER_H
#define OSKA_RENDER_AREA_SAMPLER_H

#include "mesh.h"
#include "vec.h"

#include <cstdint>
#include <vector>

namespace oska::render {

// A point drawn on an emitter: where it is, what the light shader is told
// of it, and where it lies on its triangle (for the vertex channels).
struct EmitterPoint {
    Vec3 position;
    Vec3 normal; // interpolated vertex normal, unit length
    Vec3 uv;
    uint32_t triangle = 0;
    float b1 = 0, b2 = 0;
};

// Picks points uniformly by area over a mesh's triangles. Each triangle is
// kept in the form a sample needs (a corner and two edges, its corners'
// normals and texture coordinates), side by side, so that a sample reads
// one record and computes nothing twice.
class AreaSampler {
  public:
    explicit AreaSampler(const Mesh &mesh);
    // The triangles taken in `order` (each once): the points still name
    // their triangles by their index in the mesh.
    AreaSampler(const Mesh &mesh, const std::vector<uint32_t> &order);
    float area() const { return total_; }
    // The share of the area of the triangles up to the `t`-th taken,
    // included: a first number below it picks one of them.
    float running_share(uint32_t t) const { return cdf_[t]; }
    // Points for `count` sets of numbers in [0, 1), into `points`. With
    // `u3`, the three are independent: the first picks the triangle, the
    // others the point on it. Without, the first picks the triangle and
    // what is left of it (its place within the triangle's share) goes on,
    // with the second, to pick the point, so that points spread evenly over
    // the pairs spread evenly over the whole emitter. All the triangles are
    // picked before any point is placed: no two depend on each other, so
    // the processor overlaps them instead of waiting on each in turn.
    void sample(const float *u1, const float *u2, const float *u3, int count,
                EmitterPoint *points) const;

  private:
    struct Triangle {
        // What every sample reads first, then what only a curved triangle
        // reads.
        Vec3 corner, edge1, edge2;
        // Where the three vertex normals are one, the normal every point of
        // the triangle has, found once here instead of at each sample.
        bool flat = false;
        Vec3 unit_normal;
        Vec3 uv0, uv1, uv2;
        Vec3 normal0, normal1, normal2;
        Vec3 flat_normal; // of the triangle, for where the vertex normals cancel out
    };
    uint32_t pick_triangle(float u) const;
    // sample() in stages of up to kStage points, each a loop over the
    // stage: the scalar steps read the triangles, the others are arithmetic
    // alone.
    static constexpr int kStage = 16;
    void pick_stage(const float *u1, const float *u2, const float *u3, int n, EmitterPoint *out,
                    float *b1, float *b2) const;
    void place_stage(const float *b1, const float *b2, int n, EmitterPoint *out) const;

    std::vector<float> cdf_; // running area, normalised to end at 1
    // For each of as many equal steps of [0, 1) as there are triangles, the
    // first triangle whose share reaches into the step: a pick searches only
    // from there to the next step's.
    std::vector<uint32_t> guide_;
    uint32_t search_ = 1; // the widest span from one step's triangle to the next's, up to 2^n
    std::vector<Triangle> triangles_;
    std::vector<uint32_t> source_; // each triangle's index in the mesh; empty: the same
    float total_ = 0;
};

} // namespace oska::render

#endif
