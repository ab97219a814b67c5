/* Reads the version resource of oska.dll through the Windows API, as
 * Explorer and deployment scripts do, and checks it against the build's
 * version (OSKA_VERSION_MAJOR/MINOR/PATCH) and the shader version the loaded
 * library reports.
 *   version_resource PATH_TO_OSKA_DLL */
#include <oska/host_api.h>

#include <stdio.h>
#include <string.h>
#include <windows.h>

static int failures;

static void check(int ok, const char *what) {
    if (!ok) {
        printf("FAILED: %s\n", what);
        ++failures;
    }
}

/* A string of the US English, Unicode table, or "" if missing. */
static const char *string_value(void *info, const char *name) {
    char path[128];
    char *value = NULL;
    UINT size = 0;
    snprintf(path, sizeof path, "\\StringFileInfo\\040904b0\\%s", name);
    if (!VerQueryValueA(info, path, (void **)&value, &size) || value == NULL) {
        return "";
    }
    return value;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s OSKA_DLL\n", argv[0]);
        return 2;
    }
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(argv[1], &ignored);
    static char info[16384];
    if (size == 0 || size > sizeof info || !GetFileVersionInfoA(argv[1], 0, size, info)) {
        printf("FAILED: %s has no readable version resource (error %lu)\n", argv[1],
               (unsigned long)GetLastError());
        return 1;
    }

    /* 1. The numbers Windows compares. */
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT fixed_size = 0;
    check(VerQueryValueA(info, "\\", (void **)&fixed, &fixed_size) && fixed != NULL &&
              fixed->dwSignature == 0xFEEF04BD,
          "fixed file information");
    if (fixed == NULL) {
        return 1;
    }
    const DWORD expected_ms = MAKELONG(OSKA_VERSION_MINOR, OSKA_VERSION_MAJOR);
    const DWORD expected_ls = MAKELONG(0, OSKA_VERSION_PATCH);
    printf("file version %u.%u.%u.%u, product version %u.%u.%u.%u\n",
           HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
           HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS),
           HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
           HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS));
    check(fixed->dwFileVersionMS == expected_ms && fixed->dwFileVersionLS == expected_ls,
          "file version is the build's version");
    check(fixed->dwProductVersionMS == expected_ms && fixed->dwProductVersionLS == expected_ls,
          "product version is the build's version");
    check(fixed->dwFileType == VFT_DLL, "file type is a DLL");

    /* 2. The texts Explorer shows. */
    char version[32];
    snprintf(version, sizeof version, "%d.%d.%d", OSKA_VERSION_MAJOR, OSKA_VERSION_MINOR,
             OSKA_VERSION_PATCH);
    static const char *const names[] = {"ProductName",    "FileDescription",  "FileVersion",
                                        "ProductVersion", "OriginalFilename", "CompanyName"};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        printf("%s: %s\n", names[i], string_value(info, names[i]));
    }
    check(strcmp(string_value(info, "ProductName"), "oska") == 0, "product name");
    check(strcmp(string_value(info, "OriginalFilename"), "oska.dll") == 0, "original file name");
    check(strstr(string_value(info, "FileDescription"), "oska") != NULL, "file description");
    check(strcmp(string_value(info, "FileVersion"), version) == 0, "file version text");
    check(strcmp(string_value(info, "ProductVersion"), version) == 0, "product version text");

    /* 3. The same file, loaded, answers as the shaders of this build. */
    HMODULE library = LoadLibraryA(argv[1]);
    oska_version_fn color_version =
        library != NULL
            ? (oska_version_fn)(void (*)(void))GetProcAddress(library, "oskacolor_version")
            : NULL;
    oska_version_fn light_version =
        library != NULL
            ? (oska_version_fn)(void (*)(void))GetProcAddress(library, "oskalight_version")
            : NULL;
    check(color_version != NULL && light_version != NULL, "library loads with its versions");
    if (color_version != NULL && light_version != NULL) {
        printf("oskacolor_version %d, oskalight_version %d\n", color_version(), light_version());
        check(color_version() == 1 && light_version() == 1, "shader versions are 1");
    }
    printf("%s\n", failures == 0 ? "version resource as expected" : "version resource check failed");
    return failures == 0 ? 0 : 1;
}
