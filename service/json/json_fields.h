// The JSON support shared by every parser and builder of the service (log tag "json_utils"):
// parsing into a zeroed record, printing, and reading members into fixed fields.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <initializer_list>

#include <cjson/cJSON.h>

#include "c_handles.hpp"
#include "result_codes.h"

namespace json_fields {

// "" for a null text.
inline const char* or_empty(const char* text) { return text ? text : ""; }

// The member of that exact name, or null.
inline const cJSON* member(const cJSON* obj, const char* key) { return cJSON_GetObjectItemCaseSensitive(obj, key); }

// Parses a text (null reads as ""). With `whole_text` nothing but blanks may follow the
// value. A failure logs "original: [%s], Error before: %s" with the parser's position.
JsonPtr parse_logged(const char* text, bool whole_text = false);

// Logs "Invalid argument: data is NULL" when `record` is null.
bool null_record(const void* record);

// Zero-fills the record and parses the text as parse_logged; null for a null record or a
// text that is not JSON (both logged).
template <class T>
JsonPtr parse_into(const char* text, T* out, bool whole_text = false) {
    if (null_record(out)) return nullptr;
    memset(out, 0, sizeof *out);
    return parse_logged(text, whole_text);
}

// Zero-fills the record, parses the text and reads the root with `read` (false: a value is
// refused). 0; -2 for a null record or a text that is not JSON; `refused` (by default -6, a
// value that does not fit) when `read` refuses (the record is then left empty: values are
// refused, never cut).
template <class T, class Read>
int parse_record(const char* text, T* out, Read read, int refused = NIMBO_ERR_OVERFLOW, bool whole_text = false) {
    JsonPtr root = parse_into(text, out, whole_text);
    if (!root) return NIMBO_ERR_INVALID;
    if (read(static_cast<const cJSON*>(root.get()))) return 0;
    memset(out, 0, sizeof *out);
    return refused;
}

// The JSON printed unformatted as a heap text the caller frees with free(); null after the
// log "Failed to create JSON object".
char* print(const cJSON* json);

// Copies a string item into a fixed field with its terminator. A null item, or one that is
// not a string, leaves the field as it is (true). A value that does not fit is refused with
// an error log naming `key` (false): values are never cut.
bool copy_text(const cJSON* item, const char* key, char* field, size_t size);

// copy_text of the member of that exact name.
inline bool copy_member(const cJSON* obj, const char* key, char* field, size_t size) {
    return copy_text(member(obj, key), key, field, size);
}

// A string member and the fixed field it goes to.
struct TextField {
    const char* key;
    char* field;
    size_t size;
    template <size_t N>
    TextField(const char* k, char (&f)[N]) : key(k), field(f), size(N) {}
};

// copy_member of each field in turn; false at the first value that does not fit.
bool copy_members(const cJSON* obj, std::initializer_list<TextField> fields);

// A number item as an int (cJSON saturates it to the int range); anything else leaves
// `out` as it is.
inline void copy_int(const cJSON* item, int32_t* out) {
    if (cJSON_IsNumber(item)) *out = item->valueint;
}

// A size sent as a string of decimal digits into `out`. A null item, one that is not a
// string, or "" leaves `out` as it is (true). Anything but digits (a sign, blanks, other
// characters) or a value beyond 64 bits is refused with an error log naming `key` (false).
bool copy_size(const cJSON* item, const char* key, uint64_t* out);

// True when a JSON text holds the escape \u0000 in a string. The parser ends its strings at
// the first NUL, so "Sh\u0000op" would silently become "Sh": such a text is refused.
bool has_escaped_nul(const char* text);

}  // namespace json_fields
