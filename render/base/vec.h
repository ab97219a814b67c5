// Three-component vectors for points, directions and linear RGB colours.
#ifndef OSKA_RENDER_VEC_H
#define OSKA_RENDER_VEC_H

#include <cmath>

namespace oska::render {

// The largest float below 1: where a number drawn in [0, 1) and then rescaled
// is held, since rounding may carry it up to 1.
constexpr float kOneMinusEpsilon = 0x1.fffffep-1f;
static_assert(kOneMinusEpsilon == 0.99999994f && 1 - kOneMinusEpsilon == 0x1p-24f);

struct Vec3 {
    float x = 0, y = 0, z = 0;

    Vec3() = default;
    constexpr Vec3(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}

    float operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
    Vec3 operator-() const { return {-x, -y, -z}; }
    Vec3 &operator+=(const Vec3 &o) {
        x += o.x;
        y += o.y;
        z += o.z;
        return *this;
    }
};

inline Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3 operator*(Vec3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
inline Vec3 operator*(float s, Vec3 a) { return a * s; }
// Channel by channel: colour times colour.
inline Vec3 operator*(Vec3 a, Vec3 b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }
inline Vec3 operator/(Vec3 a, float s) { return {a.x / s, a.y / s, a.z / s}; }

inline bool operator==(Vec3 a, Vec3 b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

inline float dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec3 cross(Vec3 a, Vec3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline float length(Vec3 a) { return std::sqrt(dot(a, a)); }
inline Vec3 normalize(Vec3 a) {
    float len = length(a);
    return len > 0 ? a / len : a;
}
inline bool finite(Vec3 a) {
    return std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z);
}

// The largest magnitude of any number a scene gives (coordinates, sizes,
// colours, light parameters), and of any point of it once placed. The ray
// tracer keeps points in 32-bit floats and refuses a ray whose origin or
// direction has a component beyond 1.8e18, or whose ends are not numbers.
// Within 1e8 everything formed from the scene stays far inside both that and
// the float range: two points apart by at most 3.5e8, the cross product of
// two triangle edges (normals and areas are formed from it unnormalised) at
// most 8e16 with a squared length of 2e34 (floats end at 3.4e38), the first
// rays of an orthographic camera 16384 pixels wide at most 8e11 out. A colour
// or intensity of 1e8 is far beyond any light, and the product of three
// such stays finite.
constexpr float kNumberLimit = 1e8f;
constexpr const char *kNumberLimitText = "from -1e8 to 1e8";

inline bool within_limit(float v) { return std::fabs(v) <= kNumberLimit; }
inline bool within_limit(Vec3 a) {
    return within_limit(a.x) && within_limit(a.y) && within_limit(a.z);
}

} // namespace oska::render

#endif
