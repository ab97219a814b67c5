// oskacolor: light shader for object lights, lights that emit from the
// surface of an object instance. For each light sample the host takes on that
// surface it gives the colour sent towards the illuminated point.
//
// Parameters (oskacolor_params). "init": read once per instance by
// oskacolor_init and fixed in its settings block; "eval": read at every
// evaluation that needs it. Any of them may be attached to another shader.
//
//   name                  type     read  what it does
//   color                 colour   eval  base emission colour; alpha is the intensity
//   shadows               boolean  init  trace shadows
//   shadow_color          colour   eval  multiplies the light where the shadow is complete
//   decay                 integer  init  decay law: 1 linear in range, 2 inverse power in range, 3
//                                        physical, else none
//   decay_start           scalar   eval  range start (laws 1, 2); exponent of the emission cosine
//                                        (law 3)
//   decay_end             scalar   eval  range end (laws 1, 2): from there on nothing arrives
//   texture               tag      init  colour texture on the emitting surface
//   use_texture           boolean  init  colour source is the texture (unless vertex data)
//   use_alpha             boolean  init  texel alpha scales its colour and sizes the range
//   alpha_scale           scalar   eval  factor on the texel alpha
//   burn                  boolean  init  highlight burn of the colour source
//   burn_multiplier       scalar   eval  brightening factor of the burn; 1 or less does nothing
//   burn_threshold        scalar   eval  luminance above which the burn acts
//   burn_power            scalar   eval  exponent of the burn blend
//   hsv_adjust            boolean  init  scale hue, saturation and value of the colour source
//   hue                   scalar   eval  hue multiplied by 1 + hue
//   saturation            scalar   eval  saturation multiplied by 1 + saturation
//   value                 scalar   eval  value multiplied by 1 + value
//   texture_range         boolean  init  decay range (laws 1, 2) scaled by the texel
//   range_gamma           scalar   eval  the texel's range scale is its luminance (or alpha) to 1 /
//                                        (range_gamma + 1)
//   tint_shadow           boolean  init  shadow colour multiplied by the colour source
//   use_vertex_color      boolean  init  vertex data for colour, intensity, range and shadow; wins
//                                        over use_texture
//   directional           boolean  init  emit from the front side only, beyond cutoff
//   cosine                boolean  init  weight a directional light by the emission cosine
//   cutoff                scalar   eval  the emission cosine must exceed it
//   threshold             scalar   init  samples whose largest channel is below it go dark; 0 off
//   max_level             integer  init  shadows traced only below this reflection and refraction
//                                        depth
//   vc_color              boolean  init  colour source is a vertex vector
//   vc_color_channel      integer  init  its vertex channel
//   vc_intensity          boolean  init  intensity scaled by a vertex vector's x
//   vc_intensity_channel  integer  init  its vertex channel
//   vc_range              boolean  init  range end (laws 1, 2) scaled by a vertex vector's x
//   vc_range_channel      integer  init  its vertex channel
//   vc_shadow             boolean  init  shadow colour is a vertex vector
//   vc_shadow_channel     integer  init  its vertex channel
//
// Vertex channel n is entry 2n of the sample's vector list; a channel the
// sample does not provide leaves its feature off for that sample. Colours are
// never clamped. A call returns 1 when the sample contributes (the colour is
// in the result) and 0 when it is rejected; a rejected result holds whatever
// had been computed so far.
//
// One evaluation:
//   - find the instance's settings (one host query);
//   - base colour, intensity, directional gate; rays other than light rays
//     are answered here (emission.cpp);
//   - colour source: vertex colour or texel, HSV, burn, alpha (emission.cpp);
//   - then decay, threshold and shadow (attenuation.cpp).
#include "oskacolor/shading.h"

extern "C" {

OSKA_LIBRARY_API oska_boolean OSKA_CALL oskacolor(oska_color *result, oska_state *state,
                                                  oskacolor_params *params) {
    if (result == nullptr || state == nullptr || params == nullptr) {
        return 0;
    }

    // Settings. An instance without a block (never initialised, out of
    // memory, or already ended) contributes nothing and touches nothing.
    oska::oskacolor_data **slot = oska::settings_slot(state);
    if (slot == nullptr || *slot == nullptr) {
        return 0;
    }
    const oska::oskacolor_data &settings = **slot;

    oska::LightSample light = {result, oska::sample_record(state), {1.0f, 1.0f, 1.0f, 1.0f}, false};
    switch (oska::emit(state, params, settings, light)) {
    case oska::Emission::rejected:
        return 0;
    case oska::Emission::answered:
        return 1;
    case oska::Emission::attenuate:
        break;
    }
    return oska::attenuate(state, params, settings, light);
}

} // extern "C"
