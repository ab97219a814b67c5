// Host function table: one slot per bound host function, resolved by name in
// the host module at first use.
#include "binding/binding.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace oska {
namespace {

// Error numbers for a lookup that fails. Windows reports its own through
// GetLastError. dlsym has no number, only text, so Linux reports the numbers
// Windows gives for the same failures, and logs read alike on both.
constexpr unsigned long kNoModuleError = 6;                    // no module handle yet
[[maybe_unused]] constexpr unsigned long kNoSymbolError = 127; // name not exported

// Zero-initialised static storage: every slot starts unresolved without any
// start-up code. Relaxed atomics compile to plain word loads and stores; they
// only make concurrent first calls, which all store the same entry point,
// well defined.
std::atomic<void *> g_module;
std::atomic<void *> g_slots[host_slot_count];

constexpr const char *kHostFunctionNames[host_slot_count] = {
#define OSKA_SLOT_NAME(kind, result, name, params, args) #name,
    OSKA_HOST_FUNCTIONS(OSKA_SLOT_NAME)
#undef OSKA_SLOT_NAME
};

// A null module is never handed to the system: both dlsym and GetProcAddress
// would then search the main program and could bind a function of a module
// the host never named.
void *system_lookup(void *module, const char *name, unsigned long *error) {
    if (module == nullptr) {
        *error = kNoModuleError;
        return nullptr;
    }
#if defined(_WIN32)
    FARPROC entry = GetProcAddress(static_cast<HMODULE>(module), name);
    if (entry == nullptr) {
        *error = GetLastError();
    }
    return reinterpret_cast<void *>(entry);
#else
    void *entry = dlsym(module, name);
    if (entry == nullptr) {
        dlerror(); // clear the text so it does not linger for the host
        *error = kNoSymbolError;
    }
    return entry;
#endif
}

[[gnu::noinline]] void *resolve(HostSlot slot) {
    void *module = g_module.load(std::memory_order_relaxed);
    if (module == nullptr) {
        std::fputs("DYNLOAD: dl_handle null\n", stderr);
    }
    const char *name = kHostFunctionNames[slot];
    unsigned long error = 0;
    void *entry = system_lookup(module, name, &error);
    g_slots[slot].store(entry, std::memory_order_relaxed);
    if (entry == nullptr) {
        std::fprintf(stderr, "dlsym failed on \"%s\" (handle: %08x error: %d)\n", name,
                     static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(module)),
                     static_cast<int>(error));
    }
    return entry;
}

// Storage read by a parameter whose attached shader gave no value: zero for
// every type, colours included.
alignas(16) const unsigned char kZeroValue[16] = {};

template <class R> inline R zero_result() { return R(); }
template <> inline void zero_result<void>() {}

} // namespace

void bind_module(void *module) {
    g_module.store(module, std::memory_order_relaxed);
    for (std::atomic<void *> &slot : g_slots) {
        slot.store(nullptr, std::memory_order_relaxed);
    }
}

void *host_function(HostSlot slot) {
    void *entry = g_slots[slot].load(std::memory_order_relaxed);
    if (__builtin_expect(entry != nullptr, 1)) {
        return entry;
    }
    return resolve(slot);
}

const void *param_address(oska_state *state, const void *param) {
    const oska_function *function = state != nullptr ? state->function : nullptr;
    const std::int32_t offset = function != nullptr ? function->attach_offset : 0;
    if (offset == 0) {
        return param;
    }
    std::int32_t attached;
    std::memcpy(&attached, static_cast<const char *>(param) + offset, sizeof attached);
    if (attached == 0) {
        return param;
    }
    return mi_phen_eval(state, const_cast<void *>(param));
}

const void *param_eval(oska_state *state, const void *param) {
    const void *value = param_address(state, param);
    return value != nullptr ? value : kZeroValue;
}

namespace {

// Formats on the stack and hands the host the finished text as the argument
// of "%s", so a '%' that the formatting produced (a name such as "50%") is
// printed, never read as a conversion. Longer texts are cut at the buffer.
void forward_message(HostSlot slot, const char *format, va_list args) {
    auto host = reinterpret_cast<mi_error_fn>(host_function(slot));
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    text[sizeof text - 1] = '\0';
    if (host != nullptr) {
        host("%s", text);
    }
}

} // namespace
} // namespace oska

using oska::host_function;
using oska::zero_result;

// Plain bindings: forward the caller's arguments unchanged. The resolved
// path is a load, a test and a jump to the host; the first call (or one
// whose function the host lacks) goes through a cold function of its own, so
// the resolved path needs no stack frame.
#define OSKA_BIND_PLAIN(result, name, params, args)                                                \
    namespace {                                                                                    \
    [[gnu::noinline, gnu::cold]] result name##_first_call params {                                 \
        auto host = reinterpret_cast<name##_fn>(host_function(oska::slot_##name));                 \
        if (host == nullptr) {                                                                     \
            return zero_result<result>();                                                          \
        }                                                                                          \
        return host args;                                                                          \
    }                                                                                              \
    }                                                                                              \
    extern "C" result OSKA_CALL name params {                                                      \
        auto host = reinterpret_cast<name##_fn>(                                                   \
            oska::g_slots[oska::slot_##name].load(std::memory_order_relaxed));                     \
        if (__builtin_expect(host != nullptr, 1)) {                                                \
            return host args;                                                                      \
        }                                                                                          \
        return name##_first_call args;                                                             \
    }
#define OSKA_BIND_QUERY(result, name, params, args)
#define OSKA_BIND_MESSAGE(result, name, params, args)                                              \
    extern "C" result OSKA_CALL name(const char *format, ...) {                                    \
        va_list args_;                                                                             \
        va_start(args_, format);                                                                   \
        oska::forward_message(oska::slot_##name, format, args_);                                   \
        va_end(args_);                                                                             \
    }
#define OSKA_BIND(kind, result, name, params, args) OSKA_BIND_##kind(result, name, params, args)
OSKA_HOST_FUNCTIONS(OSKA_BIND)
#undef OSKA_BIND

// Requests 15 and 127 take a fifth word, which is forwarded; every other
// request is four words, passed as they came.
extern "C" oska_boolean OSKA_CALL mi_query(int request, oska_state *state, oska_tag tag,
                                           void *result, ...) {
    auto host = reinterpret_cast<mi_query_fn>(host_function(oska::slot_mi_query));
    if (host == nullptr) {
        return 0;
    }
    if (request == OSKA_QUERY_EXTRA_15 || request == OSKA_QUERY_EXTRA_127) {
        va_list extra;
        va_start(extra, result);
        void *fifth = va_arg(extra, void *);
        va_end(extra);
        return host(request, state, tag, result, fifth);
    }
    return host(request, state, tag, result);
}
