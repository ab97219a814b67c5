// The stand-in host's set-up and inspection API: scene, shader instances,
// states, allocator records, messages, log, hooks and fault settings.
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

Host::Impl::Impl() = default;

Host::Impl::Element *Host::Impl::element(oska_tag tag) {
    if (tag == 0 || tag > elements.size()) {
        return nullptr;
    }
    return &elements[tag - 1];
}

const Host::Impl::Element *Host::Impl::element(oska_tag tag) const {
    return const_cast<Impl *>(this)->element(tag);
}

ShaderInstance *Host::Impl::shader_of(const oska_state *state) const {
    if (state == nullptr || state->function == nullptr) {
        return nullptr;
    }
    auto found = shader_by_function.find(state->function);
    return found == shader_by_function.end() ? nullptr : found->second;
}

int Host::Impl::counter_shard() {
    static std::atomic<int> next_shard{0};
    thread_local const int shard = next_shard.fetch_add(1) % kCounterShards;
    return shard;
}

long Host::Impl::total(HostFunction function) const {
    long sum = 0;
    for (const CounterShard &shard : counts) {
        sum += shard[function].load(std::memory_order_relaxed);
    }
    return sum;
}

void Host::Impl::clear_counts() {
    for (CounterShard &shard : counts) {
        for (std::atomic<long> &counter : shard) {
            counter.store(0, std::memory_order_relaxed);
        }
    }
}

void Host::Impl::log(std::string call) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(std::move(call));
}

namespace {

// `copy` looks like a copy of the made state `original` whose sample or parent
// fields were then changed: the library reads those from the original.
bool diverged_copy(const oska_state &copy, const oska_state &original, bool as_sample) {
    if (copy.function != original.function || copy.light_instance != original.light_instance) {
        return false; // a state of its own that uses a made state: fine
    }
    if (as_sample) {
        // Bits, not values: a NaN dot product that was left alone matches itself.
        return copy.vectors != original.vectors || copy.vector_count != original.vector_count ||
               // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison,cert-exp42-c,cert-flp37-c)
               std::memcmp(&copy.emission_dot, &original.emission_dot, sizeof(float)) != 0 ||
               copy.orientation != original.orientation;
    }
    return copy.reflection_level != original.reflection_level ||
           copy.refraction_level != original.refraction_level;
}

} // namespace

void Host::Impl::check_state(const oska_state *state) {
    if (state == nullptr || made_states.count(state) != 0) {
        return;
    }
    const bool copied =
        (made_states.count(state->sample) != 0 && diverged_copy(*state, *state->sample, true)) ||
        (made_states.count(state->parent) != 0 && diverged_copy(*state, *state->parent, false));
    if (copied && !copied_state_reported.exchange(true)) {
        std::fputs("stand-in host: sample or parent fields were set on a copy of a state from "
                   "make_state(); the library reads them from the original. Bind make_state() "
                   "to a reference.\n",
                   stderr);
    }
}

void Host::Impl::clear() {
    elements.clear();
    shaders.clear();
    shader_by_function.clear();
    states.clear();
    made_states.clear();
    copied_state_reported = false;

    for (const auto &[block, size] : released) {
        OSKA_STANDIN_UNPOISON(block, size);
        std::free(block);
    }
    released.clear();
    allocations = 0;
    releases = 0;
    failing_allocations = 0;
    allocator_errors.clear();

    messages.clear();
    calls.clear();
    logging = true;
    clear_counts();

    shadow_result = 1;
    shadow_transmission = {1.0f, 1.0f, 1.0f, 1.0f};
    tracer = nullptr;
    texture_lookup = nullptr;
    fail_texture_lookups = false;

    edits.clear();
    edit_errors.clear();
    open_edits.clear();
    closed_records.clear();
    refuse_edits = false;

    silenced.clear();
    fifth_words.clear();

    faults = HostFaults{};
    slot_answered.clear();
    spare_slot = nullptr;
    invalidate_next = nullptr;
    invalidate_size = 0;
}

// ---- Host --------------------------------------------------------------------

Host::Host() : impl_(std::make_unique<Impl>()) {}
Host::~Host() = default;

Host::Impl &Host::impl() { return *impl_; }

void Host::reset() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->clear();
}

// ---- Scene database

