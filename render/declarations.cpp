#include "declarations.h"

#include "error.h"
#include "files.h"

#include <iterator>
#include <sstream>

namespace oska::render {

namespace {

// The types by their names in a declaration file.
const struct {
    const char *name;
    ParamType type;
} kTypes[] = {{"color", ParamType::color},
              {"scalar", ParamType::scalar},
              {"boolean", ParamType::boolean},
              {"integer", ParamType::integer},
              {"tag", ParamType::tag}};

bool parse_type(const std::string &word, ParamType *type) {
    for (const auto &entry : kTypes) {
        if (word == entry.name) {
            *type = entry.type;
            return true;
        }
    }
    return false;
}

} // namespace

const char *type_name(ParamType type) {
    for (const auto &entry : kTypes) {
        if (type == entry.type) {
            return entry.name;
        }
    }
    return "?";
}

const ParamDecl *ShaderDecl::find(const std::string &param) const {
    return find_named(params, param);
}

const ShaderDecl *Declarations::find(const std::string &shader) const {
    return find_named(shaders, shader);
}

Declarations parse_declarations(const std::string &text, const std::string &file) {
    Declarations result;
    ShaderDecl *open = nullptr;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    auto fail = [&](const std::string &what) {
        throw Error(file + ":" + std::to_string(number) + ": " + what);
    };
    while (std::getline(lines, line)) {
        ++number;
        if (auto hash = line.find('#'); hash != std::string::npos) {
            line.erase(hash);
        }
        std::istringstream words(line);
        std::vector<std::string> w{std::istream_iterator<std::string>(words), {}};
        if (w.empty()) {
            continue;
        }
        if (w[0] == "shader") {
            if (open != nullptr) {
                fail("shader '" + open->name + "' has no 'end'");
            }
            if (w.size() != 3) {
                fail("expected 'shader NAME RESULT'");
            }
            if (result.find(w[1]) != nullptr) {
                fail("shader '" + w[1] + "' declared twice");
            }
            result.shaders.push_back({w[1], w[2], {}, 0});
            open = &result.shaders.back();
            continue;
        }
        if (open == nullptr) {
            fail("'" + w[0] + "' outside a shader");
        }
        if (w[0] == "end") {
            if (w.size() != 1) {
                fail("unexpected text after 'end'");
            }
            open = nullptr;
            continue;
        }
        ParamDecl param;
        std::size_t name_at = 1;
        if (w[0] == "array") {
            param.array = true;
            name_at = 2;
            if (w.size() != 3 || !parse_type(w[1], &param.type)) {
                fail("expected 'array TYPE NAME'");
            }
        } else if (w.size() != 2 || !parse_type(w[0], &param.type)) {
            fail("expected 'TYPE NAME' with TYPE color, scalar, boolean, integer or tag");
        }
        param.name = w[name_at];
        if (open->find(param.name) != nullptr) {
            fail("parameter '" + param.name + "' declared twice");
        }
        param.offset = open->record_size;
        param.size = param.array ? 12 : (param.type == ParamType::color ? 16 : 4);
        open->record_size += param.size;
        open->params.push_back(param);
    }
    if (open != nullptr) {
        fail("shader '" + open->name + "' has no 'end'");
    }
    return result;
}

Declarations load_declarations(const std::string &path) {
    if (file_problem(path) == "no such file") {
        throw Error(path + ": cannot read the shader declarations (they ship beside the library)");
    }
    constexpr std::uint64_t kLargest = 16u << 20; // far beyond any real declaration file
    return parse_declarations(read_text_file(path, path, kLargest), path);
}

namespace {

#define OSKA_TABLE_ROWS(name, result, list)                                                        \
    const oska_param_info name##_rows[] = {list(OSKA_PARAM_INFO)};
OSKA_SHADERS(OSKA_TABLE_ROWS)
#undef OSKA_TABLE_ROWS

} // namespace

ParamTable param_table(const std::string &shader) {
#define OSKA_TABLE_OF(name, result, list)                                                          \
    if (shader == #name) {                                                                         \
        return {name##_rows, std::size(name##_rows)};                                              \
    }
    OSKA_SHADERS(OSKA_TABLE_OF)
#undef OSKA_TABLE_OF
    return {};
}

const oska_param_info *param_row(const std::string &shader, const std::string &param) {
    for (const oska_param_info &row : param_table(shader)) {
        if (param == row.name) {
            return &row;
        }
    }
    return nullptr;
}

const char *param_at(const std::string &shader, std::size_t offset) {
    for (const oska_param_info &row : param_table(shader)) {
        if (std::size_t(row.offset) == offset) {
            return row.name;
        }
    }
    return "";
}

bool param_has(const std::string &shader, const std::string &param, unsigned flag) {
    const oska_param_info *row = param_row(shader, param);
    return row != nullptr && (row->flags & flag) != 0;
}

} // namespace oska::render
