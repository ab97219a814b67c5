// Writes the committed files that restate the parameter tables of the host
// interface header, as they must read: the probe scene and its values in the
// probe's guide, the record sizes the docs and the consumer test give, the
// minimal host's line references in the host guide, and the parameter list
// at the top of the shader. Each file is read from the source tree and
// written, with only those parts made anew, under the output folder; the
// build compares the two (cmake/OskaTablesCheck.cmake).
// Usage: oska_tables SOURCE_DIR OUT_DIR
#include <oska/host_api.h>

#include "probe_scene.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using oska::probe::FieldValue;

// The shortest decimal that reads back as `value`.
std::string number(float value) {
    char text[32];
    for (int digits = 1; digits <= 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(value));
        if (std::strtof(text, nullptr) == value) {
            break;
        }
    }
    return text;
}

std::string colour(const float *n, const char *open, const char *close) {
    return open + number(n[0]) + ", " + number(n[1]) + ", " + number(n[2]) + ", " + number(n[3]) +
           close;
}

// A probe value as the scene file writes it.
std::string json_value(const FieldValue &f) {
    switch (f.type) {
    case OSKA_PARAM_TYPE_COLOR:
        return colour(f.numbers, "[", "]");
    case OSKA_PARAM_TYPE_SCALAR:
        return number(f.numbers[0]);
    case OSKA_PARAM_TYPE_BOOLEAN:
        return f.integer != 0 ? "true" : "false";
    case OSKA_PARAM_TYPE_INTEGER:
        return std::to_string(f.integer);
    default:
        return std::string("\"") + f.name_of_tag + "\"";
    }
}