namespace {

void set_element_name(Host::Impl::Element &element, const char *name) {
    element.has_name = name != nullptr;
    element.name = name != nullptr ? name : "";
    element.desc.name = element.has_name ? element.name.c_str() : nullptr;
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
    element.desc = desc;
    element.desc.name = element.has_name ? element.name.c_str() : nullptr;
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
    // The host's texture elements have a type code of their own, neither a
    // light nor an instance.
    constexpr int kTextureType = 6;
    Impl::Element &element = new_element(*impl_, kTextureType, name);
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

const LightDesc *Host::light_desc(oska_tag tag) const {
    const Impl::Element *element = impl_->element(tag);
    return element != nullptr && element->type == OSKA_TYPE_LIGHT ? &element->desc : nullptr;
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
    ShaderInstance &added = *shader;
    impl_->shader_by_function[&added.function] = &added;
    impl_->shaders.push_back(std::move(shader));
    return added;
}

oska_state &Host::make_state(ShaderInstance &shader, oska_tag light_instance) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    oska_state &state = impl_->states.emplace_back();
    state = oska_state{};
    state.function = &shader.function;
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

void Host::fail_allocations(int count) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->failing_allocations = std::max(count, 0);
}

// ---- Messages and the call log

std::vector<Message> Host::messages() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->messages;
}

std::vector<std::string> Host::texts(Level level) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<std::string> texts;
    for (const Message &message : impl_->messages) {
        if (message.level == level) {
            texts.push_back(message.text);
        }
    }
    return texts;
}

void Host::set_logging(bool on) { impl_->logging = on; }

std::vector<Call> Host::calls() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->calls;
}

void Host::clear_calls() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->calls.clear();
    impl_->clear_counts();
}

long Host::count(const char *function) const {
    for (int i = 0; i < host_function_count; ++i) {
        if (function != nullptr && std::strcmp(function, kFunctionNames[i]) == 0) {
            return impl_->total(static_cast<HostFunction>(i));
        }
    }
    return 0;
}

// ---- Shadows, textures, edits, queries

void Host::set_shadow(oska_boolean result, oska_color transmission) {
    impl_->shadow_result = result;
    impl_->shadow_transmission = transmission;
}

void Host::set_shadow_tracer(ShadowTracer tracer) { impl_->tracer = std::move(tracer); }

void Host::set_texture_lookup(TextureLookup lookup) { impl_->texture_lookup = std::move(lookup); }

void Host::fail_texture_lookups(bool on) { impl_->fail_texture_lookups = on; }

std::vector<Host::Edit> Host::edits() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->edits;
}

std::vector<unsigned char> Host::Impl::record_bytes(oska_tag tag) const {
    const Element *e = element(tag);
    const auto *bytes =
        e == nullptr                    ? nullptr
        : e->type == OSKA_TYPE_LIGHT    ? reinterpret_cast<const unsigned char *>(&e->light)
        : e->type == OSKA_TYPE_INSTANCE ? reinterpret_cast<const unsigned char *>(&e->instance)
                                        : nullptr;
    const std::size_t size =
        e != nullptr && e->type == OSKA_TYPE_LIGHT ? sizeof e->light : sizeof e->instance;
    return bytes == nullptr ? std::vector<unsigned char>{}
                            : std::vector<unsigned char>(bytes, bytes + size);
}

std::string Host::Impl::closed_record_fault(oska_tag tag) const {
    auto found = closed_records.find(tag);
    if (found == closed_records.end() || record_bytes(tag) == found->second) {
        return "";
    }
    return std::to_string(tag) + ": written after mi_scene_edit_end closed it";
}

std::vector<std::string> Host::edit_errors() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<std::string> errors = impl_->edit_errors;
    for (const auto &entry : impl_->closed_records) {
        if (std::string fault = impl_->closed_record_fault(entry.first); !fault.empty()) {
            errors.push_back(fault);
        }
    }
    return errors;
}

bool Host::edit_open() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (const auto &entry : impl_->open_edits) {
        if (entry.second.open != 0) {
            return true;
        }
    }
    return false;
}

void Host::refuse_edits(bool on) { impl_->refuse_edits = on; }

void Host::silence_query(int request, bool on) {
    if (on) {
        impl_->silenced.insert(request);
    } else {
        impl_->silenced.erase(request);
    }
}

std::vector<void *> Host::fifth_words() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->fifth_words;
}

// ==== Host faults =============================================================

void Host::set_faults(const HostFaults &faults) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults = faults;
}

void Host::write_param(ShaderInstance &shader, std::size_t offset, const void *value,
                       std::size_t size) {
    const HostFaults &faults = impl_->faults;
    if (faults.moved_field >= 0 && offset == std::size_t(faults.moved_field)) {
        offset = std::size_t(long(offset) + faults.moved_by);
    }
    if (offset + size <= shader.storage.size()) {
        std::memcpy(shader.storage.data() + offset, value, size);
    }
}

void Host::Impl::invalidate_edited_record() {
    if (!faults.edit_invalidated_early) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (invalidate_next != nullptr) {
        std::memset(invalidate_next, 0xDD, invalidate_size);
        invalidate_next = nullptr;
    }
}

// ==== End of host faults ======================================================

// Never destroyed: the library may call into the host while the process
// shuts down, after static objects have gone.
Host &host() {
    static Host *const instance = new Host;
    return *instance;
}

} // namespace oska::host
