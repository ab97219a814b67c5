// Bad scenes stop with one line that names the scene file and the thing at
// fault, before anything is rendered, and leave nothing allocated; doubtful
// ones render, with a warning that names the same.
#include "render_test.h"

namespace oska::render::test {
namespace {

json good_scene() { return floor_scene({{"color", {1, 1, 1, 1}}}); }

// The line must name the file and every fragment given.
void expect_error(const std::string &error, std::initializer_list<const char *> fragments) {
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    for (const char *fragment : fragments) {
        EXPECT_NE(error.find(fragment), std::string::npos)
            << "'" << error << "' lacks '" << fragment << "'";
    }
}

TEST(SceneErrors, AGoodSceneRenders) {
    Outcome outcome = render_json(good_scene());
    EXPECT_EQ(outcome.error, "");
    EXPECT_GT(outcome.stats.shader_calls, 0);
}

TEST(SceneErrors, MalformedJsonNamesTheFile) {
    TempDir dir;
    std::string file = dir.write("broken.json", "{\"objects\": [ }");
    try {
        load_scene_file(file, {});
        ADD_FAILURE();
    } catch (const Error &e) {
        expect_error(e.what(), {"broken.json", "not valid JSON"});
    }
    try {
        load_scene_file(dir.file("absent.json"), {});
        ADD_FAILURE();
    } catch (const Error &e) {
        expect_error(e.what(), {"absent.json", "no such file"});
    }
}

// Vertex data on, and the light's `feature` read from vertex channel
// `channel`.
std::function<void(json &)> vertex_feature(const char *feature, int channel) {
    return [feature, channel](json &s) {
        json &params = s["lights"][0]["params"];
        params["use_vertex_color"] = true;
        params[feature] = true;
        params[std::string(feature) + "_channel"] = channel;
    };
}

// One oskalight shader whose sample count `param` is `count`.
std::function<void(json &)> binding_samples(const char *param, int count) {
    return [param, count](json &s) {
        s["shaders"] = {{{"shader", "oskalight"}, {"params", {{param, count}}}}};
    };
}

// Each case breaks one thing of a good scene.
TEST(SceneErrors, EachFaultIsNamed) {
    struct Case {
        const char *what;
        std::function<void(json &)> spoil;
        std::initializer_list<const char *> fragments;
    };
    const Case cases[] = {
        {"unknown parameter",
         [](json &s) {
             s["lights"][0]["params"]["colour"] = {1, 1, 1};
         },
         {"test.json", "lights[0] 'lamp'", "unknown parameter 'colour'"}},
        {"colour given as a number",
         [](json &s) { s["lights"][0]["params"]["color"] = 1; },
         {"test.json", "parameter 'color'", "expected a colour"}},
        {"boolean given as a number",
         [](json &s) { s["lights"][0]["params"]["shadows"] = 1; },
         {"parameter 'shadows'", "expected true or false"}},
        {"integer given a fraction",
         [](json &s) { s["lights"][0]["params"]["decay"] = 1.5; },
         {"parameter 'decay'", "whole number"}},
        {"scalar given a string",
         [](json &s) { s["lights"][0]["params"]["cutoff"] = "wide"; },
         {"parameter 'cutoff'", "expected a number"}},
        {"tag naming nothing",
         [](json &s) { s["lights"][0]["params"]["texture"] = "nothing"; },
         {"parameter 'texture'", "'nothing'"}},
        {"texture naming an object",
         [](json &s) { s["lights"][0]["params"]["texture"] = "floor"; },
         {"parameter 'texture'", "no texture named 'floor'"}},
        {"binding sample count out of range",
         binding_samples("samples_1", 70000),
         {"shaders[0]: parameter 'samples_1'", "sample count from 0 to 65535"}},
        {"negative binding sample count",
         binding_samples("samples_3", -1),
         {"parameter 'samples_3'", "sample count"}},
        {"negative sample count",
         [](json &s) { s["lights"][0]["samples"] = -4; },
         {"lights[0] 'lamp': samples", "from 0 to 65535"}},
        {"zero pixels", [](json &s) { s["image"]["width"] = 0; }, {"image: width", "from 1"}},
        {"fractional spp",
         [](json &s) { s["image"]["spp"] = 2.5; },
         {"image: spp", "whole number"}},
        {"unknown key",
         [](json &s) {
             s["objects"][0]["colour"] = {1, 1, 1};
         },
         {"objects[0] 'floor'", "unknown key 'colour'"}},
        {"unknown shape",
         [](json &s) { s["objects"][0]["shape"] = "torus"; },
         {"objects[0] 'floor': shape", "unknown shape 'torus'"}},
        {"missing mesh file",
         [](json &s) {
             s["objects"][0].erase("shape");
             s["objects"][0].erase("size");
             s["objects"][0]["mesh"] = "nowhere.obj";
         },
         {"objects[0] 'floor'", "nowhere.obj"}},
        {"missing texture file",
         [](json &s) {
             s["textures"] = {{"wood", "nowhere.png"}};
         },
         {"textures: 'wood'", "nowhere.png"}},
        {"unknown shader",
         [](json &s) { s["lights"][0]["shader"] = "glow"; },
         {"lights[0] 'lamp'", "unknown shader 'glow'"}},
        {"light bound to nothing",
         [](json &s) { s["lights"][0]["object"] = "ghost"; },
         {"lights[0] 'lamp': object", "no object named 'ghost'"}},
        {"name used twice",
         [](json &s) { s["objects"][1]["name"] = "floor"; },
         {"objects[1] 'floor'", "the name 'floor' is taken"}},
        {"vertex channel the object lacks",
         vertex_feature("vc_color", 2),
         {"lights[0] 'lamp'", "vc_color_channel 2", "no vertex channel 2"}},
        {"negative vertex channel",
         vertex_feature("vc_intensity", -1),
         {"vc_intensity_channel -1"}},
        {"range channel the object lacks",
         vertex_feature("vc_range", 3),
         {"lights[0] 'lamp'", "vc_range_channel 3", "no vertex channel 3"}},
        {"shadow channel the object lacks",
         vertex_feature("vc_shadow", 4),
         {"lights[0] 'lamp'", "vc_shadow_channel 4", "no vertex channel 4"}},
        {"binding sample count past 16 bits",
         binding_samples("samples_5", 65536),
         {"parameter 'samples_5'", "sample count from 0 to 65535"}},
        {"channel list of the wrong length",
         [](json &s) {
             s["objects"][1]["channels"] = {{"1", {{"vertices", {{1, 1, 1}}}}}};
         },
         {"objects[1] 'panel': channels: '1'", "expected 4 vertex values"}},
        {"camera looking nowhere",
         [](json &s) { s["camera"]["look_at"] = s["camera"]["position"]; },
         {"camera", "same point"}},
        // The lists of named things, their entries, and the first fault in
        // file order.
        {"objects not a list",
         [](json &s) { s["objects"] = json::object(); },
         {"objects", "expected an array of objects"}},
        {"lights not a list",
         [](json &s) { s["lights"] = 3; },
         {"lights", "expected an array of lights"}},
        {"an object that is a number",
         [](json &s) { s["objects"][1] = 5; },
         {"objects[1]", "expected an object"}},
        {"a light without a name",
         [](json &s) { s["lights"][0].erase("name"); },
         {"lights[0]", "missing 'name'"}},
        {"a name that is not a string",
         [](json &s) { s["objects"][0]["name"] = 7; },
         {"objects[0]: name", "expected a non-empty string"}},
        {"a bad first object before a nameless second",
         [](json &s) {
             s["objects"][0]["shape"] = "torus";
             s["objects"][1].erase("name");
         },
         {"objects[0] 'floor': shape", "unknown shape 'torus'"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        json scene = good_scene();
        c.spoil(scene);
        expect_error(error_of(scene), c.fragments);
        EXPECT_TRUE(host::host().leaks().empty());
    }
}

// A channel is checked only when vertex data and its own switch are on: the
// shader reads no other.
TEST(SceneErrors, ChannelsThatAreSwitchedOffAreNotChecked) {
    const struct {
        const char *what;
        json params;
    } cases[] = {
        {"vertex data off", {{"vc_color", true}, {"vc_color_channel", 5}}},
        {"its switch off, another on",
         {{"use_vertex_color", true},
          {"vc_color", true},
          {"vc_color_channel", 0},
          {"vc_range_channel", 5},
          {"vc_shadow_channel", 6}}},
        {"every switch off", {{"use_vertex_color", true}, {"vc_intensity_channel", 7}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        json scene = good_scene();
        for (const auto &[name, value] : c.params.items()) {
            scene["lights"][0]["params"][name] = value;
        }
        EXPECT_EQ(error_of(scene), "");
    }
}

TEST(SceneErrors, UnreadableImageIsNamed) {
    TempDir dir;
    dir.write("fake.png", "this is not an image");
    json scene = good_scene();
    scene["textures"] = {{"fake", "fake.png"}};
    expect_error(error_of(scene, dir.path()), {"test.json", "textures: 'fake'", "fake.png"});
}

TEST(SceneErrors, LibraryThatCannotBeLoadedOrLacksExports) {
    std::string stub = default_library_path();
    stub = stub.substr(0, stub.rfind('/')) + "/librender_test_stub.so";
    const struct {
        std::string library;
        const char *fragment;
    } cases[] = {{"/nowhere/liboska.so", "/nowhere/liboska.so"},
                 {stub, "does not export oskacolor_version"}};
    for (const auto &c : cases) {
        json scene = good_scene();
        scene["library"] = c.library;
        scene["declarations"] =
            default_library_path().substr(0, default_library_path().rfind('/')) + "/oska.decl";
        LoadOptions trusted;
        trusted.allow_scene_library = true;
        expect_error(error_of(scene, ".", trusted), {"test.json: library", c.fragment});
    }
}

TEST(SceneErrors, LightShaderRefusesALightThatIsNotAnObjectLight) {
    json scene = good_scene();
    scene["lights"][0].erase("object"); // never bound: stays a plain light
    Outcome outcome = render_json(scene);
    expect_error(outcome.error, {"test.json: lights[0] 'lamp'",
                                 "oskacolor-> this shader works only with object lights"});
    // Its settings block was still released at the end.
    EXPECT_TRUE(host::host().leaks().empty());
    EXPECT_GT(host::host().allocations(), 0);
    EXPECT_EQ(host::host().allocations(), host::host().releases());
}

TEST(SceneWarnings, BindingWarningsReachTheUser) {
    json scene = good_scene();
    // A second binding call naming a light instance and no object.
    scene["shaders"] = {
        {{"shader", "oskalight"}, {"params", {{"enable", true}, {"lights", {"lamp"}}}}}};
    Outcome outcome = render_json(scene);
    EXPECT_EQ(outcome.error, "");
    ASSERT_EQ(outcome.messages.size(), 1u);
    EXPECT_EQ(outcome.messages[0], "test.json: shaders[0]: warning: -> no instance found");
}

TEST(SceneWarnings, BindingSeveralLightsInOneCallWarns) {
    json scene = good_scene();
    scene["objects"].push_back({{"name", "other_panel"}, {"shape", "quad"}});
    scene["lights"].push_back({{"name", "other"}, {"params", {{"color", {1, 1, 1}}}}});
    scene["lights"][0].erase("object");
    scene["shaders"] = {
        {{"shader", "oskalight"},
         {"params", {{"enable", true}, {"instance", "panel"}, {"lights", {"lamp", "other"}}}}}};
    Outcome outcome = render_json(scene);
    ASSERT_EQ(outcome.messages.size(), 1u);
    EXPECT_EQ(outcome.messages[0], "test.json: shaders[0]: warning: one oskalight call binds only "
                                   "the first of its lights ('lamp'); give each light a call of "
                                   "its own");
    // The second light stays a plain light, which its shader refuses.
    expect_error(outcome.error, {"lights[1] 'other'", "works only with object lights"});
}

TEST(SceneWarnings, ShadowsWithoutATraceLevelWarn) {
    json scene = good_scene();
    scene["lights"][0]["params"]["shadows"] = true; // max_level left at 0
    Outcome outcome = render_json(scene);
    EXPECT_EQ(outcome.error, "");
    ASSERT_EQ(outcome.messages.size(), 1u);
    EXPECT_EQ(outcome.messages[0], "test.json: lights[0] 'lamp': warning: shadows is on but "
                                   "max_level is 0, so no shadow is traced (set max_level to 1 "
                                   "or more)");
    EXPECT_EQ(outcome.stats.shadow_rays, 0);
}

} // namespace
} // namespace oska::render::test

namespace oska::render::test {
namespace {

// Every scene of the gallery loads and renders (tiny), with its OBJ model
// and its textures, and leaves nothing allocated.
TEST(Examples, EveryGallerySceneRenders) {
    std::vector<std::string> scenes;
    for (const std::string &name : names_in(OSKA_EXAMPLES_DIR)) {
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0) {
            scenes.push_back(name);
        }
    }
    EXPECT_GE(scenes.size(), 8u);
    for (const std::string &name : scenes) {
        SCOPED_TRACE(name);
        std::ifstream in(std::string(OSKA_EXAMPLES_DIR) + "/" + name);
        json scene = json::parse(in);
        scene["image"] = {{"width", 16}, {"height", 12}, {"spp", 1}, {"light_samples", 1}};
        Outcome outcome = render_json(scene, 2, OSKA_EXAMPLES_DIR);
        EXPECT_EQ(outcome.error, "");
        EXPECT_TRUE(outcome.messages.empty());
        EXPECT_GT(outcome.stats.shader_calls, 0);
    }
}

} // namespace
} // namespace oska::render::test
