#include <oska/host_api.h>
