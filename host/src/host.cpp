// The host core's set-up API: scene, shader instances, states, allocator
// records and hooks.
#include "host_impl.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace oska::host {

// ---- Shader instances ------------------------------------------------------

void ShaderInstance::attach(std::size_t offset, const void *value, std::size_t size) {
    auto entry = std::make_unique<Attached>();
    // The library reads a colour (16 bytes) at most; a shorter value reads
    // as zero beyond its end.
    entry->value.assign(std::max<std::size_t>(size, 16), 0);
    if (size > 0) {
        std::memcpy(entry->value.data(), value, size);
    }
    // The attachment word says "attached"; a record whose attachment offset
    // was set to 0 (or points outside the storage) has no word to mark.
    const int32_t marker = attach_marker;
    const std::size_t word = offset + std::size_t(function.attach_offset);
    if (function.attach_offset > 0 && word + sizeof marker <= storage.size()) {
        std::memcpy(storage.data() + word, &marker, sizeof marker);
    }
    attached[offset] = std::move(entry);
}

void ShaderInstance::attach_null(std::size_t offset) {
    attach(offset, nullptr, 0);
    attached[offset]->answer_null = true;
}

int ShaderInstance::evaluations(std::size_t offset) const {
    auto found = attached.find(offset);
    return found == attached.end() ? 0 : found->second->evaluations.load();
}

// ---- Host::Impl --------------------------------------------------------------

Host::Impl::Element *Host::Impl::element(oska_tag tag) {
    if (tag == 0 || tag > elements.size()) {
        return nullptr;
    }
    return &elements[tag - 1];
}

const Host::Impl::Element *Host::Impl::element(oska_tag tag) const {
    return const_cast<Impl *>(this)->element(tag);
}

void Host::Impl::clear() {
    elements.clear();
    shaders.clear();
    states.clear();
    made_states.clear();

    for (const auto &[block, size] : released) {
        OSKA_HOST_UNPOISON(block, size);
        std::free(block);
    }
    released.clear();
    allocations = 0;
    releases = 0;
    allocator_errors.clear();

    message_sink = nullptr;
    shadow_result = 1;
    shadow_transmission = {1.0f, 1.0f, 1.0f, 1.0f};
    tracer = nullptr;
    texture_lookup = nullptr;
}

// ---- Host --------------------------------------------------------------------

Host::Host() : impl_(std::make_unique<Impl>()) {}
Host::~Host() = default;

Host::Impl &Host::impl() { return *impl_; }

Host::Impl &impl_of(Host &host) { return host.impl(); }

void Host::reset() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->clear();
}

// ---- Scene database

namespace {

void set_element_name(Host::Impl::Element &element, const char *name) {
    element.has_name = name != nullptr;
    element.name = name != nullptr ? name : "";
}

Host::Impl::Element &new_element(Host::Impl &impl, int type, const char *name) {
    Host::Impl::Element &element = impl.elements.emplace_back();
    element.type = type;
    set_element_name(element, name);
    return element;
}

oska_tag last_tag(const Host::Impl &impl) { return oska_tag(impl.elements.size()); }

} // namespace

oska_tag Host::add_light(const LightDesc &desc) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Element &element = new_element(*impl_, OSKA_TYPE_LIGHT, desc.name);
    element.exponent = desc.exponent;
    element.light.area_kind = desc.area_kind;
    return last_tag(*impl_);
}

oska_tag Host::add_instance(oska_tag item, const char *name, float emit_divisor) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Element &element = new_element(*impl_, OSKA_TYPE_INSTANCE, name);
    element.instance.item = item;
    element.emit_divisor = emit_divisor;
    return last_tag(*impl_);
}

oska_tag Host::add_texture(Image image, const char *name) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Element &element = new_element(*impl_, OSKA_TYPE_TEXTURE, name);
    element.is_texture = true;
    element.image = std::move(image);
    return last_tag(*impl_);
}

oska_tag Host::add_element(int type, const char *name) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    new_element(*impl_, type, name);
    return last_tag(*impl_);
}

void Host::set_name(oska_tag tag, const char *name) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (Impl::Element *element = impl_->element(tag)) {
        set_element_name(*element, name);
    }
}

oska_light *Host::light(oska_tag tag) {
    Impl::Element *element = impl_->element(tag);
    return element != nullptr && element->type == OSKA_TYPE_LIGHT ? &element->light : nullptr;
}

oska_instance *Host::instance(oska_tag tag) {
    Impl::Element *element = impl_->element(tag);
    return element != nullptr && element->type == OSKA_TYPE_INSTANCE ? &element->instance : nullptr;
}

int Host::type(oska_tag tag) const {
    const Impl::Element *element = impl_->element(tag);
    return element != nullptr ? element->type : 0;
}

// ---- Shader instances and states

ShaderInstance &Host::add_shader(const char *name, std::size_t record_size, std::size_t extra) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto shader = std::make_unique<ShaderInstance>();
    shader->name = name != nullptr ? name : "";
    shader->record_size = record_size;
    // The attachment words mirror the parameters, one storage size further
    // on; never 0, which would say that no parameter can be attached.
    const std::size_t mirrored = std::max<std::size_t>((record_size + extra + 7) / 8 * 8, 8);
    shader->function.attach_offset = int32_t(mirrored);
    shader->storage.assign(2 * mirrored, 0);
    // A number, never followed as an address: shader_of checks it against
    // the list before use.
    shader->state_key = reinterpret_cast<void *>( // NOLINT(performance-no-int-to-ptr)
        impl_->shaders.size() + 1);
    ShaderInstance &added = *shader;
    impl_->shaders.push_back(std::move(shader));
    return added;
}

oska_state &Host::make_state(ShaderInstance &shader, oska_tag light_instance) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    oska_state &state = impl_->states.emplace_back();
    state = oska_state{};
    shader.address(state);
    state.ray_kind = OSKA_RAY_LIGHT;
    state.light_instance = light_instance;
    state.sample = &state;
    state.parent = &state;
    impl_->made_states.insert(&state);
    return state;
}

// ---- Allocator

std::vector<Block> Host::leaks() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<Block> live;
    for (const auto &entry : impl_->blocks) {
        live.push_back(entry.second);
    }
    return live;
}

void Host::release_leaks() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (const auto &entry : impl_->blocks) {
        std::free(entry.first);
    }
    impl_->blocks.clear();
}

long Host::allocations() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->allocations;
}

long Host::releases() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->releases;
}

std::vector<std::string> Host::allocator_errors() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->allocator_errors;
}

void Host::set_message_sink(MessageSink sink) { impl_->message_sink = std::move(sink); }

// ---- Shadows and textures

void Host::set_shadow(oska_boolean result, oska_color transmission) {
    impl_->shadow_result = result;
    impl_->shadow_transmission = transmission;
}

void Host::set_shadow_tracer(ShadowTracer tracer) { impl_->tracer = std::move(tracer); }

void Host::set_texture_lookup(TextureLookup lookup) { impl_->texture_lookup = std::move(lookup); }

} // namespace oska::host
