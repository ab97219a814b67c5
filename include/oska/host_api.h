/*
 * oska host interface: everything a host renderer and the oska shader library
 * share. A host compiles against this header alone.
 *
 * The library is not linked against its host. The host loads it by file name,
 * calls miSetModuleHandle with its own module handle, and then the shaders'
 * exports. The library calls back into the host through the mi_ functions,
 * which it looks up by name in that module at their first use; a host
 * therefore defines and exports every function of OSKA_HOST_FUNCTIONS below.
 *
 * Every record that crosses the boundary is laid out here and its layout is
 * checked at compile time, for the 32-bit Windows build as for 64-bit Linux.
 * The header compiles as C and as C++.
 */
#ifndef OSKA_HOST_API_H
#define OSKA_HOST_API_H

#include <stddef.h>
#include <stdint.h>

/* Calling convention of every function that crosses the boundary, in either
 * direction. On 32-bit Windows both sides must agree on cdecl. */
#if defined(_WIN32)
#define OSKA_CALL __cdecl
#define OSKA_EXPORT __declspec(dllexport)
#else
#define OSKA_CALL
#define OSKA_EXPORT __attribute__((visibility("default")))
#endif

/* A host defines OSKA_BUILDING_HOST so that its mi_ functions are exported by
 * name from its module. The library defines OSKA_BUILDING_LIBRARY so that its
 * nine entry points are exported; its own mi_ bindings stay internal. */
#if defined(OSKA_BUILDING_HOST)
#define OSKA_HOST_API OSKA_EXPORT
#else
#define OSKA_HOST_API
#endif
#if defined(OSKA_BUILDING_LIBRARY)
#define OSKA_LIBRARY_API OSKA_EXPORT
#else
#define OSKA_LIBRARY_API
#endif

#if defined(__cplusplus)
#define OSKA_STATIC_ASSERT(cond, text) static_assert(cond, text)
#else
#define OSKA_STATIC_ASSERT(cond, text) _Static_assert(cond, text)
#endif

