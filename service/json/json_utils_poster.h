// JSON of the "customResourcePoster" command: its parameter, its reply parameter and the
// operations on the display-resource list "config.json" (log tag "json_utils").
// Array operations take the list as text and return a new heap text (unformatted JSON) that
// the caller frees with free(); the input is never changed.
#pragma once

#include <stdint.h>

#include <string>

// The parsed command parameter; zero-filled before parsing.
typedef struct {
    uint32_t enable;  // 1 when "enable" is true
    char beginTime[256];
    char endTime[256];
    char type[256];  // "poster" or "message"
    int32_t level;
    int32_t progress;  // step in percent between progress replies; 100 or more: none
    int32_t position;  // slot of the entry, the key by which entries are found
    char source[256];
    char fileName[256];
    uint64_t fileSize;
    char md5sum[256];
    char sliderTitle[256];
    char toDir[256];
    char url[256];
    char action[256];  // "delete", or anything else for insert/update
    int32_t height;
    int32_t width;
} CustomResourcePosterParam;

// Results of the lookup of a request in the list.
#define POSTER_LOOKUP_SAME 0            // same position, md5sum and name
#define POSTER_LOOKUP_NONE (-4)         // no entry at the position
#define POSTER_LOOKUP_OTHER (-8)        // entry without "md5sum" or with another one
#define POSTER_LOOKUP_RENAMED (-10021)  // same position and md5sum, another name

// Room for a stored name (and for the name out of the lookup).
#define POSTER_NAME_SIZE 256

extern "C" {

// 0; -2 for a null record or a text that is not a JSON object; -6 when a text exceeds 255
// characters or "fileSize" is not a decimal number of 64 bits (the record is left empty).
int json_utils_jsonstr_to_custom_resource_poster_param(const char* text, CustomResourcePosterParam* out);

// {"status","failDes","action"}
char* json_utils_poster_resources_param_to_jsonstr(const char* status, const char* fail_des, const char* action);
// {"status","failDes","action"?}: "action" from the param text's string member "action"
// (any case); "add" when the param text is not JSON; left out when it has none.
char* json_utils_poster_resources_param_to_jsonstr2(const char* status, const char* fail_des, const char* param);

// Looks the request up by position: 0, -4, -8 or -10021 (above); -8 as well when the text
// is not a JSON array. The entry's "fileName" goes to `name` (POSTER_NAME_SIZE bytes; a
// longer one is not copied) and its length to `name_len`; both may be null.
int json_utils_check_md5_in_custom_resource_poster_param_array(const char* array, int position, const char* md5sum,
                                                               const char* file_name, char* name, int* name_len);

// The list (null or "" for a new one) with an entry built from the record appended; null
// when the text is not a JSON array.
char* json_utils_embed_param_in_custom_resource_poster_array(const char* array, CustomResourcePosterParam param);
// The same entry built from separate values.
char* json_utils_embed_param_in_custom_resource_poster_array2(const char* array, int enable, int level, int position,
                                                              const char* begin_time, const char* end_time,
                                                              const char* source, const char* type,
                                                              const char* slider_title, const char* file_name,
                                                              const char* md5sum);

// The first entry at the position updated: the keys it already holds among "enable",
// "level", "sliderTitle", "beginTime", "endTime", "md5sum" and (when `file_name` is not
// empty) "fileName" take the given values; no key is added. No match: the list unchanged.
// Null when the text is not a JSON array.
char* json_utils_update_in_custom_resource_poster_array_by_position(const char* array, int position,
                                                                    const char* md5sum, int enable, int level,
                                                                    const char* slider_title, const char* begin_time,
                                                                    const char* end_time, const char* file_name);
// As above for the first entry whose "md5sum" equals `md5sum`; "fileName" is always set.
char* json_utils_update_in_custom_resource_poster_array(const char* array, const char* md5sum, int enable, int level,
                                                        const char* slider_title, const char* begin_time,
                                                        const char* end_time, const char* file_name);

// The list without the first entry at the position; null when the text is not a JSON array.
char* json_utils_delete_in_custom_resource_poster_array(const char* array, int position);

// Parses a list into a heap array of records (free it with free()) and its count. 0; -2 on
// bad arguments or a text that is not a JSON array.
int json_utils_jsonstr_to_custom_resource_poster_param_array(const char* array, CustomResourcePosterParam** out,
                                                             int* count);
// 0 when some entry's "md5sum" equals `md5sum`, else -8.
int json_utils_contains_md5sum_in_custom_resource_poster_param_array(const char* array, const char* md5sum);

}  // extern "C"

namespace json_utils_poster {

// What the list holds at a position.
struct Lookup {
    int result = POSTER_LOOKUP_NONE;
    bool has_file_name = false;  // the entry holds a string "fileName"
    std::string stored_name;     // its "fileName"
    bool is_message = false;     // type "message" or no "fileName": no file belongs to it
    bool has_md5sum = false;
};

// The lookup of json_utils_check_md5_in_custom_resource_poster_param_array. A name matches
// when the entry holds the stored name of (position, file_name) or, after a rename, the
// file name itself.
Lookup lookup(const char* array, int position, const char* md5sum, const char* file_name);

// True when `text` is a JSON array.
bool is_array(const std::string& text);

// The stored name of a poster: position, "_" and the file name, never cut. False when it
// would not fit POSTER_NAME_SIZE.
bool stored_name(int position, const char* file_name, std::string* out);

// True when some entry's "fileName" is `name`.
bool holds_file_name(const std::string& array, const std::string& name);

// A file name that may name a file of the resource directory: not empty, not "." or "..",
// no "/".
bool usable_file_name(const std::string& name);

// The list with the first entry at the position replaced by an entry built from the record
// (its place kept); null when the text is not a JSON array or holds no such entry.
char* replace_by_position(const char* array, const CustomResourcePosterParam& param);

}  // namespace json_utils_poster
