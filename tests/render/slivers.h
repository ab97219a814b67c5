// An emitter of many thin triangles, for the test and the benchmark of what
// sharing camera samples by error costs on it: `count` slivers in the plane
// z = 0, each from the left of the view to its right at heights of a fixed
// sequence, 0.003 units across, lighting a backdrop behind them.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace oska::render::slivers {

// The slivers as an OBJ file.
inline std::string model(int count) {
    std::string text;
    uint32_t state = 12345;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / 16777216.0;
    };
    for (int i = 0; i < count; ++i) {
        const double left = -2 + 4 * next(), right = -2 + 4 * next();
        text += "v -3 " + std::to_string(left) + " 0\nv 3 " + std::to_string(right) + " 0\nv 3 " +
                std::to_string(right + 0.003) + " 0\n";
    }
    for (int i = 0; i < count; ++i) {
        text += "f " + std::to_string(3 * i + 1) + " " + std::to_string(3 * i + 3) + " " +
                std::to_string(3 * i + 2) + "\n";
    }
    return text;
}

// The scene, its slivers read from "slivers.obj" beside it.
inline nlohmann::json scene(int width, int height, int spp, int light_samples) {
    return {
        {"image",
         {{"width", width}, {"height", height}, {"spp", spp}, {"light_samples", light_samples}}},
        {"camera", {{"position", {0, 0, 5}}, {"look_at", {0, 0, 0}}, {"fov", 40}}},
        {"objects",
         {{{"name", "backdrop"},
           {"shape", "quad"},
           {"size", {20, 20}},
           {"rotate", {90, 0, 0}},
           {"translate", {0, 0, -1}}},
          {{"name", "slivers"}, {"mesh", "slivers.obj"}}}},
        {"lights",
         {{{"name", "lamp"}, {"object", "slivers"}, {"params", {{"color", {1, 1, 1, 1}}}}}}}};
}

} // namespace oska::render::slivers
