/* The logging library's interface: one initialisation call and one output call. */
#ifndef NIMBO_ELOG_H
#define NIMBO_ELOG_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Levels, EasyLogger numbering. */
#define ELOG_LVL_ERROR 1
#define ELOG_LVL_WARN 2
#define ELOG_LVL_INFO 3
#define ELOG_LVL_DEBUG 4
#define ELOG_LVL_VERBOSE 5

/* Opens the log file; 0 on success. Records written before this go to stderr. */
__attribute__((visibility("default"))) int init_easylogger(const char* path);

/* Writes one record. `file` and `func` may be null, `line` 0. Thread-safe;
 * never to be called from a signal handler. */
__attribute__((visibility("default"))) void elog_output(uint8_t level, const char* tag, const char* file, const char* func, const long line,
                 const char* format, ...) __attribute__((format(printf, 6, 7)));

/* Flushes and closes the log file (records go to stderr afterwards). */
__attribute__((visibility("default"))) void deinit_easylogger(void);

#ifdef __cplusplus
}
#endif

/* Short forms used throughout: the tag first, then the printf-style format. */
#define LOG_E(tag, ...) elog_output(ELOG_LVL_ERROR, tag, NULL, NULL, 0, __VA_ARGS__)
#define LOG_W(tag, ...) elog_output(ELOG_LVL_WARN, tag, NULL, NULL, 0, __VA_ARGS__)
#define LOG_I(tag, ...) elog_output(ELOG_LVL_INFO, tag, NULL, NULL, 0, __VA_ARGS__)
#define LOG_D(tag, ...) elog_output(ELOG_LVL_DEBUG, tag, NULL, NULL, 0, __VA_ARGS__)
#define LOG_V(tag, ...) elog_output(ELOG_LVL_VERBOSE, tag, NULL, NULL, 0, __VA_ARGS__)

#endif
