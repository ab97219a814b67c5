// oska-render as a user meets it, run as its own process: bad scenes,
// textures, models, libraries and a full disk each end in one line
// "oska-render: FILE: thing: problem", a non-zero status, no crash or hang,
// and the previous output file untouched with no temporary beside it.
#include "files.h"
#include "render_test.h"
#include "slivers.h"
#include "textures.h"

#include <oska/host/library.h>

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace oska::render::test {
namespace {

struct ProgramRun {
    int status = -1; // exit status; -1: killed by a signal
    int signal = 0;
    std::string out, err;
};

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs the program with `args`, at most `seconds` long, with writes capped
// at `file_limit` bytes (0: no cap).
ProgramRun run_program(const std::vector<std::string> &args, rlim_t file_limit = 0,
                       int seconds = 60, const std::string &folder = ".") {
    TempDir io;
    std::string out = io.file("out"), err = io.file("err");
    std::vector<char *> argv{const_cast<char *>(OSKA_RENDER_PROGRAM)};
    for (const std::string &arg : args) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        if (chdir(folder.c_str()) != 0) {
            _exit(126);
        }
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, STDOUT_FILENO);
        dup2(e, STDERR_FILENO);
        if (file_limit > 0) {
            rlimit limit{file_limit, file_limit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        alarm(static_cast<unsigned>(seconds)); // a hang ends as a signal
        execv(argv[0], argv.data());
        _exit(127);
    }
    ProgramRun run;
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status)) {
        run.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        run.signal = WTERMSIG(status);
    }
    run.out = slurp(out);
    run.err = slurp(err);
    return run;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// A small scene: a floor under one emitting panel, the model `mesh` (an
// OBJ file) or a quad, and the texture `texture` on the floor when given.
json scene_with(const std::string &mesh = "", const std::string &texture = "") {
    json scene = floor_scene({{"color", {1, 1, 1, 1}}});
    scene["image"] = {{"width", 8}, {"height", 6}, {"spp", 1}, {"light_samples", 1}};
    if (!mesh.empty()) {
        scene["objects"].push_back({{"name", "model"}, {"mesh", mesh}});
    }
    if (!texture.empty()) {
        scene["textures"] = {{"image", texture}};
        scene["materials"] = {{"printed", {{"texture", "image"}}}};
        scene["objects"][0].erase("color");
        scene["objects"][0]["material"] = "printed";
    }
    return scene;
}

// scene_with()'s scene, changed by `change`, as text.
std::string with(const std::function<void(json &)> &change) {
    json scene = scene_with();
    change(scene);
    return scene.dump();
}

// scene_with()'s scene with `value` at `path` (a JSON pointer), as text.
std::string with_at(const char *path, const json &value) {
    return with([&](json &scene) { scene[json::json_pointer(path)] = value; });
}

// The model `text` as m.obj, and scene_with() it as s.json.
std::map<std::string, std::string> with_model(const std::string &text) {
    return {{"m.obj", text}, {"s.json", scene_with("m.obj").dump()}};
}

// What oska-render says of a fault in with_model()'s model: `where` and
// what, after the file's name.
std::string model_error(const std::string &fault) {
    return "oska-render: $D/s.json: objects[2] 'model': $D/m.obj" + fault;
}

// `levels` arrays within each other, as the value of "about".
std::string nested(int levels) {
    return R"({"about": )" + std::string(static_cast<std::size_t>(levels), '[') +
           std::string(static_cast<std::size_t>(levels), ']') + "}";
}

std::string obj(const std::string &faces) {
    return "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0\nvn 0 0 1\n" + faces;
}

// A 64x64 PNG of noise (so that it does not compress to almost nothing).
void write_png(const std::string &path) {
    std::vector<uint8_t> pixels(64 * 64 * 3);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    }
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out && out->open(path, OIIO::ImageSpec(64, 64, 3, OIIO::TypeDesc::UINT8)) &&
                out->write_image(OIIO::TypeDesc::UINT8, pixels.data()) && out->close());
}

// 69 bytes of PNG whose header claims 60000x60000 RGB pixels.
const char kHugeClaim[] =
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\xea\x60\x00\x00\xea"
    "\x60\x08\x02\x00\x00\x00\x0f\xb0\xe2\x15\x00\x00\x00\x0c\x49\x44\x41\x54\x78\x9c\x63\x60\xa0"
    "\x0c\x00\x00\x00\x40\x00\x01\xb7\x34\x7c\xef\x00\x00\x00\x00\x49\x45\x4e\x44\xae\x42\x60\x82";

// 83 bytes of PNG whose header asks for a palette of 16-bit indices.
const char kPalette16[] =
    "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x02\x00\x00\x00"
    "\x02\x10\x03\x00\x00\x00\x15\xf8\x21\x55\x00\x00\x00\x03\x50\x4c\x54\x45\x00\x00\x00\xa7\x7a"
    "\x3d\xda\x00\x00\x00\x0b\x49\x44\x41\x54\x78\x9c\x63\x60\x80\x01\x00\x00\x0a\x00\x01\x7f\x80"
    "\x74\x5e\x00\x00\x00\x00\x49\x45\x4e\x44\xae\x42\x60\x82";

// Files each case starts from, in the case's own folder D; "$D" in names,
// arguments and messages stands for it.
void set_up(const TempDir &d, const std::string &what) {
    d.write("good.json", scene_with().dump());
    if (what == "obj") {
        return;
    }
    write_png(d.file("texture.png"));
    std::string png = slurp(d.file("texture.png"));
    d.write("truncated.png", png.substr(0, png.size() / 2));
    d.write("huge.png", std::string(kHugeClaim, sizeof kHugeClaim - 1));
    mkfifo(d.file("fifo.obj").c_str(), 0600);
    mkdir(d.file("folder.json").c_str(), 0700);
    d.write("notes.so", "not a library\n");
    // A shared library without the shader exports, and no declarations beside it.
    d.write("stub.so", slurp(host::built_file_path("librender_test_stub.so")));
    // Where an image must not go: a link to a file of someone else's, a
    // FIFO, a folder, a second name of the texture.
    d.write("victim.png", "someone else's file");
    symlink(d.file("victim.png").c_str(), d.file("link.png").c_str());
    mkfifo(d.file("fifo.png").c_str(), 0600);
    mkdir(d.file("folder.png").c_str(), 0700);
    link(d.file("texture.png").c_str(), d.file("copy.png").c_str());
    d.write("pal16.png", std::string(kPalette16, sizeof kPalette16 - 1));
}

