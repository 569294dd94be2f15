// Reading JSON members into the fixed fields of the service's records (log tag "json_utils").
#pragma once

#include <stddef.h>

#include <cjson/cJSON.h>

namespace json_fields {

// Copies a string item into a fixed field with its terminator. A null item, or one that is
// not a string, leaves the field as it is (true). A value that does not fit is refused with
// an error log naming `key` (false): values are never cut.
bool copy_text(const cJSON* item, const char* key, char* field, size_t size);

}  // namespace json_fields
