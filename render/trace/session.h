// The host side of a render: loads the shader library, lays the scene out in
// the host's database, runs the scene shaders, initialises each light's
// shader, and at the end takes everything down in the library's calling
// protocol, checking that every block the library allocated came back.
//
// The host core is process-wide: one session at a time.
#ifndef OSKA_RENDER_SESSION_H
#define OSKA_RENDER_SESSION_H

#include "lit_scene.h"
#include "scene.h"

#include <oska/host/host.h>
#include <oska/host/library.h>
#include <oska/host_api.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace oska::render {

struct SessionOptions {
    // Receives each message of the library, as a line ready to print.
    std::function<void(const std::string &)> report;
    bool verbose = false; // report the library's info messages too
};

// Throws the Error a session would open with when `library` is not a file
// the system can load as the shader library ("SCENE: library 'LIB': ...");
// `scene_file` names the scene. Loads the library to see, and unloads it.
void check_shader_library(const std::string &scene_file, const std::string &library);

class Session {
  public:
    Session(const Scene &scene, SessionOptions options);
    // Takes the session down (exits); reports nothing.
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Loads the library, builds the host's scene, runs the scene shaders and
    // initialises the light shaders. Throws Error; the destructor still
    // releases what was set up.
    void open();
    // Ends every shader instance and the shaders, unloads the library, and
    // throws Error when the library sent an error as it ended or left blocks
    // allocated (the last of these; the others go to the report first).
    void close();

    const Scene &scene() const { return scene_; }
    // What a render reads: built by open(), valid until the session ends.
    const LitScene &lit() const { return lit_; }
    const std::vector<BoundLight> &lights() const { return lit_.lights; }

    // The library's exports called so far, in order: "oskacolor_version",
    // "oskacolor_init(0)", "oskacolor_init(lights[0] 'a')", "oskalight(shaders[0])", ...
    const std::vector<std::string> &protocol() const { return protocol_; }

    // ---- Changing a light between renders (never while one runs).
    // Throws Error when `call` would make light `index` read a vertex
    // channel its object lacks.
    void check_light(std::size_t index, const ShaderCall &call) const;
    // Lays light `index`'s record out anew from `call`, the parameters it
    // takes from now on, and runs the instance's exit and init again, so
    // that the switches and modes the shader fixes at init follow.
    void refresh_light(std::size_t index, const ShaderCall &call);
    // What light `index`'s shader answers each of `states` with the
    // parameters of `call`, from an instance of its own that is initialised
    // for these calls and ended after them (the light itself is left alone).
    // A state's function, light instance and sample links are set here.
    struct Answer {
        bool accepted = false;
        oska_color color{0, 0, 0, 0};
    };
    std::vector<Answer> evaluate_light_at(std::size_t index, const ShaderCall &call,
                                          std::vector<oska_state> &states);

  private:
    struct Shader; // one shader of the library and its instances
    Shader &shader(const std::string &name, const std::string &where);
    void start_instance(Shader &s, host::ShaderInstance &instance, oska_state &state,
                        const std::string &where);
    // Lays `call` out in `storage`: its record, then the elements of its
    // arrays; zero elsewhere.
    void fill_record(std::vector<unsigned char> &storage, const ShaderCall &call) const;
    // The steps of open(), in order.
    void reset_host();
    void load_library();
    void fill_database();
    void route_lookups();
    void run_scene_shaders();
    void bind_lights();
    void bind_light(std::size_t index);
    oska_tag tag_of(const std::string &name) const;
    // "FILE: WHERE: WHAT", a message about the scene's `where`.
    std::string located(const std::string &where, const std::string &what) const;
    // Passes on the library's messages since the last call; throws the
    // first error as an Error located at `where`.
    void take_messages(const std::string &where);
    // The same at the end, unlocated: reports all but the errors, returned.
    std::vector<std::string> closing_errors();
    void teardown();

    const Scene &scene_;
    SessionOptions options_;
    host::Library library_;
    std::vector<std::unique_ptr<Shader>> shaders_;
    // One record per object and texture of the scene, in its order; the
    // lights' are in lit_, made with their tags and bound when opened.
    struct ObjectRecord {
        oska_tag instance = 0;
    };
    struct TextureRecord {
        oska_tag tag = 0;
    };
    std::vector<ObjectRecord> objects_;
    std::vector<TextureRecord> textures_;
    LitScene lit_;
    std::vector<int> texture_of_tag_; // texture index by tag, -1 for other tags
    std::vector<std::string> protocol_;
    // For evaluate_light_at, made at its first use.
    host::ShaderInstance *evaluator_ = nullptr;
    oska_state *evaluator_state_ = nullptr;
    // The library's messages since the last take_messages; they may come from
    // any thread.
    std::mutex messages_mutex_;
    std::vector<host::Message> pending_messages_;
    bool down_ = true;
};

} // namespace oska::render

#endif
