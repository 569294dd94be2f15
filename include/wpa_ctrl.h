/* libhwlink.so.1: client of the Wi-Fi supplicant's control interface (a local datagram
 * socket) and the small operating-system layer it uses. Both are exported with the
 * library's C API (hwlink.h); inside the system only the Wi-Fi signal query uses them. */
#ifndef WPA_CTRL_H
#define WPA_CTRL_H

#include <stddef.h>
#include <sys/un.h>
#include <time.h>

#include "hwlink.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct WpaCtrl {
    int sock;
    struct sockaddr_un local_addr; /* "/tmp/wpa_ctrl_<pid>-<counter>" (device path) */
    struct sockaddr_un dest_addr;  /* the supplicant's socket */
} WpaCtrl;

typedef void (*wpa_msg_cb)(char* msg, size_t len);

HWLINK_API WpaCtrl* wpa_ctrl_open(const char* ctrl_path);
HWLINK_API void wpa_ctrl_close(WpaCtrl* ctrl);
/* 0 with *reply_len set; -1 send failure; -2 no answer within 2 s; < 0 receive error. */
HWLINK_API int wpa_ctrl_request(WpaCtrl* ctrl, const char* cmd, size_t cmd_len, char* reply, size_t* reply_len,
                                wpa_msg_cb msg_cb);
HWLINK_API int wpa_ctrl_attach(WpaCtrl* ctrl);
HWLINK_API int wpa_ctrl_detach(WpaCtrl* ctrl);
HWLINK_API int wpa_ctrl_recv(WpaCtrl* ctrl, char* reply, size_t* reply_len);
HWLINK_API int wpa_ctrl_pending(WpaCtrl* ctrl);
HWLINK_API int wpa_ctrl_get_fd(WpaCtrl* ctrl);

/* ---- operating-system layer ---------------------------------------------------------- */
typedef long os_time_t;
struct os_time {
    os_time_t sec;
    os_time_t usec;
};

HWLINK_API void os_sleep(os_time_t sec, os_time_t usec);
HWLINK_API int os_get_time(struct os_time* t);
HWLINK_API int os_mktime(int year, int month, int day, int hour, int min, int sec, os_time_t* t);
HWLINK_API int os_daemonize(const char* pid_file);
HWLINK_API void os_daemonize_terminate(const char* pid_file);
HWLINK_API int os_get_random(unsigned char* buf, size_t len);
HWLINK_API unsigned long os_random(void);
HWLINK_API char* os_rel2abs_path(const char* rel_path);
HWLINK_API int os_program_init(void);
HWLINK_API void os_program_deinit(void);
HWLINK_API int os_setenv(const char* name, const char* value, int overwrite);
HWLINK_API int os_unsetenv(const char* name);
HWLINK_API char* os_readfile(const char* name, size_t* len);
HWLINK_API void* os_zalloc(size_t size);
HWLINK_API size_t os_strlcpy(char* dest, const char* src, size_t siz);

#ifdef __cplusplus
}
#endif

#endif /* WPA_CTRL_H */
