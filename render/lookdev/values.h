// Light parameters as the lookdev page sees them, and writing them back into
// the scene file.
//
// A value is JSON in the scene file's own form: a colour [r, g, b, a], a
// scalar a number, a boolean true or false, an integer a whole number, a
// tag the name of a scene element ("" for none).
#ifndef OSKA_RENDER_LOOKDEV_VALUES_H
#define OSKA_RENDER_LOOKDEV_VALUES_H

#include "scene.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace oska::render::lookdev {

using nlohmann::json;

// Every declared (non-array) parameter of the light's shader with its value:
// the ones the scene gives, zero for the others.
json light_values(const LightDesc &light);

// The parameters worth writing for `values`: those in `keep`, and every one
// that is not zero (an unset parameter is zero).
json params_to_write(const ShaderDecl &decl, const json &values,
                     const std::vector<std::string> &keep);

// The scene file's text with each light's "params" replaced by `params[i]`
// (a JSON object; null leaves the light as it is), everything else kept byte
// for byte. Throws Error when the
// text is not a scene with that many lights.
std::string splice_light_params(const std::string &text, const std::vector<json> &params);

// A light's parameter record read by the roles its shader's parameter table
// gives its rows (OSKA_PARAM_... flags), so that what the page is shown of a
// light names no parameter. A role the table lacks reads as 0 and names "".
class Roles {
  public:
    // `record` is the shader's parameter record, laid out as its table says.
    Roles(const std::string &shader, const void *record);

    // The first row with `flag`; nullptr when there is none.
    const oska_param_info *row(unsigned flag) const;
    // Every row with `flag`, in record order.
    std::vector<const oska_param_info *> rows(unsigned flag) const;
    // The row after `row` in record order; nullptr after the last.
    const oska_param_info *next(const oska_param_info *row) const;

    const char *name(unsigned flag) const;
    // The word of an integer, boolean or tag.
    int32_t word(unsigned flag) const { return word(row(flag)); }
    int32_t word(const oska_param_info *row) const;
    float scalar(unsigned flag) const;

  private:
    ParamTable table_;
    const unsigned char *record_;
};

} // namespace oska::render::lookdev

#endif
