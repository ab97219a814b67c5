/*
 * minimal_host: the smallest complete host of the oska shader library.
 *
 *   minimal_host LIBRARY DECLARATIONS
 *   minimal_host /opt/oska/lib/liboska.so /opt/oska/share/oska/oska.decl
 *
 * It loads the library by file name, hands it this program's module handle,
 * lays out both parameter records from the declaration file, binds a light
 * to an object instance with oskalight, and evaluates oskacolor for a handful
 * of light samples, one per feature, printing each with what it means.
 *
 * Plain C11, one source for Linux (dlopen) and Windows (LoadLibrary). The
 * numbered sections are the steps of the host guide (share/doc/oska/host-guide.md).
 * A real host keeps the same shape with a real scene behind it.
 */
#if defined(__MINGW32__)
#define __USE_MINGW_ANSI_STDIO 1 /* the same printf rounding as everywhere else */
#endif
#define OSKA_BUILDING_HOST /* export the mi_ functions below by name */
#include <oska/host_api.h>

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

/* ---- 1. Loading the library --------------------------------------------- */

typedef void (*any_fn)(void); /* a function pointer of no particular type */

static void *load_library(const char *path) {
#if defined(_WIN32)
    return (void *)LoadLibraryA(path);
#else
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
#endif
}

static any_fn find_export(void *library, const char *name) {
#if defined(_WIN32)
    return (any_fn)GetProcAddress((HMODULE)library, name);
#else
    void *address = dlsym(library, name);
    any_fn function;
    memcpy(&function, &address, sizeof function);
    return function;
#endif
}

/* The module whose exports the library searches for the mi_ functions:
 * this program, which defines them in section 3. */
static void *own_module(void) {
#if defined(_WIN32)
    return (void *)GetModuleHandleA(NULL);
#else
    return dlopen(NULL, RTLD_NOW);
#endif
}

/* The library's nine exports, one typed pointer each, from the header's
 * list of them: lib.oskacolor, lib.oskacolor_init, ... */
#define EXPORT_SLOT(result, name, params) name##_fn name;
static struct { OSKA_EXPORTED_FUNCTIONS(EXPORT_SLOT) } lib;