// Every regular file of `d` by name, with its bytes.
std::map<std::string, std::string> contents(const TempDir &d) {
    std::map<std::string, std::string> all;
    for (const std::string &name : d.list()) {
        struct stat info;
        if (lstat(d.file(name).c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            all[name] = slurp(d.file(name));
        }
    }
    return all;
}

const std::string kOld = "the previous image, kept byte for byte";

TEST(BadInput, EndsInOneLineAndKeepsTheOldFile) {
    std::string polygon = "f";
    std::string corners;
    for (int i = 0; i < 300000; ++i) { // a circle: quadratic work on it would take minutes
        double a = 6.283185307179586 * i / 300000;
        corners += "v " + std::to_string(std::cos(a)) + " " + std::to_string(std::sin(a)) + " 1\n";
        polygon += " " + std::to_string(i + 1);
    }
    const std::string long_name = std::string(251, 'n') + ".png"; // as long as a name can be
    const char nul_text[] = "v 0 0 0\nv\0 1 0 0\nv 1 1 0\nf 1 2 3\n";
    const std::string nul_obj(nul_text, sizeof nul_text - 1);
    // A scene with declarations of its own: it reads without the library,
    // which is then checked as it loads.
    json own_declarations = scene_with();
    own_declarations["declarations"] = "d.decl";
    const std::string declarations = slurp(directory_of(default_library_path()) + "/oska.decl");
    // The scene's own declarations differing from the renderer's parameter
    // tables: two lines swapped, the last parameter gone, one too many.
    auto edited = [&](const std::string &from, const std::string &to) {
        std::string text = declarations;
        const std::size_t at = text.find(from);
        return at == std::string::npos ? std::string() : text.replace(at, from.size(), to);
    };
    const std::string swapped = edited("  scalar  decay_start\n  scalar  decay_end\n",
                                       "  scalar  decay_end\n  scalar  decay_start\n");
    const std::string shortened = edited("  boolean set_instance_flags\n", "");
    const std::string lengthened =
        edited("  boolean set_instance_flags\n", "  boolean set_instance_flags\n  scalar  extra\n");
    // Without arguments a case runs "$D/s.json -o $D/out.png", in the folder $D.
    const struct {
        const char *name;
        std::map<std::string, std::string> files; // name -> contents, beside set_up's
        std::string message;                      // the whole of standard error ("" for none)
        std::vector<std::string> args = {};
        int status = 1;
        rlim_t file_limit = 0; // bytes a write may reach; 0: no limit
    } cases[] = {
        {"png on a full disk",
         {},
         "oska-render: $D/out.png: cannot write the image: File too large",
         {"$D/good.json", "-o", "$D/out.png", "--size", "400x300"},
         1,
         4096},
        {"exr on a full disk",
         {},
         "oska-render: $D/out.exr: cannot write the image: File too large",
         {"$D/good.json", "-o", "$D/out.exr", "--size", "400x300"},
         1,
         4096},
        {"vertex index far past the end", with_model(obj("f 1 2 1000000000\n")),
         model_error(":7: vertex index 1000000000 is out of range (the file has 4 so far)")},
        {"vertex index one past the end", with_model(obj("f 1 2 5\n")),
         model_error(":7: vertex index 5 is out of range (the file has 4 so far)")},
        {"relative index before the start", with_model(obj("f -1 -2 -5\n")),
         model_error(":7: vertex index -5 is out of range (the file has 4 so far)")},
        {"index of a vertex given later", with_model("v 0 0 0\nv 1 0 0\nf 1 2 3\nv 1 1 0\n"),
         model_error(":3: vertex index 3 is out of range (the file has 2 so far)")},
        {"normal index past the end", with_model(obj("f 1//1 2//1 3//2\n")),
         model_error(":7: normal index 2 is out of range (the file has 1 so far)")},
        {"texture coordinate index past the end", with_model(obj("f 1/1 2/-2 3/1\n")),
         model_error(":7: texture coordinate index -2 is out of range (the file has 1 so far)")},
        {"one polygon of 300000 corners loads in linear time",
         with_model(corners + polygon + "\n"),
         "",
         {"$D/s.json", "-o", "$D/out.png", "--quiet"},
         0},
        {"scene named .png rendered without -o, beside itself",
         {{"s.png", scene_with().dump()}},
         "oska-render: s.png: cannot write the image: it is one of the scene's own files (s.png)",
         {"s.png"}},
        {"the scene as the output, spelt another way",
         {{"s.png", scene_with().dump()}},
         "oska-render: ./s.png: cannot write the image: it is one of the scene's own files "
         "(s.png)",
         {"s.png", "-o", "./s.png"}},
        {"a second name of the texture as the output",
         {{"s.json", scene_with("", "texture.png").dump()}},
         "oska-render: $D/copy.png: cannot write the image: it is one of the scene's own files "
         "($D/texture.png)",
         {"$D/s.json", "-o", "$D/copy.png"}},
        {"a symbolic link planted where the output goes",
         {},
         "oska-render: $D/link.png: cannot write the image: it is a symbolic link (only a regular "
         "file is replaced)",
         {"$D/good.json", "-o", "$D/link.png"}},
        {"a FIFO where the output goes",
         {},
         "oska-render: $D/fifo.png: cannot write the image: it is not a regular file (a device, "
         "pipe or socket)",
         {"$D/good.json", "-o", "$D/fifo.png"}},
        {"a folder where the output goes",
         {},
         "oska-render: $D/folder.png: cannot write the image: it is a folder",
         {"$D/good.json", "-o", "$D/folder.png"}},
        {"an output name of 255 bytes",
         {{long_name, kOld}},
         "",
         {"$D/good.json", "-o", "$D/" + long_name, "--quiet"},
         0},
        {"an output name of 256 bytes, known before the render",
         {},
         "oska-render: $D/n" + long_name + ": cannot write the image: File name too long",
         {"$D/good.json", "-o", "$D/n" + long_name}},
        {"a scene name with a newline and an escape",
         {},
         "oska-render: $D/x\\ny\\x1b.json: no such file",
         {"$D/x\ny\x1b.json", "-o", "$D/out.png"}},
        {"texture with a 16-bit palette",
         {{"s.json", scene_with("", "pal16.png").dump()}},
         "oska-render: $D/s.json: textures: 'image': cannot read image '$D/pal16.png': PNG read "
         "error: Invalid IHDR data"},
        {"model with a NUL byte", with_model(nul_obj),
         model_error(":2: holds a NUL byte (not text)")},
        {"model with a byte-order mark inside it (two files joined)",
         with_model(obj("f 1 2 3\n") + "\xEF\xBB\xBFv 0 0 1\nf 2 3 -1\n"),
         model_error(":8: the line begins with a byte that is not text (a byte-order mark inside "
                     "the file, or a control character)")},
        {"model in UTF-16",
         with_model(std::string("\xFF\xFEv\0 \0"
                                "0\0",
                                8)),
         model_error(": is UTF-16 or UTF-32 text; save it as UTF-8")},
        {"scene with a NUL byte",
         {{"s.json", std::string("{\"image\":\n\0{}}", 14)}},
         "oska-render: $D/s.json:2: holds a NUL byte (not text)"},
        {"scene in UTF-16",
         {{"s.json", std::string("\xFE\xFF\0{\0}", 6)}},
         "oska-render: $D/s.json: is UTF-16 or UTF-32 text; save it as UTF-8"},
        {"truncated texture",
         {{"s.json", scene_with("", "truncated.png").dump()}},
         "oska-render: $D/s.json: textures: 'image': image '$D/truncated.png' cannot be read "
         "whole: Read error: hit end of file"},
        {"texture claiming 60000x60000 pixels",
         {{"s.json", scene_with("", "huge.png").dump()}},
         "oska-render: $D/s.json: textures: 'image': image '$D/huge.png' is 60000x60000 with 3 "
         "channels (41199 MiB), beyond what is left of the image memory budget (2048 MiB, "
         "--max-image-memory)"},
        {"texture within a smaller budget",
         {{"s.json", scene_with("", "texture.png").dump()}},
         "",
         {"$D/s.json", "-o", "$D/out.png", "--max-image-memory", "1", "--quiet"},
         0},
        {"texture that is a device",
         {{"s.json", scene_with("", "/dev/zero").dump()}},
         "oska-render: $D/s.json: textures: 'image': image '/dev/zero': is not a regular file (a "
         "device, pipe or socket)"},
        {"model that is a device",
         {{"s.json", scene_with("/dev/zero").dump()}},
         "oska-render: $D/s.json: objects[2] 'model': /dev/zero: is not a regular file (a device, "
         "pipe or socket)"},
        {"model that is a FIFO",
         {{"s.json", scene_with("fifo.obj").dump()}},
         "oska-render: $D/s.json: objects[2] 'model': $D/fifo.obj: is not a regular file (a "
         "device, pipe or socket)"},
        {"scene that is a folder",
         {},
         "oska-render: $D/folder.json: is a folder, not a file",
         {"$D/folder.json", "-o", "$D/out.png"}},
        {"scene that names a library",
         {{"s.json", R"({"library": "notes.so"})"}},
         "oska-render: $D/s.json: library: the scene names a library to load ('notes.so'); that "
         "takes --allow-scene-library (or choose one with --library)"},
        {"scene library allowed, and not a library",
         {{"s.json", R"({"library": "notes.so"})"}},
         "oska-render: $D/s.json: library '$D/notes.so': not a shader library (not a shared "
         "library at all)",
         {"$D/s.json", "-o", "$D/out.png", "--allow-scene-library"}},
        {"missing library",
         {},
         "oska-render: $D/good.json: library '$D/gone.so': no such file",
         {"$D/good.json", "-o", "$D/out.png", "--library", "$D/gone.so"}},
        {"shared library that is no shader library",
         {},
         "oska-render: $D/good.json: library '$D/stub.so': not a shader library (the library does "
         "not export oskacolor_version)",
         {"$D/good.json", "-o", "$D/out.png", "--library", "$D/stub.so"}},
        {"text file as the library",
         {},
         "oska-render: $D/good.json: library '$D/notes.so': not a shader library (not a shared "
         "library at all)",
         {"$D/good.json", "-o", "$D/out.png", "--library", "$D/notes.so"}},
        {"text file as the library, the scene's own declarations",
         {{"s.json", own_declarations.dump()}, {"d.decl", declarations}},
         "oska-render: $D/s.json: library '$D/notes.so': not a shader library (not a shared "
         "library at all)",
         {"$D/s.json", "-o", "$D/out.png", "--library", "$D/notes.so"}},
        {"library that is a folder, the scene's own declarations",
         {{"s.json", own_declarations.dump()}, {"d.decl", declarations}},
         "oska-render: $D/s.json: library '$D/folder.json': is a folder, not a file",
         {"$D/s.json", "-o", "$D/out.png", "--library", "$D/folder.json"}},
        {"the scene's own declarations, two lines swapped",
         {{"s.json", own_declarations.dump()}, {"d.decl", swapped}},
         "oska-render: $D/d.decl: shader oskacolor: declares scalar decay_end at +40 where this "
         "renderer's parameter table has scalar decay_start at +40"},
        {"the scene's own declarations, a parameter missing",
         {{"s.json", own_declarations.dump()}, {"d.decl", shortened}},
         "oska-render: $D/d.decl: shader oskalight: lacks boolean set_instance_flags at +52 of "
         "this renderer's parameter table"},
        {"the scene's own declarations, a parameter too many",
         {{"s.json", own_declarations.dump()}, {"d.decl", lengthened}},
         "oska-render: $D/d.decl: shader oskalight: declares scalar extra at +56, past the end "
         "of this renderer's parameter table"},
        {"duplicate key at the top",
         {{"s.json", R"({"image": {}, "image": {}})"}},
         "oska-render: $D/s.json: the key 'image' is given twice"},
        {"duplicate key deep down",
         {{"s.json", R"({"objects": [{"name": "a", "shape": "quad"},
                         {"name": "b", "shape": "box", "size": [1, 1, 1], "name": "c"}]})"}},
         "oska-render: $D/s.json: objects[1]: the key 'name' is given twice"},
        {"about that is not text",
         {{"s.json", R"({"about": ["a", "list"]})"}},
         "oska-render: $D/s.json: about: expected a string"},
        {"duplicate key after arrays and values",
         {{"s.json", R"({"objects": [1, [2, {}], {"shaders": [[], 3, {"a": 1, "a": 2}]}]})"}},
         "oska-render: $D/s.json: objects[2]: shaders[2]: the key 'a' is given twice"},
        // Nesting: the parser's own stack and the location of every level
        // grow with it.
        {"100000 nested arrays",
         {{"s.json", std::string(100000, '[') + std::string(100000, ']')}},
         "oska-render: $D/s.json: arrays and objects are nested more than 64 deep"},
        {"100000 nested objects",
         {{"s.json",
           [] {
               std::string text;
               for (int i = 0; i < 100000; ++i) {
                   text += R"({"a":)";
               }
               return text + "1" + std::string(100000, '}');
           }()}},
         "oska-render: $D/s.json: arrays and objects are nested more than 64 deep"},
        {"nesting one past the limit",
         {{"s.json", nested(64)}},
         "oska-render: $D/s.json: arrays and objects are nested more than 64 deep"},
        {"nesting at the limit is read",
         {{"s.json", nested(63)}},
         "oska-render: $D/s.json: about: expected a string"},
        // Numbers the ray tracer, or the float range, cannot take.
        {"camera far out",
         {{"s.json", with_at("/camera/position", {1e19, 2, 4})}},
         "oska-render: $D/s.json: camera: position: expected a number from -1e8 to 1e8, got "
         "1e+19"},
        {"camera looking at a point far out",
         {{"s.json", with_at("/camera/look_at", {0, -3e38, 0})}},
         "oska-render: $D/s.json: camera: look_at: expected a number from -1e8 to 1e8, got "
         "-3e+38"},
        {"orthographic camera of a huge height",
         {{"s.json", with_at("/camera/height", 1e19)}},
         "oska-render: $D/s.json: camera: height: expected a number from -1e8 to 1e8, got 1e+19"},
        {"camera up of no length",
         {{"s.json", with_at("/camera/up", {0, 0, 0})}},
         "oska-render: $D/s.json: camera: up is zero or parallel to the viewing direction"},
        {"camera up too short to give a direction",
         {{"s.json", with_at("/camera/up", {0, 0, -1e-22})}},
         "oska-render: $D/s.json: camera: up: too short to give a direction, got [0,0,-1e-22]"},
        {"camera looking at a point too close to tell the way",
         {{"s.json", with([](json &s) {
               s["camera"]["position"] = {0, 0, 0};
               s["camera"]["look_at"] = {0, -1e-22, 0};
           })}},
         "oska-render: $D/s.json: camera: position and look_at are too close together to give a "
         "direction"},
        {"camera fov of 180",
         {{"s.json", with([](json &s) {
               s["camera"]["orthographic"] = false;
               s["camera"]["fov"] = 180;
           })}},
         "oska-render: $D/s.json: camera: fov: expected less than 179 degrees"},
        {"translate far out",
         {{"s.json", with_at("/objects/1/translate", {0, 1e19, 0})}},
         "oska-render: $D/s.json: objects[1] 'panel': translate: expected a number from -1e8 to "
         "1e8, got 1e+19"},
        {"scale far out",
         {{"s.json", with_at("/objects/0/scale", -1e9)}},
         "oska-render: $D/s.json: objects[0] 'floor': scale: expected a number from -1e8 to 1e8, "
         "got -1000000000.0"},
        {"rotation by 3e38 degrees",
         {{"s.json", with_at("/objects/1/rotate", {0, 3e38, 0})}},
         "oska-render: $D/s.json: objects[1] 'panel': rotate: expected a number from -1e8 to 1e8, "
         "got 3e+38"},
        {"sphere of a huge radius",
         {{"s.json",
           with_at("/objects/1", {{"name", "panel"}, {"shape", "sphere"}, {"radius", 1e30}})}},
         "oska-render: $D/s.json: objects[1] 'panel': radius: expected a number from -1e8 to 1e8, "
         "got 1e+30"},
        {"fine numbers that place vertices far out",
         {{"s.json", with([](json &s) {
               s["objects"][0]["scale"] = 1e7;
               s["objects"][0]["translate"] = {1e8, 0, 0};
           })}},
         "oska-render: $D/s.json: objects[0] 'floor': placed in the scene, its vertices reach "
         "beyond coordinates from -1e8 to 1e8"},
        {"model point far out", with_model("v 0 0 0\nv 1e19 0 0\nv 1 1 0\nf 1 2 3\n"),
         model_error(":2: '1e19' is not a number from -1e8 to 1e8")},
        {"model normal far out", with_model(obj("vn 0 -3e38 0\nf 1//2 2//2 3//2\n")),
         model_error(":7: '-3e38' is not a number from -1e8 to 1e8")},
        // The bound holds for the number as written, however it is spelt:
        // 1.00000001e8 is past it though a float would round it onto 1e8.
        {"model point one past the bound",
         with_model("v 100000001 0 0\nv 1 0 0\nv 1 1 0\nf 1 2 3\n"),
         model_error(":1: '100000001' is not a number from -1e8 to 1e8")},
        {"model point past the bound in a spelling floats round onto it",
         with_model("v 0 0 0\nv 1 1.00000001e8 0\nv 1 1 0\nf 1 2 3\n"),
         model_error(":2: '1.00000001e8' is not a number from -1e8 to 1e8")},
        {"model point past the bound by a float's step",
         with_model("v 0 0 0\nv 1 0 -100000008\nv 1 1 0\nf 1 2 3\n"),
         model_error(":2: '-100000008' is not a number from -1e8 to 1e8")},
        {"model points at the bound",
         with_model("v 1e8 0 0\nv 0 -100000000 0\nv 1 1 99999999.99\nf 1 2 3\n"),
         "",
         {"$D/s.json", "-o", "$D/out.png", "--quiet"},
         0},
        {"translate past the bound in a spelling floats round onto it",
         {{"s.json",
           replace_all(with_at("/objects/1/translate", {0, 12345, 0}), "12345", "1.00000001e8")}},
         "oska-render: $D/s.json: objects[1] 'panel': translate: expected a number from -1e8 to "
         "1e8, got 100000001.0"},
        {"translate past the bound by a float's step",
         {{"s.json", with_at("/objects/1/translate", {0, 100000008, 0})}},
         "oska-render: $D/s.json: objects[1] 'panel': translate: expected a number from -1e8 to "
         "1e8, got 100000008"},
        // Light values whose products leave the float range.
        {"light exponent of 1e19",
         {{"s.json", with_at("/lights/0/exponent", -1e19)}},
         "oska-render: $D/s.json: lights[0] 'lamp': exponent: expected a number from -1e8 to 1e8, "
         "got -1e+19"},
        {"light exponent past 16",
         {{"s.json", with_at("/lights/0/exponent", 16.5)}},
         "oska-render: $D/s.json: lights[0] 'lamp': exponent: expected a number from -16 to 16, "
         "got 16.5"},
        {"light intensity of 3e38",
         {{"s.json", with_at("/lights/0/params/color", {1, 1, 1, 3e38})}},
         "oska-render: $D/s.json: lights[0] 'lamp': params: parameter 'color': expected a number "
         "from -1e8 to 1e8, got 3e+38"},
        {"shadow colour of -3e38",
         {{"s.json", with_at("/lights/0/params/shadow_color", {-3e38, 0, 0})}},
         "oska-render: $D/s.json: lights[0] 'lamp': params: parameter 'shadow_color': expected a "
         "number from -1e8 to 1e8, got -3e+38"},
        {"saturation of 3e38",
         {{"s.json", with_at("/lights/0/params/saturation", 3e38)}},
         "oska-render: $D/s.json: lights[0] 'lamp': params: parameter 'saturation': expected a "
         "number from -1e8 to 1e8, got 3e+38"},
        {"burn multiplier of -3e38",
         {{"s.json", with_at("/lights/0/params/burn_multiplier", -3e38)}},
         "oska-render: $D/s.json: lights[0] 'lamp': params: parameter 'burn_multiplier': "
         "expected a number from -1e8 to 1e8, got -3e+38"},
        {"vertex channel of 3e38",
         {{"s.json",
           with_at("/objects/1/channels",
                   {{"1", {{"vertices", {{0, 0, 0}, {0, 3e38, 0}, {0, 0, 0}, {0, 0, 0}}}}}})}},
         "oska-render: $D/s.json: objects[1] 'panel': channels: '1': vertices[1]: expected a "
         "number from -1e8 to 1e8, got 3e+38"},
        {"material colour of 3e38",
         {{"s.json", with_at("/objects/0/color", {3e38, 1, 1})}},
         "oska-render: $D/s.json: objects[0] 'floor': color: expected a number from -1e8 to 1e8, "
         "got 3e+38"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir d;
        set_up(d, "");
        std::vector<std::string> before = d.list();
        for (const auto &[name, text] : c.files) {
            d.write(name, text);
            before.push_back(name);
        }
        for (const char *output : {"out.png", "out.exr"}) {
            d.write(output, kOld);
            before.push_back(output);
        }
        std::vector<std::string> args;
        const std::vector<std::string> plain{"$D/s.json", "-o", "$D/out.png"};
        for (const std::string &arg : c.args.empty() ? plain : c.args) {
            args.push_back(replace_all(arg, "$D", d.path()));
        }
        const std::map<std::string, std::string> old = contents(d);
        ProgramRun run = run_program(args, c.file_limit, 60, d.path());
        EXPECT_EQ(run.signal, 0) << strsignal(run.signal);
        EXPECT_EQ(run.status, c.status);
        std::string message = replace_all(c.message, "$D", d.path());
        EXPECT_EQ(run.err, message.empty() ? "" : message + "\n");
        EXPECT_EQ(run.out, "");
        // A failed run leaves the old image as it was and nothing new.
        std::vector<std::string> after = d.list();
        std::sort(before.begin(), before.end());
        std::sort(after.begin(), after.end());
        EXPECT_EQ(after, before);
        // Every file keeps its bytes but the image a render wrote.
        auto o = std::find(args.begin(), args.end(), "-o");
        std::string written = c.status == 0 && o != args.end() ? *std::next(o) : "";
        written.erase(0, written.rfind('/') + 1);
        for (const auto &[name, bytes] : old) {
            if (name != written) {
                EXPECT_EQ(slurp(d.file(name)), bytes) << name;
            }
        }
    }
}

// A model, declarations and scene saved with a byte-order mark, or with
// other line ends, render to the bytes the plain files give.
TEST(BadInput, TextFilesRenderTheSameWithAMarkOrOtherLineEnds) {
    // Four corners after one vertex that no face uses: a first line lost
    // moves the quad onto other corners.
    const std::string model = "v 0 0.5 0.6\nv -1 0.5 -0.2\nv 1 0.5 -0.2\nv 1 0.5 0.2\n"
                              "v -1 0.5 0.2\nf 2 3 4 5\n";
    const std::string declarations = slurp(directory_of(default_library_path()) + "/oska.decl");
    json scene = scene_with("m.obj");
    scene["declarations"] = "d.decl";
    const struct {
        const char *name;
        const char *mark, *end; // put before the text, and at the end of each line
        bool json;              // the scene gets them too (a lone CR is no JSON line end)
    } cases[] = {{"plain", "", "\n", true},
                 {"byte-order mark", "\xEF\xBB\xBF", "\n", true},
                 {"CRLF", "", "\r\n", true},
                 {"mark and CRLF", "\xEF\xBB\xBF", "\r\n", true},
                 {"CR", "", "\r", false}};
    TempDir d;
    std::string plain;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto saved = [&](const std::string &text) {
            return c.mark + replace_all(text, "\n", c.end);
        };
        d.write("m.obj", saved(model));
        d.write("d.decl", saved(declarations));
        d.write("s.json", c.json ? saved(scene.dump(1)) : scene.dump(1));
        ProgramRun run = run_program({d.file("s.json"), "-o", d.file("out.png"), "--quiet"});
        EXPECT_EQ(run.err, "");
        if (run.status != 0) {
            ADD_FAILURE() << "exit status " << run.status;
            continue;
        }
        std::string image = slurp(d.file("out.png"));
        if (plain.empty()) {
            plain = image;
        }
        EXPECT_TRUE(image == plain) << "renders otherwise than the plain files";
    }
}

