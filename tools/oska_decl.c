/* Writes oska.decl, the shaders' parameter declarations a host reads, from
 * the parameter tables of the host interface header.
 * Usage: oska_decl OUT
 * The file is written in binary mode, so that it has the same bytes on every
 * platform, to a temporary beside OUT that is renamed over it at the end. */
#include <oska/host_api.h>

#include <stdio.h>
#include <string.h>

static const char kPreamble[] =
    "# Parameter declarations of the oska shaders, in record order.\n"
    "# A host lays out each shader's parameter record from these lines:\n"
    "#   color: 16 bytes; scalar, boolean, integer, tag: 4 bytes;\n"
    "#   array TYPE: 12 bytes (start index, count, element slot), elements after\n"
    "#   the record. Fields follow each other without gaps.\n"
    "# Each shader returns a colour (oskacolor) or a boolean (oskalight) and\n"
    "# exports NAME, NAME_init, NAME_exit and NAME_version.\n";

typedef struct shader {
    const char *name;
    const char *result;
    const oska_param_info *params;
    size_t count;
} shader;

#define OSKA_ROWS(name, result, list)                                                              \
    static const oska_param_info name##_rows[] = {list(OSKA_PARAM_INFO)};
OSKA_SHADERS(OSKA_ROWS)
#undef OSKA_ROWS
#define OSKA_SHADER(name, result, list)                                                            \
    {#name, result, name##_rows, sizeof name##_rows / sizeof name##_rows[0]},
static const shader kShaders[] = {OSKA_SHADERS(OSKA_SHADER)};
#undef OSKA_SHADER

static int write_decl(FILE *out) {
    size_t s, p;
    int ok = fputs(kPreamble, out) >= 0;
    for (s = 0; s < sizeof kShaders / sizeof kShaders[0]; ++s) {
        const shader *sh = &kShaders[s];
        ok = ok && fprintf(out, "\nshader %s %s\n", sh->name, sh->result) > 0;
        for (p = 0; p < sh->count; ++p) {
            ok = ok && fprintf(out, "  %-7s %s\n", sh->params[p].decl_type, sh->params[p].name) > 0;
        }
        ok = ok && fputs("end\n", out) >= 0;
    }
    return ok;
}

int main(int argc, char **argv) {
    char temp[4096];
    FILE *out;
    int ok;
    if (argc != 2 || strlen(argv[1]) + 5 > sizeof temp) {
        fputs("usage: oska_decl OUT\n", stderr);
        return 2;
    }
    sprintf(temp, "%s.tmp", argv[1]);
    out = fopen(temp, "wb");
    if (out == NULL) {
        fprintf(stderr, "oska_decl: cannot write %s\n", temp);
        return 1;
    }
    ok = write_decl(out);
    ok = fclose(out) == 0 && ok;
    (void)remove(argv[1]); /* rename does not replace a file on Windows */
    if (!ok || rename(temp, argv[1]) != 0) {
        fprintf(stderr, "oska_decl: cannot write %s\n", argv[1]);
        (void)remove(temp);
        return 1;
    }
    return 0;
}
