// The list of checks as a table: a row per check or per table of entries.
#include "checks.h"

namespace oska::probe {

namespace {

const char *entry_name(const char *function) { return function; }
const char *entry_name(const FieldValue &field) { return field.name; }

// A field that holds a tag is checked by the name of the element it tags.
Needs entry_needs(const char * /*function*/) { return Needs(); }
Needs entry_needs(const FieldValue &field) {
    return field.type == OSKA_PARAM_TYPE_TAG ? Needs(host_mi_api_tag_lookup) : Needs();
}

struct Row {
    CheckId first;
    int count;
    const char *group;
    const char *(*name)(int entry);
    Needs (*needs)(int entry);
};

#define OSKA_PROBE_ONE_ROW(id, group, name, needs)                                                 \
    {check_##id, 1, group, [](int) { return name; }, [](int) { return Needs needs; }},
#define OSKA_PROBE_EACH_ROW(id, group, table)                                                      \
    {check_##id, int(std::size(table)), group, [](int i) { return entry_name(table[i]); },         \
     [](int i) { return entry_needs(table[i]); }},
constexpr Row kRows[] = {OSKA_PROBE_CHECKS(OSKA_PROBE_ONE_ROW, OSKA_PROBE_EACH_ROW)};
#undef OSKA_PROBE_ONE_ROW
#undef OSKA_PROBE_EACH_ROW

// The row of a check, and the entry of its table the check stands for.
const Row *row_of(CheckId check, int *entry) {
    for (const Row &row : kRows) {
        if (check >= row.first && check < row.first + row.count) {
            *entry = check - row.first;
            return &row;
        }
    }
    return nullptr;
}

} // namespace

const char *group_of(CheckId check) {
    int entry = 0;
    const Row *row = row_of(check, &entry);
    return row != nullptr ? row->group : "";
}

const char *name_of(CheckId check) {
    int entry = 0;
    const Row *row = row_of(check, &entry);
    return row != nullptr ? row->name(entry) : "";
}

Needs needs_of(CheckId check) {
    int entry = 0;
    const Row *row = row_of(check, &entry);
    return row != nullptr ? row->needs(entry) : Needs();
}

} // namespace oska::probe
