// JSON form of a position fix (the parser is exported for the device-access library).
#pragma once

#include <stdint.h>

#include "nimbo_exports.h"

// Heap text {"coordinates","location","timestamp"} (timestamp as decimal text), or null.
extern "C" char* json_utils_location_data_to_jsonstr(const char* coordinates, const char* location,
                                                     uint64_t timestamp);