/* Finds every export; false if one is missing. */
static int bind_library(void *library) {
    int found = 1;
#define FIND_EXPORT(result, name, params)                                                          \
    lib.name = (name##_fn)find_export(library, #name);                                             \
    found = found && lib.name != NULL;
    OSKA_EXPORTED_FUNCTIONS(FIND_EXPORT)
    return found;
}

/* ---- 2. Laying out the records from oska.decl -------------------------- */

enum { MAX_SHADERS = 8, MAX_PARAMS = 64, MAX_NAME = 64, MAX_LINE = 256 };

typedef struct param_decl {
    char name[MAX_NAME];
    char type[16]; /* color, scalar, boolean, integer, tag */
    int array;     /* start index, count, element slot */
    size_t offset, size;
} param_decl;

typedef struct shader_decl {
    char name[MAX_NAME];
    param_decl params[MAX_PARAMS];
    int count;
    size_t size; /* of the whole record */
} shader_decl;

static shader_decl decls[MAX_SHADERS];
static int decl_count;

static size_t type_size(const char *type) {
    if (strcmp(type, "color") == 0) {
        return 16;
    }
    if (strcmp(type, "scalar") == 0 || strcmp(type, "boolean") == 0 ||
        strcmp(type, "integer") == 0 || strcmp(type, "tag") == 0) {
        return 4;
    }
    return 0;
}

/* One "TYPE NAME" or "array TYPE NAME" line of an open shader. */
static const char *add_param(shader_decl *shader, int words, char w[3][MAX_NAME]) {
    param_decl *param = &shader->params[shader->count];
    const int array = words == 3 && strcmp(w[0], "array") == 0;
    if (shader->count == MAX_PARAMS) {
        return "too many parameters";
    }
    if (words != 2 + array || strlen(w[array]) >= sizeof param->type || type_size(w[array]) == 0) {
        return "expected 'TYPE NAME' or 'array TYPE NAME'";
    }
    strcpy(param->type, w[array]);
    strcpy(param->name, w[1 + array]);
    param->array = array;
    param->offset = shader->size; /* fields follow each other without gaps */
    param->size = array ? 12 : type_size(param->type);
    shader->size += param->size;
    ++shader->count;
    return NULL;
}

/* One line of `file` into `line`, without its end; 0 at the end of the file.
 * `*error` says why a line cannot be taken. */
static int read_line(FILE *file, char *line, size_t size, const char **error) {
    size_t length = 0;
    int c;
    while ((c = getc(file)) != EOF && c != '\n') {
        if (c == '\0') {
            *error = "a NUL byte in the line: not a text file";
            return 1;
        }
        if (length + 1 == size) {
            *error = "line too long";
            return 1;
        }
        line[length++] = (char)c;
    }
    line[length] = '\0';
    return c != EOF || length > 0;
}

static const shader_decl *find_shader(const char *name);

/* One line: a shader opens or ends, or a parameter of the open one. */
static const char *read_line_words(const char *line, shader_decl **open) {
    char w[3][MAX_NAME], extra[2];
    const int words = sscanf(line, "%63s %63s %63s %1s", w[0], w[1], w[2], extra);
    if (words <= 0) {
        return NULL;
    }
    if (strcmp(w[0], "shader") == 0) {
        if (*open != NULL || words != 3 || decl_count == MAX_SHADERS) {
            return "expected 'shader NAME RESULT' outside a shader";
        }
        if (find_shader(w[1]) != NULL) {
            return "a shader declared twice";
        }
        *open = &decls[decl_count++];
        strcpy((*open)->name, w[1]);
        return NULL;
    }
    if (*open == NULL) {
        return "parameter outside a shader";
    }
    if (strcmp(w[0], "end") == 0) {
        *open = words == 1 ? NULL : *open;
        return words == 1 ? NULL : "unexpected text after 'end'";
    }
    return add_param(*open, words, w);
}

static int read_declarations(const char *path) {
    struct stat info;
    if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) {
        fprintf(stderr, "%s: not a readable file\n", path);
        return 0;
    }
    FILE *file = fopen(path, "r");
    if (file == NULL) {
        fprintf(stderr, "%s: cannot open\n", path);
        return 0;
    }
    char line[MAX_LINE];
    int number = 0;
    shader_decl *open = NULL;
    const char *error = NULL;
    while (error == NULL && read_line(file, line, sizeof line, &error)) {
        ++number;
        if (error == NULL) {
            line[strcspn(line, "#")] = '\0'; /* comments */
            error = read_line_words(line, &open);
        }
    }
    if (error == NULL && open != NULL) {
        error = "shader without 'end'";
    }
    if (error == NULL && ferror(file)) {
        error = "read error";
    }
    fclose(file);
    if (error != NULL) {
        fprintf(stderr, "%s:%d: %s\n", path, number, error);
    }
    return error == NULL;
}

static const shader_decl *find_shader(const char *name) {
    for (int i = 0; i < decl_count; ++i) {
        if (strcmp(decls[i].name, name) == 0) {
            return &decls[i];
        }
    }
    return NULL;
}

static const param_decl *find_param(const shader_decl *shader, const char *name) {
    for (int i = 0; i < shader->count; ++i) {
        if (strcmp(shader->params[i].name, name) == 0) {
            return &shader->params[i];
        }
    }
    return NULL;
}

/* The records as this host's header lays them out. A declaration file that
 * differs (another version, lines moved, a type changed) would make the
 * library read one field where the host wrote another: each field's name,
 * type and offset must agree. */
typedef struct header_field {
    const char *shader;
    const char *type; /* as declared: "scalar", "array tag", ... */
    const char *name;
    size_t offset;
} header_field;

/* One entry per row of the header's parameter tables, its offset taken from
 * the record with offsetof (an array's from its start index). */
