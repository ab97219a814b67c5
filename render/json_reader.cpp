#include "json_reader.h"

#include <set>
#include <vector>

namespace oska::render {

using nlohmann::json;

json parse_json(const JsonReader &read, const std::string &text) {
    struct Frame {
        bool array = false;
        std::size_t next = 0; // index of the next element of an array
        std::string key;      // the current key of an object
        std::set<std::string> keys;
        std::string where;
    };
    std::vector<Frame> stack;
    auto callback = [&](int, json::parse_event_t event, json &parsed) {
        switch (event) {
        case json::parse_event_t::object_start:
        case json::parse_event_t::array_start: {
            Frame frame;
            frame.array = event == json::parse_event_t::array_start;
            if (!stack.empty()) {
                Frame &parent = stack.back();
                frame.where = parent.array
                                  ? parent.where + "[" + std::to_string(parent.next++) + "]"
                                  : (parent.where.empty() ? "" : parent.where + ": ") + parent.key;
            }
            stack.push_back(std::move(frame));
            break;
        }
        case json::parse_event_t::object_end:
        case json::parse_event_t::array_end:
            stack.pop_back();
            break;
        case json::parse_event_t::key:
            stack.back().key = parsed.get<std::string>();
            if (!stack.back().keys.insert(stack.back().key).second) {
                read.fail(stack.back().where, "the key '" + stack.back().key + "' is given twice");
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
        read.fail("", "not valid JSON: " + why);
    }
}

} // namespace oska::render
