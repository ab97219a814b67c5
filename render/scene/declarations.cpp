#include "declarations.h"

#include "error.h"
#include "files.h"

#include <cstring>
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

namespace {

// Stops the parse at a line: "FILE:LINE: WHAT".
struct LineError {
    const std::string &file;
    int number = 0;
    [[noreturn]] void operator()(const std::string &what) const {
        throw Error(file + ":" + std::to_string(number) + ": " + what);
    }
};

// A parameter line's words, "TYPE NAME" or "array TYPE NAME", laid after
// the parameters of `open` so far.
ParamDecl parse_param(const std::vector<std::string> &w, const ShaderDecl &open,
                      const LineError &fail) {
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
    if (open.find(param.name) != nullptr) {
        fail("parameter '" + param.name + "' declared twice");
    }
    param.offset = open.record_size;
    param.size = param.array ? 12 : (param.type == ParamType::color ? 16 : 4);
    return param;
}

// The words of a line, without its comment.
std::vector<std::string> words_of(std::string line) {
    if (auto hash = line.find('#'); hash != std::string::npos) {
        line.erase(hash);
    }
    std::istringstream words(line);
    return {std::istream_iterator<std::string>(words), {}};
}

} // namespace

Declarations parse_declarations(const std::string &text, const std::string &file) {
    Declarations result;
    ShaderDecl *open = nullptr;
    std::istringstream lines(text);
    std::string line;
    LineError fail{file};
    while (std::getline(lines, line)) {
        ++fail.number;
        std::vector<std::string> w = words_of(line);
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
        } else if (open == nullptr) {
            fail("'" + w[0] + "' outside a shader");
        } else if (w[0] == "end") {
            if (w.size() != 1) {
                fail("unexpected text after 'end'");
            }
            open = nullptr;
        } else {
            open->params.push_back(parse_param(w, *open, fail));
            open->record_size += open->params.back().size;
        }
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

const oska_param_info *param_with(const std::string &shader, int role) {
    for (const oska_param_info &row : param_table(shader)) {
        if (role != OSKA_ROLE_NONE && row.role == role) {
            return &row;
        }
    }
    return nullptr;
}

bool param_has(const std::string &shader, const std::string &param, unsigned flag) {
    const oska_param_info *row = param_row(shader, param);
    return row != nullptr && (row->flags & flag) != 0;
}

bool param_is(const std::string &shader, const std::string &param, int role) {
    const oska_param_info *row = param_row(shader, param);
    return row != nullptr && role != OSKA_ROLE_NONE && row->role == role;
}

namespace {

std::string described(const ParamDecl &d) {
    return std::string(d.array ? "array " : "") + type_name(d.type) + " " + d.name + " at +" +
           std::to_string(d.offset);
}

std::string described(const oska_param_info &row) {
    return std::string(row.decl_type) + " " + row.name + " at +" + std::to_string(row.offset);
}

} // namespace

void check_against_tables(const Declarations &declarations, const std::string &file) {
    for (const ShaderDecl &shader : declarations.shaders) {
        const ParamTable table = param_table(shader.name);
        if (table.count == 0) {
            continue;
        }
        const std::string where = file + ": shader " + shader.name + ": ";
        const std::size_t common = std::min(table.count, shader.params.size());
        for (std::size_t i = 0; i < common; ++i) {
            const ParamDecl &d = shader.params[i];
            const oska_param_info &row = table.rows[i];
            if (d.name != row.name || static_cast<int>(d.type) != row.type ||
                d.array != (row.array != 0) || d.offset != static_cast<std::size_t>(row.offset)) {
                throw Error(where + "declares " + described(d) + " where this renderer's " +
                            "parameter table has " + described(row));
            }
        }
        if (shader.params.size() > common) {
            throw Error(where + "declares " + described(shader.params[common]) +
                        ", past the end of this renderer's parameter table");
        }
        if (table.count > common) {
            throw Error(where + "lacks " + described(table.rows[common]) +
                        " of this renderer's parameter table");
        }
    }
}

bool ranged_decay(int law) {
#define OSKA_RANGED_LAW(name, code, text, ranged)                                                  \
    if (law == (code)) {                                                                           \
        return (ranged) != 0;                                                                      \
    }
    OSKA_DECAY_LAWS(OSKA_RANGED_LAW)
#undef OSKA_RANGED_LAW
    return false;
}

const char *role_name(int role) {
#define OSKA_ROLE_NAME(name, code, text)                                                           \
    if (role == (code)) {                                                                          \
        return text;                                                                               \
    }
    OSKA_PARAM_ROLES(OSKA_ROLE_NAME)
#undef OSKA_ROLE_NAME
    return "";
}

Roles::Roles(const std::string &shader, const void *record)
    : table_(param_table(shader)), record_(static_cast<const unsigned char *>(record)) {}

const oska_param_info *Roles::row(int role) const {
    auto found = std::find_if(table_.begin(), table_.end(), [&](const oska_param_info &r) {
        return role != OSKA_ROLE_NONE && r.role == role;
    });
    return found == table_.end() ? nullptr : found;
}

std::vector<const oska_param_info *> Roles::rows(unsigned flag) const {
    std::vector<const oska_param_info *> found;
    for (const oska_param_info &r : table_) {
        if ((r.flags & flag) != 0) {
            found.push_back(&r);
        }
    }
    return found;
}

const oska_param_info *Roles::next(const oska_param_info *row) const {
    return row == nullptr || row + 1 == table_.end() ? nullptr : row + 1;
}

const char *Roles::name(int role) const {
    const oska_param_info *r = row(role);
    return r == nullptr ? "" : r->name;
}

int32_t Roles::word(const oska_param_info *row) const {
    int32_t word = 0;
    if (row != nullptr && row->type != OSKA_PARAM_TYPE_SCALAR && row->size == sizeof word) {
        std::memcpy(&word, record_ + row->offset, sizeof word);
    }
    return word;
}

float Roles::scalar(int role) const {
    const oska_param_info *r = row(role);
    float number = 0;
    if (r != nullptr && r->type == OSKA_PARAM_TYPE_SCALAR) {
        std::memcpy(&number, record_ + r->offset, sizeof number);
    }
    return number;
}

oska_color Roles::color(int role) const {
    const oska_param_info *r = row(role);
    oska_color c{};
    if (r != nullptr && r->type == OSKA_PARAM_TYPE_COLOR) {
        std::memcpy(&c, record_ + r->offset, sizeof c);
    }
    return c;
}

} // namespace oska::render
