#include "json_reader.h"

#include <set>
#include <vector>

namespace oska::render {

using nlohmann::json;

namespace {

// One array or object being read. Its place in the scene is not kept as
// text: it is spelt out from the open frames only when a message needs it,
// so reading costs no more than the text itself, however deep it goes.
struct Frame {
    bool array = false;
    std::size_t next = 0; // index of the next element of an array
    std::string key;      // the current key of an object
    std::set<std::string> keys;
};

// Where the innermost open frame sits: "objects[1]: channels".
std::string where_of(const std::vector<Frame> &stack) {
    std::string where;
    for (std::size_t i = 0; i + 1 < stack.size(); ++i) {
        const Frame &parent = stack[i];
        if (parent.array) {
            where += "[" + std::to_string(parent.next - 1) + "]";
        } else {
            where += (where.empty() ? "" : ": ") + parent.key;
        }
    }
    return where;
}

} // namespace

json parse_json(const std::string &text) {
    std::vector<Frame> stack;
    auto callback = [&](int, json::parse_event_t event, json &parsed) {
        switch (event) {
        case json::parse_event_t::object_start:
        case json::parse_event_t::array_start:
            if (stack.size() >= kMaxJsonDepth) {
                throw Error("arrays and objects are nested more than " +
                            std::to_string(kMaxJsonDepth) + " deep");
            }
            if (!stack.empty() && stack.back().array) {
                ++stack.back().next;
            }
            stack.emplace_back();
            stack.back().array = event == json::parse_event_t::array_start;
            break;
        case json::parse_event_t::object_end:
        case json::parse_event_t::array_end:
            stack.pop_back();
            break;
        case json::parse_event_t::key:
            stack.back().key = parsed.get<std::string>();
            if (!stack.back().keys.insert(stack.back().key).second) {
                std::string where = where_of(stack);
                throw Error((where.empty() ? "" : where + ": ") + "the key '" + stack.back().key +
                            "' is given twice");
            }
            break;
        case json::parse_event_t::value:
            if (!stack.empty() && stack.back().array) {
                ++stack.back().next;
            }
            break;
        }
        return true;
    };
    try {
        return json::parse(text, callback);
    } catch (const json::exception &e) { // parse errors, and numbers beyond a double
        std::string why = e.what();
        if (auto colon = why.find("] "); colon != std::string::npos) {
            why = why.substr(colon + 2);
        }
        throw Error("not valid JSON: " + why);
    }
}

json parse_json(const JsonReader &read, const std::string &text) {
    try {
        return parse_json(text);
    } catch (const Error &e) {
        read.fail("", e.what());
    }
}

} // namespace oska::render