// Scenes at the edges of what is taken (numbers at the limits, tiny, -0,
// lights whose maths overflows where they meet them) render, and every
// pixel is a finite number.
TEST(BadInput, ExtremeButValidScenesGiveFinitePixels) {
    auto params = [](json &s) -> json & { return s["lights"][0]["params"]; };
    const struct {
        const char *name;
        std::function<void(json &)> change;
    } cases[] = {
        {"colour, intensity and its adjustments at the limit",
         [&](json &s) {
             params(s) = {{"color", {1e8, 1e8, 1e8, 1e8}},
                          {"hsv_adjust", true},
                          {"hue", 1e8},
                          {"saturation", 1e8},
                          {"value", 1e8},
                          {"burn", true},
                          {"burn_multiplier", 1e8},
                          {"burn_threshold", -1e8},
                          {"burn_power", 1e8}};
         }},
        {"negative colours and shadow colours",
         [&](json &s) {
             params(s) = {{"color", {-1e8, 1e8, -1e8, -1e8}},
                          {"shadows", true},
                          {"max_level", 2},
                          {"shadow_color", {1e8, -1e8, 1e8}},
                          {"tint_shadow", true}};
         }},
        {"the steepest exponents right by the light",
         [&](json &s) {
             s["lights"][0]["exponent"] = 16;
             params(s) = {{"color", {1, 1, 1, 1e8}}, {"decay", 3}, {"decay_start", -1e8}};
             s["objects"][1]["translate"] = {0, 1e-3, 0};
         }},
        {"a negative exponent far from the light",
         [&](json &s) {
             s["lights"][0]["exponent"] = -16;
             params(s) = {{"color", {1, 1, 1, 1e8}}, {"decay", 2}, {"decay_end", 1e8}};
             s["objects"][1]["translate"] = {0, 1e7, 0};
         }},
        {"a physical light's emit divisor near 0",
         [&](json &s) {
             s["lights"][0]["emit_divisor"] = 1e-8;
             params(s) = {{"color", {1e8, 1e8, 1e8, 1e8}}, {"decay", 3}};
         }},
        {"directional emission at the limits",
         [&](json &s) {
             params(s) = {{"color", {1e8, 1e8, 1e8, 1e8}},
                          {"directional", true},
                          {"cosine", true},
                          {"cutoff", -1e8}};
         }},
        {"vertex channels at the limits",
         [&](json &s) {
             s["objects"][1]["channels"] = {{"1", {1e8, 1e8, 1e8}}, {"2", {-1e8, 1e8, -1e8}}};
             params(s) = {{"color", {1e8, 1e8, 1e8, 1e8}},
                          {"use_vertex_color", true},
                          {"vc_color", true},
                          {"vc_color_channel", 1},
                          {"vc_intensity", true},
                          {"vc_intensity_channel", 1},
                          {"vc_range", true},
                          {"vc_range_channel", 2},
                          {"vc_shadow", true},
                          {"vc_shadow_channel", 2},
                          {"shadows", true},
                          {"max_level", 1},
                          {"decay", 1},
                          {"decay_end", 1e8}};
         }},
        {"background and material at the limit",
         [&](json &s) {
             s["background"] = {1e8, -1e8, 1e8};
             s["objects"][0]["color"] = {1e8, 1e8, -1e8};
             params(s) = {{"color", {1e8, 1e8, 1e8, 1e8}}};
         }},
        {"a camera at the corner of the limit",
         [&](json &s) {
             s["camera"] = {{"position", {1e8, 1e8, 1e8}}, {"fov", 1e-3}};
         }},
        {"an orthographic camera as high as the limit, 4096 pixels wide",
         [&](json &s) {
             s["camera"]["height"] = 1e8;
             s["image"]["width"] = 4096;
             s["image"]["height"] = 1;
         }},
        {"a floor reaching the limit",
         [&](json &s) {
             s["objects"][0]["size"] = {1e8, 1e8};
             s["objects"][0]["translate"] = {5e7, 0, -5e7};
         }},
        {"tiny numbers",
         [&](json &s) {
             s["camera"] = {{"position", {0, 5, 1e-30}}, {"up", {0, 0, -1e-20}}, {"fov", 1e-30}};
             s["objects"][0]["scale"] = 1e-30;
             params(s) = {{"color", {1e-45, 1e-45, 1e-45, 1e-45}}};
         }},
        {"minus zero",
         [&](json &s) {
             s["camera"]["up"] = {-0.0, -0.0, -1};
             s["objects"][1]["translate"] = {-0.0, 1, -0.0};
             params(s) = {{"color", {-0.0, 1, -0.0, 1}},
                          {"decay", 2},
                          {"decay_start", -0.0},
                          {"decay_end", 1e8}};
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir d;
        d.write("s.json", with(c.change));
        std::string out = d.file("out.exr");
        ProgramRun run = run_program({d.file("s.json"), "-o", out, "--quiet"});
        EXPECT_EQ(run.signal, 0) << strsignal(run.signal);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        auto in = OIIO::ImageInput::open(out);
        if (!in) {
            ADD_FAILURE() << "no image in " << out;
            continue;
        }
        const OIIO::ImageSpec format = in->spec_dimensions(0);
        std::vector<float> pixels(format.image_pixels() *
                                  static_cast<std::size_t>(format.nchannels));
        EXPECT_TRUE(
            in->read_image(0, 0, 0, format.nchannels, OIIO::TypeDesc::FLOAT, pixels.data()));
        auto bad =
            std::find_if(pixels.begin(), pixels.end(), [](float v) { return !std::isfinite(v); });
        EXPECT_TRUE(bad == pixels.end()) << "value " << (bad - pixels.begin()) << " is " << *bad;
    }
}

// An emitter of 8000 slivers, each across the whole image: finding the
// pixels their edges cross, before the first pass, is bounded by the image
// and the mesh rather than their product, and counts against --time. The
// bound here only catches a hang; bench/outline_bench has the figures.
TEST(BadInput, ManyThinEmittersRenderInBoundedTime) {
    TempDir d;
    d.write("slivers.obj", slivers::model(8000));
    const json scene = slivers::scene(160, 120, 2, 1);
    d.write("s.json", scene.dump());
    const std::vector<std::string> cases[] = {{}, {"--time", "1"}};
    for (const auto &options : cases) {
        std::vector<std::string> args = {d.file("s.json"), "-o",         d.file("out.png"),
                                         "--quiet",        "--adaptive", "on"};
        args.insert(args.end(), options.begin(), options.end());
        SCOPED_TRACE(options.empty() ? "scene's samples" : "--time 1");
        const auto start = std::chrono::steady_clock::now();
        ProgramRun run = run_program(args, 0, 20);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(run.signal, 0) << strsignal(run.signal);
        EXPECT_EQ(run.status, 0) << run.err;
        RecordProperty(options.empty() ? "seconds" : "seconds_timed", std::to_string(took.count()));
    }
}

// The pixels of the EXR image `file` (empty when it cannot be read).
std::vector<float> pixels_of(const std::string &file) {
    auto in = OIIO::ImageInput::open(file);
    if (!in) {
        return {};
    }
    const OIIO::ImageSpec format = in->spec_dimensions(0);
    std::vector<float> pixels(format.image_pixels() * static_cast<std::size_t>(format.nchannels));
    if (!in->read_image(0, 0, 0, format.nchannels, OIIO::TypeDesc::FLOAT, pixels.data())) {
        return {};
    }
    return pixels;
}

// The count the summary gives after `label` ("1,234" as 1234); -1: none.
long count_after(const std::string &summary, const std::string &label) {
    auto at = summary.find(label);
    if (at == std::string::npos) {
        return -1;
    }
    std::string digits;
    for (at += label.size();
         at < summary.size() && (std::isdigit(summary[at]) || summary[at] == ','); ++at) {
        digits += summary[at] != ',' ? std::string(1, summary[at]) : "";
    }
    return digits.empty() ? -1 : std::stol(digits);
}

// A light shader that answers NaN or infinity on one call in seven: each such
// answer costs its own sample (it adds nothing, as a rejected one), not its
// light's estimate, the camera sample or the pixel, so that the image keeps
// six sevenths of its light; the summary counts them. The same holds
// however the samples are spread, for a light's samples and for the
// emitter the camera sees (its eye-ray answers).
TEST(BadInput, AShaderAnswerThatIsNotFiniteCostsItsSampleOnly) {
    const std::string spoiling = host::built_file_path("librender_test_spoiling.so");
    const std::vector<std::string> ways[] = {
        {},
        {"--light-sampling", "bounds"},
        {"--light-sampling", "choose", "--light-split", "4"},
        {"--adaptive", "off"},
    };
    TempDir d;
    json scene = scene_with();
    scene["image"] = {{"width", 32}, {"height", 8}, {"spp", 4}, {"light_samples", 16}};
    scene["objects"][1]["size"] = {0.5, 0.5}; // seen by the camera in the middle columns
    const std::string file = d.write("s.json", scene.dump());
    for (const auto &way : ways) {
        std::string name;
        for (const std::string &word : way) {
            name += word + " ";
        }
        SCOPED_TRACE(name);
        auto render = [&](const std::string &library, const std::string &out) {
            std::vector<std::string> args{file, "-o", d.file(out), "--threads", "1"};
            if (!library.empty()) {
                args.insert(args.end(), {"--library", library});
            }
            args.insert(args.end(), way.begin(), way.end());
            return run_program(args);
        };
        const ProgramRun clean = render("", "clean.exr"), spoiled = render(spoiling, "spoiled.exr");
        ASSERT_EQ(clean.status, 0) << clean.err;
        ASSERT_EQ(spoiled.status, 0) << spoiled.err;
        EXPECT_EQ(count_after(clean.err, "answers not finite (dropped) "), 0) << clean.err;
        // Every seventh call is spoiled, and every call's answer is accepted.
        const long calls = count_after(spoiled.err, "shader calls ");
        EXPECT_EQ(count_after(spoiled.err, "answers not finite (dropped) "), calls / 7)
            << spoiled.err;
        EXPECT_EQ(count_after(spoiled.err, "rejected by the light shader "), 0) << spoiled.err;

        const std::vector<float> clean_pixels = pixels_of(d.file("clean.exr"));
        const std::vector<float> spoiled_pixels = pixels_of(d.file("spoiled.exr"));
        ASSERT_EQ(clean_pixels.size(), spoiled_pixels.size());
        ASSERT_FALSE(clean_pixels.empty());
        double clean_sum = 0, spoiled_sum = 0;
        for (std::size_t i = 0; i < clean_pixels.size(); ++i) {
            ASSERT_TRUE(std::isfinite(spoiled_pixels[i])) << "value " << i;
            clean_sum += clean_pixels[i];
            spoiled_sum += spoiled_pixels[i];
        }
        // 6/7 = 0.857, give or take which samples the seventh calls fall on.
        EXPECT_NEAR(spoiled_sum / clean_sum, 6.0 / 7.0, 0.05);
    }
}

TEST(BadInput, HelpGoesToStandardOutput) {
    for (const char *option : {"--help", "-h"}) {
        ProgramRun run = run_program({option});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out.rfind("usage: oska-render", 0), 0u) << run.out;
        EXPECT_NE(run.out.find("--max-image-memory"), std::string::npos);
        EXPECT_NE(run.out.find("--allow-scene-library"), std::string::npos);
    }
}

// The same scene and options give the same bytes, whatever the number of
// threads (and whenever it runs: no date stamp).
TEST(BadInput, OutputIsTheSameForAnyThreadCount) {
    TempDir d;
    write_png(d.file("texture.png"));
    d.write("s.json", scene_with("", "texture.png").dump());
    for (const char *format : {"png", "exr"}) {
        SCOPED_TRACE(format);
        std::string one = d.file(std::string("one.") + format);
        std::string two = d.file(std::string("two.") + format);
        ASSERT_EQ(
            run_program({d.file("s.json"), "-o", one, "--threads", "1", "--size", "40x30"}).status,
            0);
        sleep(1); // a date stamp would now differ
        ASSERT_EQ(
            run_program({d.file("s.json"), "-o", two, "--threads", "2", "--size", "40x30"}).status,
            0);
        std::string first = slurp(one);
        EXPECT_FALSE(first.empty());
        EXPECT_TRUE(first == slurp(two));
    }
}

// Lookups are bilinear: between the centres of a black and a white texel
// the value rises linearly (a bicubic filter bends it).
TEST(BadInput, TextureLookupsAreBilinear) {
    TempDir d;
    std::string path = d.file("ramp.exr");
    const float texels[4] = {0, 0, 1, 1}; // 4x1, one channel: black, black, white, white
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out && out->open(path, OIIO::ImageSpec(4, 1, 1, OIIO::TypeDesc::FLOAT)) &&
                out->write_image(OIIO::TypeDesc::FLOAT, texels) && out->close());
    std::uint64_t budget = 1024;
    Image ramp = read_image(path, "auto", budget);
    // Texel centres at u = 0.125, 0.375, 0.625, 0.875.
    for (float t : {0.0f, 0.25f, 0.5f, 0.75f, 1.0f}) {
        oska_color c;
        ASSERT_TRUE(lookup(ramp, 0.375f + 0.25f * t, 0.5f, false, &c));
        EXPECT_NEAR(c.r, t, 1e-5f) << t;
    }
    // Beyond the image: tiled or held at the edge, however far out; a
    // coordinate that is not a number is no lookup.
    const struct {
        float u;
        bool repeat, found;
        float red;
    } far[] = {{1.375f, true, true, 0.0f},        {-0.625f, true, true, 0.0f},
               {1.875f, true, true, 1.0f},        {-2.0f, false, true, 0.0f},
               {7.0f, false, true, 1.0f},         {1e30f, true, true, 0.0f},
               {-3e38f, true, false, 0.0f},       {3e38f, false, false, 0.0f},
               {std::nanf(""), true, false, 0.0f}};
    for (const auto &row : far) {
        oska_color c{};
        EXPECT_EQ(lookup(ramp, row.u, 0.5f, row.repeat, &c), row.found) << row.u;
        EXPECT_EQ(c.r, row.red) << row.u;
    }
    // 8- and 16-bit images keep their whole numbers and give, at each texel
    // centre, the float the image library reads for it.
    for (OIIO::TypeDesc type : {OIIO::TypeDesc::UINT8, OIIO::TypeDesc::UINT16}) {
        std::string file = d.file(type == OIIO::TypeDesc::UINT8 ? "ramp8.png" : "ramp16.png");
        std::vector<float> values(256), read(256);
        for (std::size_t i = 0; i < values.size(); ++i) {
            values[i] = static_cast<float>(i) / 255.0f;
        }
        auto png = OIIO::ImageOutput::create(file);
        ASSERT_TRUE(png && png->open(file, OIIO::ImageSpec(256, 1, 1, type)) &&
                    png->write_image(OIIO::TypeDesc::FLOAT, values.data()) && png->close());
        auto in = OIIO::ImageInput::open(file);
        ASSERT_TRUE(in && in->read_image(0, 0, 0, 1, OIIO::TypeDesc::FLOAT, read.data()));
        std::uint64_t room = 4096;
        Image image = read_image(file, "linear", room);
        EXPECT_EQ(image.depth, static_cast<int>(type.size()));
        for (std::size_t i = 0; i < read.size(); ++i) {
            oska_color c;
            ASSERT_TRUE(lookup(image, (static_cast<float>(i) + 0.5f) / 256.0f, 0.5f, false, &c));
            ASSERT_EQ(c.r, read[i]) << i;
        }
    }
}

} // namespace
} // namespace oska::render::test
