#include "render_test.h"
