// Colour helpers. (Being filled in.)
#include "color/color.h"
