/* libhwlink.so.1: the device-access library's C API.
 *
 * Text getters fill a caller-supplied buffer (callers pass 256-byte zero-filled fields)
 * and a length; unless a getter's comment says otherwise no terminating zero is written.
 * Results: 0 success, -2 invalid parameter, -3 not found, -7 not supported, -8 failed. */
#ifndef HWLINK_H
#define HWLINK_H

#include "nimbo_exports.h" /* LocationDataParam */

#ifdef __cplusplus
extern "C" {
#endif

#define HWLINK_API __attribute__((visibility("default")))

HWLINK_API int hwlink_get_device_serialno(char* out, int* len);
HWLINK_API int hwlink_get_device_model(char* out, int* len);
HWLINK_API int hwlink_get_firmware_version(char* out, int* len);
HWLINK_API int hwlink_get_system_version(char* out, int* len);

#ifdef __cplusplus
}
#endif

#endif
