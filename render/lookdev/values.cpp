#include "lookdev/values.h"

#include "error.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace oska::render::lookdev {

namespace {

// The shortest decimal text that reads back as the same float, so that a
// value typed as 0.9 is saved as 0.9 and not as 0.89999997615814209.
json float_value(float value) {
    char text[32];
    for (int digits = 1; digits <= 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(value));
        if (std::strtof(text, nullptr) == value) {
            break;
        }
    }
    double shortest = std::strtod(text, nullptr);
    if (shortest == static_cast<double>(static_cast<long long>(shortest)) && shortest > -1e15 &&
        shortest < 1e15) {
        return static_cast<long long>(shortest);
    }
    return shortest;
}

json value_of(ParamType type, const ParamSetting &setting) {
    switch (type) {
    case ParamType::color:
        return json::array({float_value(setting.numbers[0]), float_value(setting.numbers[1]),
                            float_value(setting.numbers[2]), float_value(setting.numbers[3])});
    case ParamType::scalar:
        return float_value(setting.numbers[0]);
    case ParamType::integer:
        return setting.integer;
    case ParamType::boolean:
        return setting.integer != 0;
    case ParamType::tag:
        return setting.names.empty() ? std::string() : setting.names[0];
    }
    return nullptr;
}

bool is_zero_number(const json &value) { return value.is_number() && value.get<double>() == 0; }

// What an unset parameter holds: 0, false, "" or a colour of zeros.
bool is_zero(const json &value) {
    if (value.is_array()) {
        return std::all_of(value.begin(), value.end(), is_zero_number);
    }
    if (value.is_boolean()) {
        return !value.get<bool>();
    }
    if (value.is_string()) {
        return value.get<std::string>().empty();
    }
    return is_zero_number(value);
}

// ---- Finding spans in JSON text (already known to be valid JSON).

std::size_t skip_space(const std::string &t, std::size_t i) {
    return std::min(t.find_first_not_of(" \t\n\r", i), t.size());
}

[[noreturn]] void malformed() { throw Error("the scene file is not the JSON it was"); }

std::size_t skip_string(const std::string &t, std::size_t i) {
    for (++i; i < t.size(); ++i) {
        if (t[i] == '\\') {
            ++i;
        } else if (t[i] == '"') {
            return i + 1;
        }
    }
    malformed();
}

// The end of the value that starts at `i`.
std::size_t skip_value(const std::string &t, std::size_t i) {
    i = skip_space(t, i);
    if (i >= t.size()) {
        malformed();
    }
    if (t[i] == '"') {
        return skip_string(t, i);
    }
    if (t[i] == '{' || t[i] == '[') {
        int depth = 0;
        for (; i < t.size(); ++i) {
            if (t[i] == '"') {
                i = skip_string(t, i) - 1;
            } else if (t[i] == '{' || t[i] == '[') {
                ++depth;
            } else if (t[i] == '}' || t[i] == ']') {
                if (--depth == 0) {
                    return i + 1;
                }
            }
        }
        malformed();
    }
    // A number, true, false or null: up to what may follow it.
    return std::min(t.find_first_of(",}] \t\n\r", i), t.size());
}

// Past the value or member that ends at `end`, and past its comma.
std::size_t next_item(const std::string &t, std::size_t end) {
    std::size_t i = skip_space(t, end);
    return i < t.size() && t[i] == ',' ? skip_space(t, i + 1) : i;
}

struct Member {
    std::string key;
    std::size_t begin, end; // the value
};

// The members of the object whose '{' is at `i`.
std::vector<Member> members(const std::string &t, std::size_t i) {
    std::vector<Member> found;
    i = skip_space(t, i + 1);
    while (i < t.size() && t[i] != '}') {
        std::size_t key_end = skip_string(t, i);
        json key = json::parse(t.substr(i, key_end - i));
        i = skip_space(t, key_end);
        if (i >= t.size() || t[i] != ':') {
            malformed();
        }
        std::size_t begin = skip_space(t, i + 1);
        std::size_t end = skip_value(t, begin);
        found.push_back({key.get<std::string>(), begin, end});
        i = next_item(t, end);
    }
    return found;
}

// The starts of the elements of the array whose '[' is at `i`.
std::vector<std::size_t> elements(const std::string &t, std::size_t i) {
    std::vector<std::size_t> found;
    i = skip_space(t, i + 1);
    while (i < t.size() && t[i] != ']') {
        found.push_back(i);
        i = next_item(t, skip_value(t, i));
    }
    return found;
}

