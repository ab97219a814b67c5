// Shader declarations: the parameter names and types of each shader, from
// which the host lays out parameter records and sets parameters by name.
//
// The file lists, for each shader, "shader NAME RESULT", one "TYPE NAME" line
// per parameter in record order, and "end"; '#' starts a comment. A colour
// takes 16 bytes; a scalar, boolean, integer or tag 4; "array TYPE NAME" 12
// (start index, count, element slot), its elements laid after the record.
#ifndef OSKA_RENDER_DECLARATIONS_H
#define OSKA_RENDER_DECLARATIONS_H

#include <oska/host_api.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace oska::render {

enum class ParamType {
    color = OSKA_PARAM_TYPE_COLOR,
    scalar = OSKA_PARAM_TYPE_SCALAR,
    boolean = OSKA_PARAM_TYPE_BOOLEAN,
    integer = OSKA_PARAM_TYPE_INTEGER,
    tag = OSKA_PARAM_TYPE_TAG
};

struct ParamDecl {
    std::string name;
    ParamType type = ParamType::integer;
    bool array = false;     // array of `type`: start index, count, element slot
    std::size_t offset = 0; // bytes from the start of the record
    std::size_t size = 0;   // bytes in the record (12 for an array)
};

// The element of `list` called `name`; nullptr when there is none.
template <class T> const T *find_named(const std::vector<T> &list, const std::string &name) {
    auto found = std::find_if(list.begin(), list.end(), [&](const T &e) { return e.name == name; });
    return found == list.end() ? nullptr : &*found;
}

struct ShaderDecl {
    std::string name;
    std::string result;
    std::vector<ParamDecl> params;
    std::size_t record_size = 0;

    const ParamDecl *find(const std::string &param) const;
};

struct Declarations {
    std::vector<ShaderDecl> shaders;

    const ShaderDecl *find(const std::string &shader) const;
};

// Parses declarations; `file` names the source in errors ("FILE:LINE: ...").
Declarations parse_declarations(const std::string &text, const std::string &file);
// Reads and parses a declaration file.
Declarations load_declarations(const std::string &path);

const char *type_name(ParamType type);

// Throws Error, "FILE: WHAT", naming the first difference between the
// declarations of each shader the header's tables list and its table: a
// parameter's name, type or offset, one missing or one too many. A shader
// the file does not declare is left to its first use.
void check_against_tables(const Declarations &declarations, const std::string &file);

// The rows of a shader's parameter table in the host interface header, in
// record order; empty for a shader the header does not list.
struct ParamTable {
    const oska_param_info *rows = nullptr;
    std::size_t count = 0;

    const oska_param_info *begin() const { return rows; }
    const oska_param_info *end() const { return rows + count; }
};
ParamTable param_table(const std::string &shader);
// The row of `shader`'s parameter `param`; nullptr when there is none.
const oska_param_info *param_row(const std::string &shader, const std::string &param);
// The row of `shader`'s table with `role` (OSKA_ROLE_...); nullptr when none
// has it.
const oska_param_info *param_with(const std::string &shader, int role);
// Whether `shader`'s parameter `param` has a table row with `flag`
// (OSKA_PARAM_...).
bool param_has(const std::string &shader, const std::string &param, unsigned flag);
// Whether `shader`'s parameter `param` has a table row with `role`.
bool param_is(const std::string &shader, const std::string &param, int role);

// Whether decay law `law` (OSKA_DECAY_...) works within a range, as the
// header's list of laws says.
bool ranged_decay(int law);
// The name of `role` (OSKA_ROLE_...) as the lookdev page knows it; "" for none.
const char *role_name(int role);

// Reads a parameter record by the roles its shader's table gives the rows,
// so that what the renderer shows or decides of a light follows the table
// rather than field names. A role the table lacks reads as 0.
class Roles {
  public:
    // `record` is the shader's parameter record, laid out as its table says.
    Roles(const std::string &shader, const void *record);

    // The row with `role`; nullptr when there is none.
    const oska_param_info *row(int role) const;
    // Every row with `flag` (OSKA_PARAM_...), in record order.
    std::vector<const oska_param_info *> rows(unsigned flag) const;
    // The row after `row` in record order; nullptr after the last.
    const oska_param_info *next(const oska_param_info *row) const;
    const ParamTable &table() const { return table_; }

    const char *name(int role) const;
    // The word of an integer, boolean or tag; 0 for other types.
    int32_t word(int role) const { return word(row(role)); }
    int32_t word(const oska_param_info *row) const;
    float scalar(int role) const;
    // The four numbers of a colour; zeros for other types.
    oska_color color(int role) const;

  private:
    ParamTable table_;
    const unsigned char *record_;
};

} // namespace oska::render

#endif