#if defined(__cplusplus)
extern "C" {
#endif

/* ---- Scalar types --------------------------------------------------------
 * A zeroed value of any of them means: 0, false, no element. */
typedef float oska_scalar;
typedef int32_t oska_boolean; /* 0 false, anything else true */
typedef int32_t oska_integer;
typedef uint32_t oska_tag; /* names an element of the host's scene database; 0 none */

typedef struct oska_color {
    float r, g, b, a;
} oska_color;

typedef struct oska_vector {
    float x, y, z;
} oska_vector;

/* ---- Codes ------------------------------------------------------------- */

/* Ray kinds (oska_state.ray_kind). Only the light ray has a meaning to the
 * shaders; a host numbers its other kinds as it likes. */
enum { OSKA_RAY_EYE = 0, OSKA_RAY_LIGHT = 4 };

/* Request codes of mi_query. Each writes its answer at the result address.
 * Requests other than OSKA_QUERY_EXTRA_15 and OSKA_QUERY_EXTRA_127 take four
 * argument words; those two take a fifth, which the binding forwards. */
enum {
    OSKA_QUERY_INSTANCE_LIGHT = 7,  /* tag: light held by a light instance (tag argument) */
    OSKA_QUERY_EXTRA_15 = 15,       /* takes a fifth word; not used by the shaders */
    OSKA_QUERY_LIGHT_AREA = 24,     /* integer: area kind of a light (tag argument) */
    OSKA_QUERY_LIGHT_EXPONENT = 25, /* scalar: distance exponent of a light (tag argument) */
    OSKA_QUERY_SETTINGS_SLOT = 51,  /* void **: the current shader instance's settings slot */
    OSKA_QUERY_EMIT_DIVISOR = 125,  /* scalar: emit divisor of a light instance (tag argument) */
    OSKA_QUERY_EXTRA_127 = 127      /* takes a fifth word; not used by the shaders */
};

/* Area kinds of a light: none (it emits from a point), or an object
 * instance's surface. */
enum { OSKA_AREA_NONE = 0, OSKA_AREA_OBJECT = 5 };

/* Type codes returned by mi_db_type: a piece of geometry an instance places,
 * a light, a texture, an instance, and any other element (neither of those). */
enum {
    OSKA_TYPE_OBJECT = 1,
    OSKA_TYPE_LIGHT = 4,
    OSKA_TYPE_TEXTURE = 6,
    OSKA_TYPE_OTHER = 7,
    OSKA_TYPE_INSTANCE = 10
};

/* Decay laws of oskacolor (its parameter decay), as X(NAME, code, text,
 * ranged): within the range decay_start to decay_end (ranged 1), linearly or
 * by the inverse power; physical (the light's distance exponent); any other
 * code: none. */
#define OSKA_DECAY_LAWS(X)                                                                         \
    X(NONE, 0, "none", 0)                                                                          \
    X(LINEAR, 1, "linear in range", 1)                                                             \
    X(INVERSE_POWER, 2, "inverse power in range", 1)                                               \
    X(PHYSICAL, 3, "physical", 0)
#define OSKA_DECLARE_DECAY_LAW(name, code, text, ranged) OSKA_DECAY_##name = code,
enum { OSKA_DECAY_LAWS(OSKA_DECLARE_DECAY_LAW) };
#undef OSKA_DECLARE_DECAY_LAW

/* ---- Shading state -----------------------------------------------------
 * The host's record of the shader function being called. attach_offset is
 * the distance in bytes from a parameter to the word that says whether the
 * parameter is attached to another shader (non-zero) or holds its value in
 * place (zero); 0 means no parameter of this call is attached. A host may
 * embed this record at the start of a larger one of its own. */
typedef struct oska_function {
    int32_t attach_offset;
    int32_t reserved;
} oska_function;

/* One record per call. The shaders read:
 *  - from the call's state: function, ray_kind, distance, light_instance,
 *    sample and parent;
 *  - from the sample state (the sampled point on the emitting object):
 *    vectors/vector_count (entry 0 the texture coordinate, entry 2n the vertex
 *    vector of channel n), emission_dot (the emission cosine is its negation)
 *    and orientation (non-zero: the sample faces the illuminated point);
 *  - from the parent state: reflection_level and refraction_level.
 * A state may be its own sample or parent state. host_data is the host's. */
typedef struct oska_state {
    double distance;           /* light sample to illuminated point */
    int32_t ray_kind;          /* OSKA_RAY_... */
    int32_t reflection_level;  /* read from the parent state */
    int32_t refraction_level;  /* read from the parent state */
    oska_tag light_instance;   /* light instance being served */
    float emission_dot;        /* read from the sample state */
    int32_t vector_count;      /* entries in vectors; read from the sample state */
    unsigned char orientation; /* read from the sample state */
    unsigned char reserved[7];
    const oska_function *function; /* shader function being called */
    struct oska_state *parent;
    struct oska_state *sample;
    const oska_vector *vectors; /* read from the sample state */
    void *host_data;
    void *host_data2;
} oska_state;

/* ---- Editable scene records -------------------------------------------
 * What mi_scene_edit returns for a light and an instance. A host may keep
 * more after these fields. */
typedef struct oska_light {
    int32_t area_kind;        /* OSKA_AREA_OBJECT for an object light */
    oska_tag object_instance; /* instance whose surface emits */
    uint16_t samples[5];      /* sample counts, first to fifth */
    uint16_t reserved;
    int32_t extra; /* the 32-bit field that follows the sample counts */
} oska_light;

typedef struct oska_instance {
    oska_tag item;          /* element the instance places: object or light */
    unsigned char flags[8]; /* the instance flag bytes */
} oska_instance;

/* ---- Host functions ----------------------------------------------------
 * X(kind, result type, name, parameters, arguments). kind PLAIN forwards its
 * arguments unchanged; QUERY and MESSAGE take variable arguments.
 * The message functions take printf conventions; the library hands them its
 * formatted text as the argument of a "%s" format, so a host prints it as is. */
#define OSKA_HOST_FUNCTIONS(X)                                                                     \
    X(PLAIN, void *, mi_scene_edit, (oska_tag tag), (tag))                                         \
    X(PLAIN, void, mi_scene_edit_end, (oska_tag tag), (tag))                                       \
    X(PLAIN, oska_boolean, mi_trace_shadow, (oska_color * transmission, oska_state * state),       \
      (transmission, state))                                                                       \
    X(PLAIN, void *, mi_phen_eval, (oska_state * state, void *param), (state, param))              \
    X(PLAIN, void *, mi_mem_int_allocate, (const char *file, int line, int size),                  \
      (file, line, size))                                                                          \
    X(PLAIN, void, mi_mem_int_release, (const char *file, int line, void *block),                  \
      (file, line, block))                                                                         \
    X(PLAIN, float, mi_luminance, (oska_state * state, oska_color * color), (state, color))        \
    X(QUERY, oska_boolean, mi_query,                                                               \
      (int request, oska_state *state, oska_tag tag, void *result, ...), ())                       \
    X(PLAIN, oska_boolean, mi_lookup_color_texture,                                                \
      (oska_color * result, oska_state * state, oska_tag texture, oska_vector * coord),            \
      (result, state, texture, coord))                                                             \
    X(MESSAGE, void, mi_error, (const char *format, ...), ())                                      \
    X(MESSAGE, void, mi_warning, (const char *format, ...), ())                                    \
    X(MESSAGE, void, mi_info, (const char *format, ...), ())                                       \
    X(PLAIN, int, mi_db_type, (oska_tag tag), (tag))                                               \
    X(PLAIN, const char *, mi_api_tag_lookup, (oska_tag tag), (tag))

/* The prototypes a host defines, and a pointer type for each. */
#define OSKA_DECLARE_HOST_FUNCTION(kind, result, name, params, args)                               \
    OSKA_HOST_API result OSKA_CALL name params;                                                    \
    typedef result(OSKA_CALL *name##_fn) params;
OSKA_HOST_FUNCTIONS(OSKA_DECLARE_HOST_FUNCTION)
#undef OSKA_DECLARE_HOST_FUNCTION

/* ---- Parameter records -------------------------------------------------
 * The host fills them from the shaders' declarations (oska.decl beside the
 * library), which list the parameters in this order with these types. */

/* ---- Parameter tables -------------------------------------------------
 * One list per shader, in record order, as X(name, TYPE, offset, default,
 * min, max, unit, flags, ROLE, description): TYPE one of COLOR, SCALAR,
 * BOOLEAN, INTEGER, TAG and TAG_ARRAY (an array of tags: start index, count,
 * element slot); offset in bytes, checked against the record below; the
 * default, for every channel of a colour (a zeroed record holds every
 * default); min to max, the range an artist works in (equal when there is
 * none; a value outside is still valid); the unit of that range; flags
 * OSKA_PARAM_..., how a host treats the value; ROLE, what the parameter does
 * (OSKA_ROLE_ROLE; NONE for most), which no two parameters of a shader share.
 * oska.decl, the probe's expectations, the renderer's controls and the
 * tables of the documentation are made from these lists. */

/* Flags of a parameter: how a host treats its value. */
enum {
    OSKA_PARAM_IN_PLACE = 1,   /* read in place, never evaluated when attached */
    OSKA_PARAM_CHANNEL = 2,    /* names a vertex channel; used when the VERTEX_DATA switch
                                * and the boolean just before it are on */
    OSKA_PARAM_SAMPLES = 4,    /* a sample count: 0 to 65535 (the light keeps 16 bits) */
    OSKA_PARAM_ATTENUATES = 8, /* weakens the light by distance, angle, shadow, alpha,
                                * vertex data or threshold; 0 turns that off */
    OSKA_PARAM_INIT = 16       /* read once per instance, by the shader's init (an attached
                                * value is evaluated then); else at every evaluation */
};

/* Roles of parameters, as X(ROLE, code, name): what one parameter does, for a
 * host that shows what a light does or binds a light itself. */
#define OSKA_PARAM_ROLES(X)                                                                        \
    X(NONE, 0, "")                                                                                 \
    /* oskacolor */                                                                                \
    X(EMISSION, 1, "emission")             /* the emission colour; its alpha is the intensity */   \
    X(SHADOWS, 2, "shadows")               /* the switch of shadow tracing */                      \
    X(DECAY, 3, "decay")                   /* the decay law, OSKA_DECAY_... */                     \
    X(RANGE_START, 4, "range_start")       /* where the range of a ranged decay law starts */      \
    X(RANGE_END, 5, "range_end")           /* where that range ends */                             \
    X(TEXTURE, 6, "texture")               /* the tag of the colour texture */                     \
    X(TEXTURE_SOURCE, 7, "texture_source") /* the switch: the TEXTURE is the colour source */      \
    X(BURN, 8, "burn")                     /* the switch: burn the colour source's highlights */   \
    X(HSV, 9, "hsv")                       /* the switch: scale its hue, saturation, value */      \
    X(HUE, 10, "hue")                      /* the hue factor less 1 */                             \
    X(SATURATION, 11, "saturation")        /* the saturation factor less 1 */                      \
    X(VALUE, 12, "value")                  /* the value factor less 1 */                           \
    X(VERTEX_DATA, 13, "vertex_data")      /* the switch of every OSKA_PARAM_CHANNEL */            \
    X(FRONT_ONLY, 14, "front_only")        /* the switch: emit from the front side only */         \
    X(CUTOFF, 15, "cutoff")                /* the emission cosine that side must exceed */         \
    X(THRESHOLD, 16, "threshold")          /* the brightness below which a sample goes dark */     \
    X(DEPTH, 17, "depth")                  /* a trace depth; shadows are traced only below it */   \
    X(VERTEX_SOURCE, 18, "vertex_source")  /* the switch: a vertex colour is the colour source */  \
    /* oskalight */                                                                                \
    X(ENABLE, 19, "enable")             /* the switch: false, the call does nothing */             \
    X(EMITTER, 20, "emitter")           /* the instance whose surface the light emits from */      \
    X(BOUND_LIGHTS, 21, "bound_lights") /* the light instances the call binds */
#define OSKA_DECLARE_PARAM_ROLE(name, code, text) OSKA_ROLE_##name = code,
enum { OSKA_PARAM_ROLES(OSKA_DECLARE_PARAM_ROLE) };
#undef OSKA_DECLARE_PARAM_ROLE

#define OSKACOLOR_PARAMS(X)                                                                        \
    X(color, COLOR, 0, 0, 0, 1, "", 0, EMISSION, "base emission colour; alpha is the intensity")   \
    X(shadows, BOOLEAN, 16, 0, 0, 0, "", OSKA_PARAM_ATTENUATES | OSKA_PARAM_INIT, SHADOWS,         \
      "trace shadows")                                                                             \
    X(shadow_color, COLOR, 20, 0, 0, 1, "", 0, NONE,                                               \
      "multiplies the light where the shadow is complete")                                         \
    X(decay, INTEGER, 36, 0, 0, 3, "", OSKA_PARAM_ATTENUATES | OSKA_PARAM_INIT, DECAY,             \
      "decay law: 1 linear in range, 2 inverse power in range, 3 physical, else none")             \
    X(decay_start, SCALAR, 40, 0, 0, 20, "scene units", 0, RANGE_START,                            \
      "range start (laws 1, 2); exponent of the emission cosine (law 3)")                          \
    X(decay_end, SCALAR, 44, 0, 0, 20, "scene units", 0, RANGE_END,                                \
      "range end (laws 1, 2): from there on nothing arrives")                                      \
    X(texture, TAG, 48, 0, 0, 0, "", OSKA_PARAM_INIT, TEXTURE,                                     \
      "colour texture on the emitting surface")                                                    \
    X(use_texture, BOOLEAN, 52, 0, 0, 0, "", OSKA_PARAM_INIT, TEXTURE_SOURCE,                      \
      "colour source is the texture (unless vertex data)")                                         \
    X(use_alpha, BOOLEAN, 56, 0, 0, 0, "", OSKA_PARAM_ATTENUATES | OSKA_PARAM_INIT, NONE,          \
      "texel alpha scales its colour and sizes the range")                                         \
    X(alpha_scale, SCALAR, 60, 0, 0, 4, "factor", 0, NONE, "factor on the texel alpha")            \
    X(burn, BOOLEAN, 64, 0, 0, 0, "", OSKA_PARAM_INIT, BURN,                                       \
      "highlight burn of the colour source")                                                       \
    X(burn_multiplier, SCALAR, 68, 0, 0, 8, "factor", 0, NONE,                                     \
      "brightening factor of the burn; 1 or less does nothing")                                    \
    X(burn_threshold, SCALAR, 72, 0, 0, 2, "luminance", 0, NONE,                                   \
      "luminance above which the burn acts")                                                       \
    X(burn_power, SCALAR, 76, 0, 0, 8, "exponent", 0, NONE, "exponent of the burn blend")          \
    X(hsv_adjust, BOOLEAN, 80, 0, 0, 0, "", OSKA_PARAM_INIT, HSV,                                  \
      "scale hue, saturation and value of the colour source")                                      \
    X(hue, SCALAR, 84, 0, 0, 4, "factor - 1", 0, HUE, "hue multiplied by 1 + hue")                 \
    X(saturation, SCALAR, 88, 0, 0, 4, "factor - 1", 0, SATURATION,                                \
      "saturation multiplied by 1 + saturation")                                                   \
    X(value, SCALAR, 92, 0, 0, 4, "factor - 1", 0, VALUE, "value multiplied by 1 + value")         \
    X(texture_range, BOOLEAN, 96, 0, 0, 0, "", OSKA_PARAM_ATTENUATES | OSKA_PARAM_INIT, NONE,      \
      "decay range (laws 1, 2) scaled by the texel")                                               \
    X(range_gamma, SCALAR, 100, 0, 0, 4, "exponent", 0, NONE,                                      \
      "the texel's range scale is its luminance (or alpha) to 1 / (range_gamma + 1)")              \
    X(tint_shadow, BOOLEAN, 104, 0, 0, 0, "", OSKA_PARAM_INIT, NONE,                               \
      "shadow colour multiplied by the colour source")                                             \
    X(use_vertex_color, BOOLEAN, 108, 0, 0, 0, "", OSKA_PARAM_INIT, VERTEX_DATA,                   \
      "vertex data for colour, intensity, range and shadow; wins over use_texture")                \
    X(directional, BOOLEAN, 112, 0, 0, 0, "", OSKA_PARAM_ATTENUATES | OSKA_PARAM_INIT, FRONT_ONLY, \
      "emit from the front side only, beyond cutoff")                                              \
    X(cosine, BOOLEAN, 116, 0, 0, 0, "", OSKA_PARAM_ATTENUATES | OSKA_PARAM_INIT, NONE,            \
      "weight a directional light by the emission cosine")                                         \
    X(cutoff, SCALAR, 120, 0, -1, 1, "cosine", 0, CUTOFF, "the emission cosine must exceed it")    \
    X(threshold, SCALAR, 124, 0, 0, 0.5, "brightness", OSKA_PARAM_ATTENUATES | OSKA_PARAM_INIT,    \
      THRESHOLD, "samples whose largest channel is below it go dark; 0 off")                       \
    X(max_level, INTEGER, 128, 0, 0, 0, "", OSKA_PARAM_INIT, DEPTH,                                \
      "shadows traced only below this reflection and refraction depth")                            \
    X(vc_color, BOOLEAN, 132, 0, 0, 0, "", OSKA_PARAM_INIT, VERTEX_SOURCE,                         \
      "colour source is a vertex vector")                                                          \
    X(vc_color_channel, INTEGER, 136, 0, 0, 0, "", OSKA_PARAM_CHANNEL | OSKA_PARAM_INIT, NONE,     \
      "its vertex channel")                                                                        \
    X(vc_intensity, BOOLEAN, 140, 0, 0, 0, "", OSKA_PARAM_ATTENUATES | OSKA_PARAM_INIT, NONE,      \
      "intensity scaled by a vertex vector's x")                                                   \
    X(vc_intensity_channel, INTEGER, 144, 0, 0, 0, "", OSKA_PARAM_CHANNEL | OSKA_PARAM_INIT, NONE, \
      "its vertex channel")                                                                        \
    X(vc_range, BOOLEAN, 148, 0, 0, 0, "", OSKA_PARAM_ATTENUATES | OSKA_PARAM_INIT, NONE,          \
      "range end (laws 1, 2) scaled by a vertex vector's x")                                       \
    X(vc_range_channel, INTEGER, 152, 0, 0, 0, "", OSKA_PARAM_CHANNEL | OSKA_PARAM_INIT, NONE,     \
      "its vertex channel")                                                                        \
    X(vc_shadow, BOOLEAN, 156, 0, 0, 0, "", OSKA_PARAM_INIT, NONE,                                 \
      "shadow colour is a vertex vector")                                                          \
    X(vc_shadow_channel, INTEGER, 160, 0, 0, 0, "", OSKA_PARAM_CHANNEL | OSKA_PARAM_INIT, NONE,    \
      "its vertex channel")

#define OSKALIGHT_PARAMS(X)                                                                        \
    X(reserved, INTEGER, 0, 0, 0, 0, "", 0, NONE, "not read")                                      \
    X(enable, BOOLEAN, 4, 0, 0, 0, "", 0, ENABLE, "false: the call does nothing")                  \
    X(instance, TAG, 8, 0, 0, 0, "", 0, EMITTER, "instance whose surface the light emits from")    \
    X(lights, TAG_ARRAY, 12, 0, 0, 0, "", 0, BOUND_LIGHTS,                                         \
      "light instances; only the element at the start index is bound")                             \
    X(override_samples, BOOLEAN, 24, 0, 0, 0, "", 0, NONE,                                         \
      "write the sample counts and extra_value")                                                   \
    X(samples_1, INTEGER, 28, 0, 0, 0, "samples", OSKA_PARAM_SAMPLES, NONE, "first sample count")  \
    X(samples_2, INTEGER, 32, 0, 0, 0, "samples", OSKA_PARAM_SAMPLES, NONE, "second sample count") \
    X(samples_3, INTEGER, 36, 0, 0, 0, "samples", OSKA_PARAM_SAMPLES, NONE, "fifth sample count")  \
    X(samples_4, INTEGER, 40, 0, 0, 0, "samples", OSKA_PARAM_SAMPLES, NONE, "third sample count")  \
    X(samples_5, INTEGER, 44, 0, 0, 0, "samples", OSKA_PARAM_SAMPLES, NONE, "fourth sample count") \
    X(extra_value, INTEGER, 48, 0, 0, 0, "", 0, NONE, "the light's 32-bit field after the counts") \
    X(set_instance_flags, BOOLEAN, 52, 0, 0, 0, "", OSKA_PARAM_IN_PLACE, NONE,                     \
      "set the instance flag bytes")

/* The shaders, as X(name, result type as oska.decl names it, parameter list). */
#define OSKA_SHADERS(X)                                                                            \
    X(oskacolor, "color", OSKACOLOR_PARAMS)                                                        \
    X(oskalight, "boolean", OSKALIGHT_PARAMS)

/* A parameter's TYPE: its base type, whether it is an array (1) or not (0),
 * its size in the record and its name in oska.decl; and the record field at
 * the parameter's offset. */
enum {
    OSKA_PARAM_TYPE_COLOR,
    OSKA_PARAM_TYPE_SCALAR,
    OSKA_PARAM_TYPE_BOOLEAN,
    OSKA_PARAM_TYPE_INTEGER,
    OSKA_PARAM_TYPE_TAG
};
#define OSKA_PARAM_KIND_COLOR OSKA_PARAM_TYPE_COLOR, 0, 16, "color"
#define OSKA_PARAM_KIND_SCALAR OSKA_PARAM_TYPE_SCALAR, 0, 4, "scalar"
#define OSKA_PARAM_KIND_BOOLEAN OSKA_PARAM_TYPE_BOOLEAN, 0, 4, "boolean"
#define OSKA_PARAM_KIND_INTEGER OSKA_PARAM_TYPE_INTEGER, 0, 4, "integer"
#define OSKA_PARAM_KIND_TAG OSKA_PARAM_TYPE_TAG, 0, 4, "tag"
#define OSKA_PARAM_KIND_TAG_ARRAY OSKA_PARAM_TYPE_TAG, 1, 12, "array tag"
#define OSKA_PARAM_APPLY(macro, args) macro args
#define OSKA_PARAM_SIZE_OF_KIND(type, array, size, decl) size
#define OSKA_PARAM_SIZE(TYPE) OSKA_PARAM_APPLY(OSKA_PARAM_SIZE_OF_KIND, (OSKA_PARAM_KIND_##TYPE))
#define OSKA_PARAM_FIELD_COLOR(name) name
#define OSKA_PARAM_FIELD_SCALAR(name) name
#define OSKA_PARAM_FIELD_BOOLEAN(name) name
#define OSKA_PARAM_FIELD_INTEGER(name) name
#define OSKA_PARAM_FIELD_TAG(name) name
#define OSKA_PARAM_FIELD_TAG_ARRAY(name) name##_start

/* One row of a table as data: `static const oska_param_info rows[] =
 * {OSKACOLOR_PARAMS(OSKA_PARAM_INFO)};`. */
typedef struct oska_param_info {
    const char *name;
    int type;              /* OSKA_PARAM_TYPE_... */
    int array;             /* 1: start index, count and element slot */
    int size;              /* bytes in the record */
    const char *decl_type; /* as oska.decl writes it: "color", "array tag" */
    int offset;
    float default_value;
    float min, max;
    const char *unit;
    unsigned flags; /* OSKA_PARAM_... */
    int role;       /* OSKA_ROLE_... */
    const char *description;
} oska_param_info;
#define OSKA_PARAM_INFO(name, type, offset, def, min, max, unit, flags, role, text)                \
    {#name, OSKA_PARAM_KIND_##type, offset, def, min, max, unit, flags, OSKA_ROLE_##role, text},

/* oskacolor. Read: init (i) or every evaluation (e). */
typedef struct oskacolor_params {
    oska_color color;                  /* e  base emission colour; alpha is the intensity */
    oska_boolean shadows;              /* i  trace shadows */
    oska_color shadow_color;           /* e  colour where the shadow is complete */
    oska_integer decay;                /* i  1 linear, 2 inverse power, 3 physical, else none */
    oska_scalar decay_start;           /* e  range start; mode 3: exponent of the emission cosine */
    oska_scalar decay_end;             /* e  range end */
    oska_tag texture;                  /* i  colour texture on the emitting surface */
    oska_boolean use_texture;          /* i  colour source is the texture */
    oska_boolean use_alpha;            /* i  texture alpha scales colour and range */
    oska_scalar alpha_scale;           /* e  factor on the texture alpha */
    oska_boolean burn;                 /* i  highlight burn of the colour source */
    oska_scalar burn_multiplier;       /* e */
    oska_scalar burn_threshold;        /* e */
    oska_scalar burn_power;            /* e */
    oska_boolean hsv_adjust;           /* i  scale hue, saturation, value of the colour source */
    oska_scalar hue;                   /* e */
    oska_scalar saturation;            /* e */
    oska_scalar value;                 /* e */
    oska_boolean texture_range;        /* i  decay range scaled by the texture */
    oska_scalar range_gamma;           /* e */
    oska_boolean tint_shadow;          /* i  shadow colour tinted by the colour source */
    oska_boolean use_vertex_color;     /* i  vertex data; wins over use_texture */
    oska_boolean directional;          /* i  one-sided emission with cutoff */
    oska_boolean cosine;               /* i  weight by the emission cosine */
    oska_scalar cutoff;                /* e  emission cosine must exceed it */
    oska_scalar threshold;             /* i  brightness threshold; 0 off */
    oska_integer max_level;            /* i  shadow trace depth limit */
    oska_boolean vc_color;             /* i */
    oska_integer vc_color_channel;     /* i */
    oska_boolean vc_intensity;         /* i */
    oska_integer vc_intensity_channel; /* i */
    oska_boolean vc_range;             /* i */
    oska_integer vc_range_channel;     /* i */
    oska_boolean vc_shadow;            /* i */
    oska_integer vc_shadow_channel;    /* i */
} oskacolor_params;

/* oskalight: a fixed part of fourteen 32-bit slots, 56 bytes. lights is an
 * array parameter in the host's form: its elements start lights_start
 * elements after the slot at offset 20 and may lie past the fixed part. */
typedef struct oskalight_params {
    int32_t reserved;
    oska_boolean enable;
    oska_tag instance;
    oska_integer lights_start;
    oska_integer lights_count;
    oska_tag lights[1];
    oska_boolean override_samples;
    oska_integer samples_1;
    oska_integer samples_2;
    oska_integer samples_3;
    oska_integer samples_4;
    oska_integer samples_5;
    oska_integer extra_value;
    oska_boolean set_instance_flags; /* read in place, never evaluated */
} oskalight_params;

/* ---- The library's exports --------------------------------------------- */
typedef int(OSKA_CALL *oska_set_module_handle_fn)(void *module);
typedef int(OSKA_CALL *oska_version_fn)(void);
typedef oska_boolean(OSKA_CALL *oska_shader_fn)(void *result, oska_state *state, void *params);
typedef void(OSKA_CALL *oska_init_fn)(oska_state *state, void *params, oska_boolean *init_req);
typedef void(OSKA_CALL *oska_exit_fn)(oska_state *state, void *params);

/* The nine entry points a host finds by name, as X(result type, name,
 * parameters): the prototypes below, a pointer type name_fn for each, and a
 * host's table of them all come from this one list. */
#define OSKA_EXPORTED_FUNCTIONS(X)                                                                 \
    X(int, miSetModuleHandle, (void *module))                                                      \
    X(int, oskacolor_version, (void))                                                              \
    X(oska_boolean, oskacolor,                                                                     \
      (oska_color * result, oska_state * state, oskacolor_params * params))                        \
    X(void, oskacolor_init,                                                                        \
      (oska_state * state, oskacolor_params * params, oska_boolean * init_req))                    \
    X(void, oskacolor_exit, (oska_state * state, oskacolor_params * params))                       \
    X(int, oskalight_version, (void))                                                              \
    X(oska_boolean, oskalight, (void *result, oska_state *state, oskalight_params *params))        \
    X(void, oskalight_init,                                                                        \
      (oska_state * state, oskalight_params * params, oska_boolean * init_req))                    \
    X(void, oskalight_exit, (oska_state * state, oskalight_params * params))

#define OSKA_DECLARE_EXPORTED_FUNCTION(result, name, params)                                       \
    OSKA_LIBRARY_API result OSKA_CALL name params;                                                 \
    typedef result(OSKA_CALL *name##_fn) params;
OSKA_EXPORTED_FUNCTIONS(OSKA_DECLARE_EXPORTED_FUNCTION)
#undef OSKA_DECLARE_EXPORTED_FUNCTION

#if defined(__cplusplus)
}
#endif

/* ---- Layout checks ------------------------------------------------------
 * P picks the offset for the pointer size of the build: 32-bit Windows or
 * 64-bit Linux. */
#define OSKA_P(off32, off64) (sizeof(void *) == 4 ? (off32) : (off64))
#define OSKA_CHECK_OFFSET(type, field, off)                                                        \
    OSKA_STATIC_ASSERT(offsetof(type, field) == (off), #type "." #field " moved")
#define OSKA_CHECK_SIZE(type, size) OSKA_STATIC_ASSERT(sizeof(type) == (size), #type " resized")

OSKA_CHECK_SIZE(oska_scalar, 4);
OSKA_CHECK_SIZE(oska_boolean, 4);
OSKA_CHECK_SIZE(oska_integer, 4);
OSKA_CHECK_SIZE(oska_tag, 4);
OSKA_CHECK_SIZE(oska_color, 16);
OSKA_CHECK_OFFSET(oska_color, a, 12);
OSKA_CHECK_SIZE(oska_vector, 12);
OSKA_CHECK_OFFSET(oska_vector, z, 8);

OSKA_CHECK_SIZE(oska_function, 8);
OSKA_CHECK_OFFSET(oska_function, attach_offset, 0);

OSKA_CHECK_OFFSET(oska_state, distance, 0);
OSKA_CHECK_OFFSET(oska_state, ray_kind, 8);
OSKA_CHECK_OFFSET(oska_state, reflection_level, 12);
OSKA_CHECK_OFFSET(oska_state, refraction_level, 16);
OSKA_CHECK_OFFSET(oska_state, light_instance, 20);
OSKA_CHECK_OFFSET(oska_state, emission_dot, 24);
OSKA_CHECK_OFFSET(oska_state, vector_count, 28);
OSKA_CHECK_OFFSET(oska_state, orientation, 32);
OSKA_CHECK_OFFSET(oska_state, function, 40);
OSKA_CHECK_OFFSET(oska_state, parent, OSKA_P(44, 48));
OSKA_CHECK_OFFSET(oska_state, sample, OSKA_P(48, 56));
OSKA_CHECK_OFFSET(oska_state, vectors, OSKA_P(52, 64));
OSKA_CHECK_OFFSET(oska_state, host_data, OSKA_P(56, 72));
OSKA_CHECK_OFFSET(oska_state, host_data2, OSKA_P(60, 80));
OSKA_CHECK_SIZE(oska_state, OSKA_P(64, 88));

OSKA_CHECK_SIZE(oska_light, 24);
OSKA_CHECK_OFFSET(oska_light, area_kind, 0);
OSKA_CHECK_OFFSET(oska_light, object_instance, 4);
OSKA_CHECK_OFFSET(oska_light, samples, 8);
OSKA_CHECK_OFFSET(oska_light, extra, 20);
OSKA_CHECK_SIZE(oska_instance, 12);
OSKA_CHECK_OFFSET(oska_instance, item, 0);
OSKA_CHECK_OFFSET(oska_instance, flags, 4);

/* Each table row lies where the record has its field, and the rows fill the
 * record without gaps. */
#define OSKA_CHECK_PARAM(record, name, type, offset, def, min, max, unit, flags, role, text)       \
    OSKA_STATIC_ASSERT(offsetof(record, OSKA_PARAM_FIELD_##type(name)) == (offset),                \
                       #record "." #name " moved");
#define OSKA_PARAM_SIZE_PLUS(name, type, offset, def, min, max, unit, flags, role, text)           \
    +OSKA_PARAM_SIZE(type)
#define OSKA_CHECK_COLOR_PARAM(...) OSKA_CHECK_PARAM(oskacolor_params, __VA_ARGS__)
#define OSKA_CHECK_LIGHT_PARAM(...) OSKA_CHECK_PARAM(oskalight_params, __VA_ARGS__)
OSKACOLOR_PARAMS(OSKA_CHECK_COLOR_PARAM)
OSKALIGHT_PARAMS(OSKA_CHECK_LIGHT_PARAM)
OSKA_CHECK_SIZE(oskacolor_params, 164);
OSKA_CHECK_SIZE(oskacolor_params, 0 OSKACOLOR_PARAMS(OSKA_PARAM_SIZE_PLUS));
OSKA_CHECK_SIZE(oskalight_params, 56);
OSKA_CHECK_SIZE(oskalight_params, 0 OSKALIGHT_PARAMS(OSKA_PARAM_SIZE_PLUS));
OSKA_CHECK_OFFSET(oskalight_params, lights_count, 16);
OSKA_CHECK_OFFSET(oskalight_params, lights, 20);
#undef OSKA_CHECK_COLOR_PARAM
#undef OSKA_CHECK_LIGHT_PARAM
#undef OSKA_PARAM_SIZE_PLUS
#undef OSKA_CHECK_PARAM

#endif /* OSKA_HOST_API_H */
