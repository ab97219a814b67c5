#include "geometry.h"

#include "error.h"

#include <embree3/rtcore.h>
#include <oneapi/tbb/global_control.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

namespace oska::render {

namespace {

void vertices_of(const Mesh &mesh, uint32_t triangle, uint32_t v[3]) {
    for (int i = 0; i < 3; ++i) {
        v[i] = mesh.indices[3 * static_cast<std::size_t>(triangle) + i];
    }
}

template <class T> T blend(const std::vector<T> &values, const uint32_t v[3], float b1, float b2) {
    return values[v[0]] * (1 - b1 - b2) + values[v[1]] * b1 + values[v[2]] * b2;
}

} // namespace

SurfacePoint surface_point(const Mesh &mesh, uint32_t triangle, float b1, float b2,
                           bool geometric) {
    uint32_t v[3];
    vertices_of(mesh, triangle, v);
    SurfacePoint point;
    point.position = blend(mesh.positions, v, b1, b2);
    point.uv = blend(mesh.uvs, v, b1, b2);
    Vec3 n = blend(mesh.normals, v, b1, b2);
    float n2 = dot(n, n);
    // Opposite vertex normals can cancel out: the triangle's own normal then.
    if (geometric || !(n2 > 0.25f)) {
        Vec3 ng = normalize(cross(mesh.positions[v[1]] - mesh.positions[v[0]],
                                  mesh.positions[v[2]] - mesh.positions[v[0]]));
        if (!(n2 > 0.25f)) {
            n = ng;
            n2 = 1;
        }
        point.geometric_normal = dot(ng, n) < 0 ? -ng : ng;
    }
    point.normal = n * (1 / std::sqrt(n2));
    return point;
}

Vec3 channel_at(const Mesh &mesh, std::size_t n, uint32_t triangle, float b1, float b2) {
    if (n >= mesh.channels.size() || mesh.channels[n].empty()) {
        return {};
    }
    uint32_t v[3];
    vertices_of(mesh, triangle, v);
    return blend(mesh.channels[n], v, b1, b2);
}

// Embree builds scenes on TBB's worker threads, which TBB otherwise leaves
// running until the process ends, still holding their thread-local blocks;
// whatever checks memory at exit then finds them, or not, depending on how
// far those threads got. Each Geometry holds a reference to the scheduler,
// and the last one to go waits for the workers to finish, so no thread of
// ours outlives the last scene. A later scene starts new workers.
struct Geometry::Workers {
    tbb::task_scheduler_handle handle{tbb::attach{}};
    ~Workers() {
        // False while another Geometry still holds a reference: the last
        // one joins the workers.
        (void)tbb::finalize(handle, std::nothrow);
    }
};

Geometry::Geometry(const std::vector<ObjectDesc> &objects) : workers_(std::make_unique<Workers>()) {
    RTCDevice device = rtcNewDevice(nullptr);
    if (device == nullptr) {
        throw Error("cannot start Embree (error " + std::to_string(rtcGetDeviceError(nullptr)) +
                    ")");
    }
    device_ = device;
    RTCScene scene = rtcNewScene(device);
    scene_ = scene;
    // The scene is built once and then traced millions of times: a slower,
    // better build pays for itself.
    rtcSetSceneBuildQuality(scene, RTC_BUILD_QUALITY_HIGH);
    float extent = 0;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        const Mesh &mesh = objects[i].mesh;
        RTCGeometry geometry = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
        auto *positions = static_cast<float *>(
            rtcSetNewGeometryBuffer(geometry, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                                    3 * sizeof(float), mesh.vertex_count()));
        for (std::size_t v = 0; v < mesh.vertex_count(); ++v) {
            positions[3 * v] = mesh.positions[v].x;
            positions[3 * v + 1] = mesh.positions[v].y;
            positions[3 * v + 2] = mesh.positions[v].z;
            extent = std::max({extent, std::fabs(mesh.positions[v].x),
                               std::fabs(mesh.positions[v].y), std::fabs(mesh.positions[v].z)});
        }
        auto *indices = static_cast<uint32_t *>(
            rtcSetNewGeometryBuffer(geometry, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                                    3 * sizeof(uint32_t), mesh.triangle_count()));
        std::copy(mesh.indices.begin(), mesh.indices.end(), indices);
        rtcCommitGeometry(geometry);
        rtcAttachGeometryByID(scene, geometry, static_cast<unsigned>(i));
        rtcReleaseGeometry(geometry);
    }
    rtcCommitScene(scene);
    // Offsets for rays leaving a surface grow with the scene's size, so that
    // float rounding of far-off points does not make a surface shadow itself.
    epsilon_ = std::max(1e-4f, extent * 1e-5f);
}

Geometry::~Geometry() {
    rtcReleaseScene(static_cast<RTCScene>(scene_));
    rtcReleaseDevice(static_cast<RTCDevice>(device_));
    workers_.reset(); // after the device, whose task arena the workers serve
}

Hit Geometry::intersect(Vec3 origin, Vec3 direction) const {
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    RTCRayHit rh{};
    rh.ray.org_x = origin.x;
    rh.ray.org_y = origin.y;
    rh.ray.org_z = origin.z;
    rh.ray.dir_x = direction.x;
    rh.ray.dir_y = direction.y;
    rh.ray.dir_z = direction.z;
    rh.ray.tnear = 0;
    rh.ray.tfar = std::numeric_limits<float>::infinity();
    rh.ray.mask = 0xFFFFFFFFu;
    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    rtcIntersect1(static_cast<RTCScene>(scene_), &context, &rh);
    Hit hit;
    if (rh.hit.geomID != RTC_INVALID_GEOMETRY_ID) {
        hit.object = static_cast<int>(rh.hit.geomID);
        hit.triangle = rh.hit.primID;
        hit.b1 = rh.hit.u;
        hit.b2 = rh.hit.v;
        hit.distance = rh.ray.tfar;
    }
    return hit;
}

bool Geometry::occluded(Vec3 from, Vec3 to) const {
    Vec3 d = to - from;
    float distance = length(d);
    if (!(distance > 2 * epsilon_)) {
        return false;
    }
    d = d * (1 / distance);
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    RTCRay ray{};
    ray.org_x = from.x;
    ray.org_y = from.y;
    ray.org_z = from.z;
    ray.dir_x = d.x;
    ray.dir_y = d.y;
    ray.dir_z = d.z;
    ray.tnear = epsilon_;
    ray.tfar = distance - epsilon_;
    ray.mask = 0xFFFFFFFFu;
    rtcOccluded1(static_cast<RTCScene>(scene_), &context, &ray);
    return ray.tfar < 0; // Embree marks an occluded ray with tfar = -inf
}

} // namespace oska::render