#define FIELD_DECL_TYPE(type, array, size, decl) decl
#define FIELD_OF(shader, record, name, TYPE)                                                       \
    {#shader, OSKA_PARAM_APPLY(FIELD_DECL_TYPE, (OSKA_PARAM_KIND_##TYPE)), #name,                  \
     offsetof(record, OSKA_PARAM_FIELD_##TYPE(name))},
#define COLOR_FIELD(name, TYPE, ...) FIELD_OF(oskacolor, oskacolor_params, name, TYPE)
#define LIGHT_FIELD(name, TYPE, ...) FIELD_OF(oskalight, oskalight_params, name, TYPE)
static const header_field header_fields[] = {OSKACOLOR_PARAMS(COLOR_FIELD)
                                                 OSKALIGHT_PARAMS(LIGHT_FIELD)};

/* The first difference between the declared record of `name` and the
 * header's, written into `why`; 1 when they agree. */
static int same_record(const char *name, size_t size, char *why, size_t why_size) {
    const shader_decl *shader = find_shader(name);
    int next = 0;
    if (shader == NULL) {
        snprintf(why, why_size, "no shader %s", name);
        return 0;
    }
    for (size_t i = 0; i < sizeof header_fields / sizeof header_fields[0]; ++i) {
        const header_field *want = &header_fields[i];
        if (strcmp(want->shader, name) != 0) {
            continue;
        }
        if (next == shader->count) {
            snprintf(why, why_size, "%s lacks %s %s (+%u)", name, want->type, want->name,
                     (unsigned)want->offset);
            return 0;
        }
        const param_decl *got = &shader->params[next++];
        char type[32];
        snprintf(type, sizeof type, "%s%s", got->array ? "array " : "", got->type);
        if (strcmp(got->name, want->name) != 0 || strcmp(type, want->type) != 0 ||
            got->offset != want->offset) {
            snprintf(why, why_size, "%s has %s %s at +%u where the header has %s %s at +%u", name,
                     type, got->name, (unsigned)got->offset, want->type, want->name,
                     (unsigned)want->offset);
            return 0;
        }
    }
    if (next < shader->count || shader->size != size) {
        const param_decl *extra = &shader->params[next < shader->count ? next : 0];
        snprintf(why, why_size, "%s has %s %s at +%u, past the header's record of %u bytes", name,
                 extra->type, extra->name, (unsigned)extra->offset, (unsigned)size);
        return 0;
    }
    return 1;
}

static int check_records(const char *path) {
    char why[256];
    if (!same_record("oskacolor", sizeof(oskacolor_params), why, sizeof why) ||
        !same_record("oskalight", sizeof(oskalight_params), why, sizeof why)) {
        fprintf(stderr, "%s: does not declare the records of this oska version: %s\n", path, why);
        return 0;
    }
    return 1;
}

/* Sets "name=value" in a record: a colour takes four numbers, an array
 * three (start index, count, the one element), anything else one. */
static int set_param(unsigned char *record, const shader_decl *shader, const char *setting) {
    char name[MAX_NAME];
    int used = 0;
    const param_decl *param = NULL;
    if (sscanf(setting, "%63[^=]=%n", name, &used) == 1 && used > 0) {
        param = find_param(shader, name);
    }
    const char *value = setting + used;
    float f[4];
    int32_t i[3];
    if (param == NULL) {
        fprintf(stderr, "%s has no parameter for '%s'\n", shader->name, setting);
        return 0;
    }
    if (param->array && sscanf(value, "%d %d %d", &i[0], &i[1], &i[2]) == 3) {
        memcpy(record + param->offset, i, sizeof i);
    } else if (strcmp(param->type, "color") == 0 &&
               sscanf(value, "%f %f %f %f", &f[0], &f[1], &f[2], &f[3]) == 4) {
        memcpy(record + param->offset, f, sizeof f);
    } else if (strcmp(param->type, "scalar") == 0 && sscanf(value, "%f", &f[0]) == 1) {
        memcpy(record + param->offset, f, sizeof f[0]);
    } else if (!param->array && type_size(param->type) == 4 && sscanf(value, "%d", &i[0]) == 1) {
        memcpy(record + param->offset, i, sizeof i[0]);
    } else {
        fprintf(stderr, "%s: bad value for %s %s\n", setting, param->type, param->name);
        return 0;
    }
    return 1;
}

/* "name=value;name=value..." */
static int set_params(unsigned char *record, const shader_decl *shader, const char *settings) {
    char setting[MAX_LINE];
    while (*settings != '\0') {
        const size_t length = strcspn(settings, ";");
        if (length >= sizeof setting) {
            fprintf(stderr, "setting too long: %s\n", settings);
            return 0;
        }
        memcpy(setting, settings, length);
        setting[length] = '\0';
        if (!set_param(record, shader, setting)) {
            return 0;
        }
        settings += length + (settings[length] == ';');
    }
    return 1;
}

/* ---- 3. The host functions the library calls back --------------------- */

/* The scene: tags name its elements; 0 is none. */
enum { LAMP = 1, LAMP_INSTANCE, SURFACE, SPOT, SPOT_INSTANCE, TAG_END };
static struct element {
    int type; /* OSKA_TYPE_LIGHT or OSKA_TYPE_INSTANCE */
    const char *name;
    oska_light light;       /* what mi_scene_edit opens for a light */
    oska_instance instance; /* ... and for an instance */
    float exponent;         /* a light's distance exponent */
    float emit_divisor;     /* a light instance's */
} scene[TAG_END] = {
    [LAMP] = {OSKA_TYPE_LIGHT, "lamp", {0}, {0}, 2.0f, 0.0f},
    [LAMP_INSTANCE] = {OSKA_TYPE_INSTANCE, "lamp_instance", {0}, {LAMP, {0}}, 0.0f, 1.0f},
    [SURFACE] = {OSKA_TYPE_INSTANCE, "lamp_surface", {0}, {0}, 0.0f, 0.0f},
    [SPOT] = {OSKA_TYPE_LIGHT, "spot", {0}, {0}, 2.0f, 0.0f},
    [SPOT_INSTANCE] = {OSKA_TYPE_INSTANCE, "spot_instance", {0}, {SPOT, {0}}, 0.0f, 1.0f},
};

static struct element *element(oska_tag tag) {
    return tag > 0 && tag < TAG_END ? &scene[tag] : NULL;
}

/* One shader instance: its parameter record followed by one attachment word
 * per record byte offset, and its settings slot. */
typedef struct shader_instance {
    unsigned char *storage;     /* record, then attachment words at +attach.attach_offset */
    oska_function attach;       /* what state->function points to */
    void *settings;             /* the instance's settings slot (query 51) */
    const param_decl *attached; /* the parameter another shader gives, or NULL */
    oska_color attached_value;  /* ... and what that shader answers */
} shader_instance;

static shader_instance *instance_of(const oska_state *state) {
    return state != NULL ? (shader_instance *)state->host_data : NULL;
}

static oska_color shadow_transmission = {1, 1, 1, 1}; /* what the next shadow ray finds */
static int live_blocks;                               /* allocations not yet released */

/* The requests about scene elements: which element type answers, and where
 * in the element the answer lies. */
static const struct element_answer {
    int request;
    int type;
    size_t offset, size;
} element_answers[] = {
    {OSKA_QUERY_INSTANCE_LIGHT, OSKA_TYPE_INSTANCE, offsetof(struct element, instance.item),
     sizeof(oska_tag)},
    {OSKA_QUERY_LIGHT_AREA, OSKA_TYPE_LIGHT, offsetof(struct element, light.area_kind),
     sizeof(oska_integer)},
    {OSKA_QUERY_LIGHT_EXPONENT, OSKA_TYPE_LIGHT, offsetof(struct element, exponent),
     sizeof(oska_scalar)},
    {OSKA_QUERY_EMIT_DIVISOR, OSKA_TYPE_INSTANCE, offsetof(struct element, emit_divisor),
     sizeof(oska_scalar)},
};

OSKA_HOST_API oska_boolean OSKA_CALL mi_query(int request, oska_state *state, oska_tag tag,
                                              void *result, ...) {
    const struct element *e = element(tag);
    shader_instance *instance = instance_of(state);
    size_t i;
    if (request == OSKA_QUERY_SETTINGS_SLOT) { /* void **: where the instance keeps its settings */
        if (instance == NULL) {
            return 0;
        }
        *(void ***)result = &instance->settings;
        return 1;
    }
    for (i = 0; i < sizeof element_answers / sizeof element_answers[0]; ++i) {
        const struct element_answer *a = &element_answers[i];
        if (a->request == request) {
            if (e == NULL || e->type != a->type) {
                return 0;
            }
            memcpy(result, (const unsigned char *)e + a->offset, a->size);
            return 1;
        }
    }
    return 0; /* a request this host does not answer writes nothing */
}

/* A parameter whose attachment word is set: the value another shader gives. */
OSKA_HOST_API void *OSKA_CALL mi_phen_eval(oska_state *state, void *param) {
    shader_instance *instance = instance_of(state);
    if (instance == NULL || instance->attached == NULL ||
        param != instance->storage + instance->attached->offset) {
        return NULL; /* the library reads zero */
    }
    return &instance->attached_value;
}

OSKA_HOST_API void *OSKA_CALL mi_mem_int_allocate(const char *file, int line, int size) {
    (void)file, (void)line;
    void *block = size >= 0 ? malloc(size > 0 ? (size_t)size : 1) : NULL;
    live_blocks += block != NULL;
    return block;
}

OSKA_HOST_API void OSKA_CALL mi_mem_int_release(const char *file, int line, void *block) {
    (void)file, (void)line;
    live_blocks -= block != NULL;
    free(block);
}

static void print_message(const char *level, const char *format, va_list args) {
    printf("    %s: ", level);
    vprintf(format, args);
    printf("\n");
}

#define MESSAGE_FUNCTION(name, level)                                                              \
    OSKA_HOST_API void OSKA_CALL name(const char *format, ...) {                                   \
        va_list args;                                                                              \
        va_start(args, format);                                                                    \
        print_message(level, format, args);                                                        \
        va_end(args);                                                                              \
    }
MESSAGE_FUNCTION(mi_error, "error")
MESSAGE_FUNCTION(mi_warning, "warning")
MESSAGE_FUNCTION(mi_info, "info")

OSKA_HOST_API oska_boolean OSKA_CALL mi_trace_shadow(oska_color *transmission, oska_state *state) {
    (void)state;
    *transmission = shadow_transmission;
    return 1;
}

OSKA_HOST_API float OSKA_CALL mi_luminance(oska_state *state, oska_color *color) {
    (void)state;
    return 0.299f * color->r + 0.587f * color->g + 0.114f * color->b;
}

/* This scene has no textures. */
OSKA_HOST_API oska_boolean OSKA_CALL mi_lookup_color_texture(oska_color *result, oska_state *state,
                                                             oska_tag texture, oska_vector *coord) {
    (void)result, (void)state, (void)texture, (void)coord;
    return 0;
}

OSKA_HOST_API int OSKA_CALL mi_db_type(oska_tag tag) {
    const struct element *e = element(tag);
    return e != NULL ? e->type : 0;
}

OSKA_HOST_API const char *OSKA_CALL mi_api_tag_lookup(oska_tag tag) {
    const struct element *e = element(tag);
    return e != NULL ? e->name : NULL;
}

/* The record to edit in place; one element open at a time. */
OSKA_HOST_API void *OSKA_CALL mi_scene_edit(oska_tag tag) {
    struct element *e = element(tag);
    if (e == NULL) {
        return NULL;
    }
    return e->type == OSKA_TYPE_LIGHT ? (void *)&e->light : (void *)&e->instance;
}

OSKA_HOST_API void OSKA_CALL mi_scene_edit_end(oska_tag tag) { (void)tag; }

/* ---- 4. Shader instances and their calls ------------------------------ */

/* A zeroed record (every parameter 0, false or none) with its settings. */
static int make_instance(shader_instance *instance, const shader_decl *shader,
                         const char *settings) {
    memset(instance, 0, sizeof *instance);
    instance->storage = calloc(2, shader->size);
    instance->attach.attach_offset = (int32_t)shader->size;
    if (instance->storage == NULL) {
        fprintf(stderr, "out of memory\n");
        return 0;
    }
    return set_params(instance->storage, shader, settings);
}

/* Attaches `name` to another shader, which answers `value`. */
static void attach(shader_instance *instance, const shader_decl *shader, const char *name,
                   oska_color value) {
    const int32_t attached = 1;
    instance->attached = find_param(shader, name);
    instance->attached_value = value;
    memcpy(instance->storage + instance->attach.attach_offset + instance->attached->offset,
           &attached, sizeof attached);
}

/* A light-ray state for one call of `instance`, sampled at `distance` with
 * the given emission cosine, its own sample and parent record. */
static void make_state(oska_state *state, shader_instance *instance, oska_tag light_instance,
                       double distance, float emission_cosine) {
    memset(state, 0, sizeof *state);
    state->ray_kind = OSKA_RAY_LIGHT;
    state->distance = distance;
    state->light_instance = light_instance;
    state->emission_dot = -emission_cosine;
    state->orientation = 1; /* the sample faces the illuminated point */
    state->function = &instance->attach;
    state->parent = state;
    state->sample = state;
    state->host_data = instance;
}

static int bind_lamp(const shader_decl *shader) {
    /* instance 3 is SURFACE; lights: start 0, count 1, element 2 (LAMP_INSTANCE) */
    static const char *const settings =
        "enable=1;instance=3;lights=0 1 2;override_samples=1;samples_1=16;samples_2=4";
    shader_instance instance;
    oska_state state;
    oska_boolean init_req = 0;
    int result = 0;
    if (!make_instance(&instance, shader, settings)) {
        return 0;
    }
    make_state(&state, &instance, 0, 0.0, 0.0f);
    lib.oskalight_init(&state, NULL, &init_req); /* shader-wide; asks for no instance init */
    printf("oskalight: bind lamp to lamp_surface\n");
    /* The record laid out from the declarations is the header's record. */
    oskalight_params *params = (oskalight_params *)instance.storage;
    lib.oskalight(&result, &state, params);
    lib.oskalight_exit(&state, params);
    lib.oskalight_exit(&state, NULL);
    printf("  lamp: area kind %d, emits from instance %u, samples %u %u\n",
           (int)scene[LAMP].light.area_kind, (unsigned)scene[LAMP].light.object_instance,
           (unsigned)scene[LAMP].light.samples[0], (unsigned)scene[LAMP].light.samples[1]);
    free(instance.storage);
    return scene[LAMP].light.area_kind == OSKA_AREA_OBJECT;
}

/* ---- 5. One light sample per feature ---------------------------------- */

/* Where a case's sample lies, unless it says otherwise: 3 units from the
 * lamp's instance (a light instance: LAMP_INSTANCE, never LAMP), its emission
 * cosine 0.8, nothing in the way of its shadow ray. */
#define SAMPLE_DISTANCE 3.0
#define SAMPLE_COSINE 0.8f

typedef struct sample_case {
    const char *name;
    int decay;            /* OSKA_DECAY_...; its range, if any, among the settings */
    const char *settings; /* "name=value;..." on top of the base colour */
    const char *meaning;
    double distance;       /* 0: SAMPLE_DISTANCE */
    float emission_cosine; /* 0: SAMPLE_COSINE */
    float shadow;          /* how much of the shadow ray is blocked: 0 open, 1 blocked */
    int unbound;           /* served for the spot, which no oskalight call bound */
    int attach_color;      /* color comes from another shader: pure blue */
} sample_case;

#define RANGE_1_TO_5 "decay_start=1;decay_end=5"
#define CUTOFF_HALF "directional=1;cosine=1;cutoff=0.5"
#define SHADOWED "shadows=1;max_level=4;shadow_color=0.25 0 0 1"

static const sample_case cases[] = {
    {.name = "no decay", .meaning = "colour times intensity 2"},
    {.name = "linear",
     .decay = OSKA_DECAY_LINEAR,
     .settings = RANGE_1_TO_5,
     .meaning = "half way from 1 to 5: half"},
    {.name = "inverse power",
     .decay = OSKA_DECAY_INVERSE_POWER,
     .settings = "decay_start=1;decay_end=9",
     .distance = 2,
     .meaning = "1 / distance^2 at 2: a quarter"},
    {.name = "physical",
     .decay = OSKA_DECAY_PHYSICAL,
     .settings = "decay_start=1",
     .distance = 2,
     .emission_cosine = 0.5f,
     .meaning = "cosine / (4 pi distance^2)"},
    {.name = "past the range",
     .decay = OSKA_DECAY_LINEAR,
     .settings = RANGE_1_TO_5,
     .distance = 6,
     .meaning = "distance 6, range 1 to 5: rejected"},
    {.name = "cutoff passed",
     .settings = CUTOFF_HALF,
     .meaning = "cosine 0.8 > cutoff 0.5, weighted"},
    {.name = "cutoff failed",
     .settings = CUTOFF_HALF,
     .emission_cosine = 0.3f,
     .meaning = "cosine 0.3 <= cutoff 0.5: rejected"},
    {.name = "full shadow",
     .settings = SHADOWED,
     .shadow = 1,
     .meaning = "blocked: times the shadow colour"},
    {.name = "half shadow",
     .settings = SHADOWED,
     .shadow = 0.5f,
     .meaning = "half way to the shadow colour"},
    {.name = "attached", .attach_color = 1, .meaning = "color given by another shader"},
    {.name = "not bound", .unbound = 1, .meaning = "init refused spot: default settings"},
};

static int run_case(const shader_decl *shader, const sample_case *c) {
    shader_instance instance;
    oska_state state;
    oska_boolean init_req = 0;
    oska_color result = {0, 0, 0, 0};
    char decay[32];
    snprintf(decay, sizeof decay, "decay=%d", c->decay);
    /* every sample: this colour, intensity 2 */
    if (!make_instance(&instance, shader, "color=1 0.8 0.6 2") ||
        !set_params(instance.storage, shader, decay) ||
        !set_params(instance.storage, shader, c->settings != NULL ? c->settings : "")) {
        return 0;
    }
    if (c->attach_color) {
        const oska_color blue = {0, 0, 1, 1};
        attach(&instance, shader, "color", blue);
    }
    make_state(&state, &instance, c->unbound ? SPOT_INSTANCE : LAMP_INSTANCE,
               c->distance > 0 ? c->distance : SAMPLE_DISTANCE,
               c->emission_cosine != 0 ? c->emission_cosine : SAMPLE_COSINE);
    shadow_transmission.r = shadow_transmission.g = shadow_transmission.b = 1 - c->shadow;

    printf("oskacolor: %s\n", c->name);
    oskacolor_params *params = (oskacolor_params *)instance.storage; /* as laid out */
    lib.oskacolor_init(&state, params, &init_req);                   /* the instance's init */
    const oska_boolean lit = lib.oskacolor(&result, &state, params);
    if (lit) {
        printf("  %.4f %.4f %.4f  %s\n", result.r, result.g, result.b, c->meaning);
    } else {
        printf("  (no light)  %s\n", c->meaning);
    }
    lib.oskacolor_exit(&state, params); /* releases the instance's settings */
    free(instance.storage);
    return 1;
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s LIBRARY DECLARATIONS\n", argv[0]);
        return 2;
    }
    /* 1. Load, hand over our module, check the versions. */
    void *library = load_library(argv[1]);
    if (library == NULL || !bind_library(library)) {
        fprintf(stderr, "%s: cannot load the oska library or find its exports\n", argv[1]);
        return 1;
    }
    lib.miSetModuleHandle(own_module());
    printf("oskacolor version %d, oskalight version %d\n", lib.oskacolor_version(),
           lib.oskalight_version());

    /* 2. The records, laid out from the declarations; they must agree with
     * the header this host was built with. */
    if (!read_declarations(argv[2]) || !check_records(argv[2])) {
        return 1;
    }
    const shader_decl *color = find_shader("oskacolor");
    const shader_decl *light = find_shader("oskalight");
    printf("records: oskacolor %u bytes, oskalight %u bytes\n", (unsigned)color->size,
           (unsigned)light->size);

    /* 3. Scene editing first: the lamp becomes an object light. */
    if (!bind_lamp(light)) {
        return 1;
    }

    /* 4., 5. oskacolor: the shader-wide init, then one instance per sample. */
    oska_boolean init_req = 0;
    lib.oskacolor_init(NULL, NULL, &init_req);
    if (!init_req) {
        fprintf(stderr, "oskacolor did not ask for instance inits\n");
        return 1;
    }
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        if (!run_case(color, &cases[i])) {
            return 1;
        }
    }
    lib.oskacolor_exit(NULL, NULL);
    printf("blocks still allocated: %d\n", live_blocks);
    return live_blocks == 0 ? 0 : 1;
}
