// The checked reading of a scene's JSON values, shared by the scene's
// readers: each value is read with the file and its path in the scene for
// messages ("hall.json: lights[0] 'strip': params: color: ...").
#ifndef OSKA_RENDER_JSON_READER_H
#define OSKA_RENDER_JSON_READER_H

#include "error.h"
#include "files.h"
#include "vec.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string>

namespace oska::render {

class JsonReader {
  public:
    JsonReader(const std::string &file, const std::string &base_dir)
        : file_(file), base_dir_(base_dir) {}

    [[noreturn]] void fail(const std::string &where, const std::string &what) const {
        throw Error(file_ + ": " + (where.empty() ? "" : where + ": ") + what);
    }

    // Refuses keys the scene format does not know (a misspelt key would
    // otherwise be ignored silently).
    void allow(const nlohmann::json &object, const std::string &where,
               std::initializer_list<const char *> keys) const {
        if (!object.is_object()) {
            fail(where, "expected an object");
        }
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (std::find(keys.begin(), keys.end(), it.key()) == keys.end()) {
                fail(where, "unknown key '" + it.key() + "'");
            }
        }
    }

    float number(const nlohmann::json &value, const std::string &where) const {
        if (!value.is_number()) {
            fail(where, "expected a number");
        }
        double d = value.get<double>();
        if (!std::isfinite(d) || std::fabs(d) > 3.0e38) {
            fail(where, "expected a finite number");
        }
        if (!(std::fabs(d) <= kNumberLimit)) {
            fail(where,
                 std::string("expected a number ") + kNumberLimitText + ", got " + value.dump());
        }
        return static_cast<float>(d);
    }

    float positive(const nlohmann::json &value, const std::string &where) const {
        float v = number(value, where);
        if (!(v > 0)) {
            fail(where, "expected a positive number, got " + value.dump());
        }
        return v;
    }

    int64_t whole(const nlohmann::json &value, const std::string &where) const {
        if (value.is_number_integer()) {
            return value.get<int64_t>();
        }
        if (value.is_number_float()) {
            double d = value.get<double>();
            if (std::floor(d) == d && std::fabs(d) < 2.0e9) {
                return static_cast<int64_t>(d);
            }
        }
        fail(where, "expected a whole number, got " + value.dump());
    }

    // A count: a whole number from `low` to `high`.
    int count(const nlohmann::json &value, const std::string &where, int64_t low,
              int64_t high) const {
        int64_t v = whole(value, where);
        if (v < low || v > high) {
            fail(where, "expected a whole number from " + std::to_string(low) + " to " +
                            std::to_string(high) + ", got " + value.dump());
        }
        return static_cast<int>(v);
    }

    Vec3 vec3(const nlohmann::json &value, const std::string &where) const {
        if (!value.is_array() || value.size() != 3) {
            fail(where, "expected [x, y, z]");
        }
        return {number(value[0], where), number(value[1], where), number(value[2], where)};
    }

    std::string string(const nlohmann::json &value, const std::string &where) const {
        if (!value.is_string() || value.get<std::string>().empty()) {
            fail(where, "expected a non-empty string");
        }
        return value.get<std::string>();
    }

    bool boolean(const nlohmann::json &value, const std::string &where) const {
        if (!value.is_boolean()) {
            fail(where, "expected true or false");
        }
        return value.get<bool>();
    }

    // Calls `each(entry, name, where)` for the entries of the scene's array
    // `list` ("objects", "lights") in order, each checked to be an object
    // with a name just before its call; `where` is "lights[1] 'strip'".
    template <class Each>
    void each_named(const nlohmann::json &node, const char *list, Each &&each) const {
        if (!node.is_array()) {
            fail(list, std::string("expected an array of ") + list);
        }
        for (std::size_t i = 0; i < node.size(); ++i) {
            const nlohmann::json &entry = node[i];
            std::string where = std::string(list) + "[" + std::to_string(i) + "]";
            if (!entry.is_object()) {
                fail(where, "expected an object");
            }
            if (!entry.contains("name")) {
                fail(where, "missing 'name'");
            }
            std::string name = string(entry["name"], where + ": name");
            where += " '" + name + "'";
            each(entry, std::move(name), std::move(where));
        }
    }

    // Stops unless `file` is a regular file: "SCENE: WHERE 'FILE': PROBLEM".
    void require_file(const std::string &file, const std::string &where) const {
        if (std::string problem = file_problem(file); !problem.empty()) {
            fail(where + " '" + file + "'", problem);
        }
    }

    std::string path(const std::string &relative) const {
        if (relative.empty() || relative[0] == '/' || base_dir_.empty()) {
            return relative;
        }
        return base_dir_ + "/" + relative;
    }

  private:
    const std::string &file_;
    const std::string &base_dir_;
};

// Arrays and objects within each other, at most: a scene needs a handful of
// levels, and a text of nothing but brackets must not cost more than its size.
constexpr std::size_t kMaxJsonDepth = 64;

// Parses `text`, refusing an object that gives one key twice (the parser
// would keep the last in silence) and nesting beyond kMaxJsonDepth; throws
// Error naming where in the text it fails.
nlohmann::json parse_json(const std::string &text);
// The same, the message naming the reader's file.
nlohmann::json parse_json(const JsonReader &read, const std::string &text);

} // namespace oska::render

#endif