// A probe value as the probe's guide writes it.
std::string doc_value(const FieldValue &f) {
    switch (f.type) {
    case OSKA_PARAM_TYPE_COLOR:
        return colour(f.numbers, "(", ")");
    case OSKA_PARAM_TYPE_TAG:
        return std::string("the tag of `") + f.name_of_tag + "`";
    default: {
        std::string text = json_value(f);
        if (f.offset == oska::probe::kAttachedOffset && f.type == OSKA_PARAM_TYPE_SCALAR) {
            text += "; a host that can attach parameters attaches `" + std::string(f.name) +
                    "` to a shader that yields " + number(oska::probe::kAttachedValue);
        }
        return text;
    }
    }
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string join_lines(const std::vector<std::string> &lines) {
    std::string out;
    for (const std::string &line : lines) {
        out += line + "\n";
    }
    return out;
}

struct Failure {
    std::string what;
};

// The probe scene: each record's "params" object, one line per parameter.
template <std::size_t N, std::size_t R>
void params_block(std::vector<std::string> &lines, const std::string &owner,
                  const std::array<FieldValue, N> &fields, const oska_param_info (&rows)[R]) {
    std::size_t at = 0;
    while (at < lines.size() && lines[at].find(owner) == std::string::npos) {
        ++at;
    }
    while (at < lines.size() && lines[at].find("\"params\": {") == std::string::npos) {
        ++at;
    }
    std::size_t end = at + 1;
    while (end < lines.size() && lines[end].find('}') == std::string::npos) {
        ++end;
    }
    if (end >= lines.size()) {
        throw Failure{"no \"params\" block after " + owner};
    }
    std::vector<std::string> made;
    std::size_t next = 0;
    for (const oska_param_info &row : rows) {
        std::string value;
        if (row.array) {
            value = std::string("[\"") + oska::probe::kLightName + "\"]";
        } else {
            value = json_value(fields[next++]);
        }
        made.push_back(std::string("        \"") + row.name + "\": " + value + ",");
    }
    made.back().pop_back();
    lines.erase(lines.begin() + static_cast<long>(at) + 1, lines.begin() + static_cast<long>(end));
    lines.insert(lines.begin() + static_cast<long>(at) + 1, made.begin(), made.end());
}

std::string probe_scene(const std::string &text) {
    std::vector<std::string> lines = split_lines(text);
    params_block(lines, std::string("\"name\": \"") + oska::probe::kLightName + "\"",
                 oska::probe::kColorFields, oska::probe::kColorRows);
    params_block(lines, "\"shader\": \"oskalight\"", oska::probe::kLightFields,
                 oska::probe::kLightRows);
    return join_lines(lines);
}

// The probe's guide: the table after each marker, and the count of fields.
template <std::size_t N, std::size_t R>
void doc_table(std::vector<std::string> &lines, const std::string &marker,
               const std::array<FieldValue, N> &fields, const oska_param_info (&rows)[R]) {
    std::size_t at = 0;
    while (at < lines.size() && lines[at] != marker) {
        ++at;
    }
    if (at + 2 >= lines.size()) {
        throw Failure{"no line '" + marker + "' followed by a table"};
    }
    const std::size_t first = at + 3; // past the marker, the header and its rule
    std::size_t end = first;
    while (end < lines.size() && !lines[end].empty() && lines[end][0] == '|') {
        ++end;
    }
    std::vector<std::string> made;
    std::size_t next = 0;
    for (const oska_param_info &row : rows) {
        if (row.array) {
            made.push_back("| " + std::to_string(row.offset) + ", " +
                           std::to_string(row.offset + 4) + ", " + std::to_string(row.offset + 8) +
                           " | `" + row.name + "` | one element: the tag of the light instance `" +
                           oska::probe::kLightName +
                           "` (start index as the host lays out arrays) |");
            continue;
        }
        const FieldValue &f = fields[next++];
        made.push_back("| " + std::to_string(f.offset) + " | `" + f.name + "` | " + doc_value(f) +
                       " |");
    }
    lines.erase(lines.begin() + static_cast<long>(first), lines.begin() + static_cast<long>(end));
    lines.insert(lines.begin() + static_cast<long>(first), made.begin(), made.end());
}

std::string probe_guide(const std::string &text) {
    std::vector<std::string> lines = split_lines(text);
    doc_table(lines, "<!-- oskalight probe values: made from the parameter tables -->",
              oska::probe::kLightFields, oska::probe::kLightRows);
    doc_table(lines, "<!-- oskacolor probe values: made from the parameter tables -->",
              oska::probe::kColorFields, oska::probe::kColorRows);
    return std::regex_replace(join_lines(lines), std::regex("each of the \\d+ parameters"),
                              "each of the " + std::to_string(std::size(oska::probe::kColorRows)) +
                                  " parameters");
}

// Record sizes, wherever a file gives them in one of its phrasings.
std::string sizes(const std::string &text) {
    const std::string color = std::to_string(sizeof(oskacolor_params));
    const std::string light = std::to_string(sizeof(oskalight_params));
    std::string out = text;
    out = std::regex_replace(
        out, std::regex("(`oskacolor_params`, )\\d+( bytes; `oskalight_params`, )\\d+( bytes)"),
        "$01" + color + "$02" + light + "$03");
    out = std::regex_replace(out, std::regex("(`oskalight_params` \\()\\d+ and \\d+( bytes\\))"),
                             "$01" + color + " and " + light + "$02");
    out = std::regex_replace(
        out, std::regex("(records: oskacolor )\\d+( bytes, oskalight )\\d+( bytes)"),
        "$01" + color + "$02" + light + "$03");
    return out;
}

// The host guide's references `minimal_host.c:LINE NAME`: LINE must show
// NAME; one that no longer does moves to the nearest line that does.
std::string line_references(const std::string &text, const std::vector<std::string> &host) {
    std::string out;
    const std::regex reference("minimal_host\\.c:(\\d+) (\\w+)");
    std::string::const_iterator from = text.begin();
    for (std::sregex_iterator it(text.begin(), text.end(), reference), last; it != last; ++it) {
        const std::string name = (*it)[2];
        const std::regex word("\\b" + name + "\\b");
        const long given = std::stol((*it)[1]) - 1;
        long found = -1;
        for (long d = 0; found < 0 && d < static_cast<long>(host.size()); ++d) {
            for (long line : {given - d, given + d}) {
                if (found < 0 && line >= 0 && line < static_cast<long>(host.size()) &&
                    std::regex_search(host[static_cast<std::size_t>(line)], word)) {
                    found = line;
                }
            }
        }
        if (found < 0) {
            throw Failure{"minimal_host.c has no " + name};
        }
        out.append(from, text.begin() + it->position());
        out += "minimal_host.c:" + std::to_string(found + 1) + " " + name;
        from = text.begin() + it->position() + it->length();
    }
    out.append(from, text.end());
    return out;
}

// The shader's list of its parameters, between its heading line and the
// first empty comment line: name, type, when it is read and what it does,
// wrapped to the column of the descriptions.
std::string shader_comment(const std::string &text) {
    std::vector<std::string> lines = split_lines(text);
    const std::string heading = "//   name                  type     read  what it does";
    std::size_t at = 0;
    while (at < lines.size() && lines[at] != heading) {
        ++at;
    }
    std::size_t end = at + 1;
    while (end < lines.size() && lines[end] != "//") {
        ++end;
    }
    if (end >= lines.size()) {
        throw Failure{"no parameter list under '" + heading + "'"};
    }
    constexpr std::size_t kWidth = 100, kColumn = 42;
    std::vector<std::string> made;
    for (const oska_param_info &row : oska::probe::kColorRows) {
        std::string line = "//   " + std::string(row.name);
        line.resize(std::max<std::size_t>(line.size() + 1, 27), ' ');
        line += row.type == OSKA_PARAM_TYPE_COLOR ? "colour" : row.decl_type;
        line.resize(36, ' ');
        line += (row.flags & OSKA_PARAM_INIT) != 0 ? "init  " : "eval  ";
        std::istringstream words(row.description);
        bool first = true;
        for (std::string word; words >> word; first = false) {
            if (!first && line.size() + 1 + word.size() > kWidth) {
                made.push_back(line);
                line = "//" + std::string(kColumn - 2, ' ');
                first = true;
            }
            line += (first ? "" : " ") + word;
        }
        made.push_back(line);
    }
    lines.erase(lines.begin() + static_cast<long>(at) + 1, lines.begin() + static_cast<long>(end));
    lines.insert(lines.begin() + static_cast<long>(at) + 1, made.begin(), made.end());
    return join_lines(lines);
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw Failure{"cannot read " + path.string()};
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const fs::path &path, const std::string &text) {
    fs::create_directories(path.parent_path());
    const fs::path temp = path.string() + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary);
        out << text;
        out.close();
        if (!out) {
            throw Failure{"cannot write " + temp.string()};
        }
    }
    fs::rename(temp, path);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fputs("usage: oska_tables SOURCE_DIR OUT_DIR\n", stderr);
        return 2;
    }
    const fs::path source = argv[1], out = argv[2];
    try {
        const std::vector<std::string> host =
            split_lines(read_file(source / "examples/minimal_host/minimal_host.c"));
        const struct {
            const char *file;
            std::string (*make)(const std::string &, const std::vector<std::string> &);
        } kFiles[] = {
            {"examples/probe.json",
             [](const std::string &t, const std::vector<std::string> &) { return probe_scene(t); }},
            {"docs/probe.md",
             [](const std::string &t, const std::vector<std::string> &) { return probe_guide(t); }},
            {"README.md",
             [](const std::string &t, const std::vector<std::string> &) { return sizes(t); }},
            {"docs/host-guide.md",
             [](const std::string &t, const std::vector<std::string> &h) {
                 return line_references(sizes(t), h);
             }},
            {"tests/consumer/expected_output.txt",
             [](const std::string &t, const std::vector<std::string> &) { return sizes(t); }},
            {"src/oskacolor/oskacolor.cpp",
             [](const std::string &t, const std::vector<std::string> &) {
                 return shader_comment(t);
             }},
        };
        for (const auto &f : kFiles) {
            write_file(out / f.file, f.make(read_file(source / f.file), host));
        }
    } catch (const Failure &failure) {
        std::fprintf(stderr, "oska_tables: %s\n", failure.what.c_str());
        return 1;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "oska_tables: %s\n", e.what());
        return 1;
    }
    return 0;
}
