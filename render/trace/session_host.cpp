// The session's side of the host: an empty host whose messages wait for the
// session, the scene's elements in its database (and the tags that name
// them), and the library's texture lookups and shadow rays routed back to
// the renderer.
#include "session.h"

#include "error.h"

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace oska::render {

// An empty host whose messages wait for take_messages.
void Session::reset_host() {
    host::Host &host = host::host();
    host.reset();
    host.release_leaks(); // blocks of an earlier session, reported when it closed
    down_ = false;
    pending_messages_.clear();
    // The library's messages wait for take_messages; a lock only when one
    // arrives.
    host.set_message_sink([this](host::Level level, const std::string &text) {
        std::lock_guard<std::mutex> lock(messages_mutex_);
        pending_messages_.push_back({level, text});
    });
}

oska_tag Session::tag_of(const std::string &name) const {
    if (int i = scene_.find_object(name); i >= 0) {
        return objects_[static_cast<std::size_t>(i)].instance;
    }
    if (int i = scene_.find_light(name); i >= 0) {
        return lit_.lights[static_cast<std::size_t>(i)].instance;
    }
    if (int i = scene_.find_texture(name); i >= 0) {
        return textures_[static_cast<std::size_t>(i)].tag;
    }
    return 0;
}

void Session::take_messages(const std::string &where) {
    std::vector<host::Message> messages;
    {
        std::lock_guard<std::mutex> lock(messages_mutex_);
        messages.swap(pending_messages_);
    }
    std::string first_error;
    for (const host::Message &m : messages) {
        if (m.level == host::Level::error) {
            if (first_error.empty()) {
                first_error = located(where, m.text);
            }
        } else if (options_.report && (m.level == host::Level::warning || options_.verbose)) {
            bool warning = m.level == host::Level::warning;
            options_.report(located(where, warning ? "warning: " + m.text : m.text));
        }
    }
    if (!first_error.empty()) {
        throw Error(first_error);
    }
}

// Geometry and textures, and the host's scene database.
void Session::fill_database() {
    host::Host &host = host::host();
    lit_.scene = &scene_;
    lit_.geometry = std::make_unique<Geometry>(scene_.objects);
    lit_.lights_of_object.assign(scene_.objects.size(), {});
    for (const TextureDesc &texture : scene_.textures) {
        oska_tag tag = host.add_texture(host::Image{}, texture.name.c_str());
        texture_of_tag_.resize(tag + 1, -1);
        texture_of_tag_[tag] = static_cast<int>(textures_.size());
        textures_.push_back({tag});
    }
    for (const ObjectDesc &object : scene_.objects) {
        oska_tag tag = host.add_element(OSKA_TYPE_OBJECT, object.name.c_str());
        objects_.push_back({host.add_instance(tag, object.name.c_str())});
    }
    for (const LightDesc &light : scene_.lights) {
        // A plain light until a scene shader binds it to an object.
        host::LightDesc desc;
        desc.area_kind = OSKA_AREA_NONE;
        desc.exponent = light.exponent;
        desc.name = light.name.c_str();
        oska_tag tag = host.add_light(desc);
        host.light(tag)->samples[0] = static_cast<uint16_t>(light.samples);
        BoundLight record;
        record.desc = &light;
        record.light = tag;
        record.instance = host.add_instance(tag, light.name.c_str(), light.emit_divisor);
        lit_.lights.push_back(std::move(record));
    }
}

// Texture lookups and shadow rays of the library go to the renderer.
void Session::route_lookups() {
    host::Host &host = host::host();
    const std::vector<TextureDesc> *textures = &scene_.textures;
    const std::vector<int> *texture_of_tag = &texture_of_tag_;
    host.set_texture_lookup([textures, texture_of_tag](oska_color *result, oska_state *,
                                                       oska_tag tag, const oska_vector *coord) {
        if (result == nullptr || coord == nullptr || tag >= texture_of_tag->size() ||
            (*texture_of_tag)[tag] < 0) {
            return oska_boolean(0);
        }
        const Image &image = (*textures)[static_cast<std::size_t>((*texture_of_tag)[tag])].image;
        return oska_boolean(lookup(image, coord->x, coord->y, false, result) ? 1 : 0);
    });
    const Geometry *geometry = lit_.geometry.get();
    host.set_shadow_tracer([geometry](oska_color *transmission, oska_state *state) {
        // A state that is not one of the renderer's light samples sees
        // nothing in the way.
        const auto *query =
            state != nullptr ? static_cast<SampleContext *>(state->host_data) : nullptr;
        if (transmission == nullptr || query == nullptr || query->shadow_rays == nullptr) {
            return oska_boolean(1);
        }
        ++*query->shadow_rays;
        if (geometry->occluded(query->from, query->to)) {
            *transmission = {0, 0, 0, 1};
        }
        return oska_boolean(1);
    });
}

} // namespace oska::render