// The width the lines of a pretty scene file keep within.
constexpr std::size_t kLineWidth = 96;
// A params object that stays on one line.
constexpr std::size_t kOneLine = std::string::npos;

// `params` as one object: on one line for kOneLine, else on as many lines as
// it takes, continuation lines indented to `column` + 2.
std::string format_params(const json &params, std::size_t column) {
    std::string out = "{ ";
    std::size_t line_start = 0;
    for (auto it = params.begin(); it != params.end(); ++it) {
        std::string member = json(it.key()).dump() + ": " + it->dump(-1, ' ', false);
        if (it != params.begin()) {
            out += ",";
            if (column != kOneLine &&
                column + (out.size() - line_start) + member.size() > kLineWidth) {
                out += "\n" + std::string(column + 2, ' ');
                line_start = out.size() - column - 2;
            } else {
                out += " ";
            }
        }
        out += member;
    }
    return out + (params.empty() ? "}" : " }");
}

// The column of `begin`, where params written between `begin` and `end`
// start, when the rest of their line keeps within the width; kOneLine when
// it does not. A line that passes the width without them (a file written on
// one line by a program) gets them on one line too: aligned to their column
// there, every continuation line would be indented as deep as the line is
// long.
std::size_t params_column(const std::string &t, std::size_t begin, std::size_t end) {
    const std::size_t newline = begin == 0 ? std::string::npos : t.rfind('\n', begin - 1);
    const std::size_t column = newline == std::string::npos ? begin : begin - newline - 1;
    const std::size_t rest = std::min(t.find('\n', end), t.size()) - end;
    return column + rest <= kLineWidth ? column : kOneLine;
}

} // namespace

json light_values(const LightDesc &light) {
    json values = json::object();
    // An unset parameter is zero, as a setting that sets nothing holds.
    for (const ParamDecl &param : light.shader.decl->params) {
        if (!param.array) {
            values[param.name] = value_of(param.type, ParamSetting{});
        }
    }
    for (const ParamSetting &setting : light.shader.params) {
        if (!setting.decl->array) {
            values[setting.decl->name] = value_of(setting.decl->type, setting);
        }
    }
    return values;
}

json params_to_write(const ShaderDecl &decl, const json &values,
                     const std::vector<std::string> &keep) {
    json out = json::object();
    for (const ParamDecl &param : decl.params) {
        auto it = values.find(param.name);
        if (param.array || it == values.end()) {
            continue;
        }
        if (std::find(keep.begin(), keep.end(), param.name) != keep.end() || !is_zero(*it)) {
            // A colour whose alpha is 1 is written as the file usually has it.
            if (it->is_array() && it->size() == 4 && (*it)[3] == 1) {
                out[param.name] = json::array({(*it)[0], (*it)[1], (*it)[2]});
            } else {
                out[param.name] = *it;
            }
        }
    }
    return out;
}

std::string splice_light_params(const std::string &text, const std::vector<json> &params) {
    // A byte-order mark before the scene's text stays where it is.
    std::size_t start = skip_space(text, text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0);
    if (start >= text.size() || text[start] != '{') {
        malformed();
    }
    std::vector<std::size_t> lights;
    for (const Member &m : members(text, start)) {
        if (m.key == "lights" && text[m.begin] == '[') {
            lights = elements(text, m.begin);
        }
    }
    if (lights.size() != params.size()) {
        throw Error("the scene file no longer has the lights it was opened with");
    }
    // From the last light back, so that earlier offsets stay valid.
    std::string out = text;
    for (std::size_t i = lights.size(); i-- > 0;) {
        if (params[i].is_null()) {
            continue; // unchanged: its text stays as it is
        }
        if (out[lights[i]] != '{') {
            malformed();
        }
        std::vector<Member> light = members(out, lights[i]);
        auto found = std::find_if(light.begin(), light.end(),
                                  [](const Member &m) { return m.key == "params"; });
        if (found != light.end()) {
            out.replace(found->begin, found->end - found->begin,
                        format_params(params[i], params_column(out, found->begin, found->end)));
        } else if (!params[i].empty()) {
            std::string member =
                "\"params\": " +
                format_params(params[i], params_column(out, lights[i], lights[i] + 1));
            out.insert(lights[i] + 1, " " + member + (light.empty() ? " " : ", "));
        }
    }
    return out;
}

} // namespace oska::render::lookdev
