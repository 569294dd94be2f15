/* What the program nimboservice exports for the device-access library, which resolves
 * these names from the loading process. Their names and behaviour are fixed: the library
 * binds them by name. The program's linker dynamic list (service/exports.list) exports
 * exactly these. */
#ifndef NIMBO_EXPORTS_H
#define NIMBO_EXPORTS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A position fix, as the library reports it. */
typedef struct {
    char coordinates[128]; /* "longitude,latitude" */
    char location[256];
    uint64_t timestamp;
} LocationDataParam;

/* Line files. */
char* nimbo_utils_read_line_from_file(const char* path);
void nimbo_utils_write_line_to_file(const char* path, const char* text, int mode);
int nimbo_utils_line_matching_in_file(const char* path, const char* text);
void nimbo_utils_delete_file(const char* path);

/* Files, processes, key=value files. */
int nimbo_utils_find_pid_by_name(const char* name, int* pids, int capacity, int* count);
char* nimbo_utils_get_value_by_key(const char* path, const char* key);
int nimbo_utils_ensure_directory_exists(const char* path);
void nimbo_utils_clear_directory(const char* path);

/* Shell runner: exit code, 1000 + signal number when killed, -1 when it could not run. */
int nimbo_utils_run_command_by_popen(const char* command);

/* Location JSON text to record; 0 or -2. */
int json_utils_jsonstr_to_location_data_param(const char* text, LocationDataParam* out);

/* Path globals. */
extern char g_device_app_path[256];
extern char g_nimbo_data_path[256];

#ifdef __cplusplus
}
#endif

#endif
