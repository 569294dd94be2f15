// Client of the Wi-Fi supplicant's control interface (a local datagram socket) and the
// small operating-system layer it uses. Private to the library.
#pragma once

#include <stddef.h>
#include <sys/un.h>
#include <time.h>

extern "C" {

struct WpaCtrl {
    int sock;
    struct sockaddr_un local_addr;  // "/tmp/wpa_ctrl_<pid>-<counter>" (device path)
    struct sockaddr_un dest_addr;   // the supplicant's socket
};

typedef void (*wpa_msg_cb)(char* msg, size_t len);

WpaCtrl* wpa_ctrl_open(const char* ctrl_path);
void wpa_ctrl_close(WpaCtrl* ctrl);
// 0 with *reply_len set; -1 send failure; -2 no answer within 2 s; < 0 receive error.
int wpa_ctrl_request(WpaCtrl* ctrl, const char* cmd, size_t cmd_len, char* reply, size_t* reply_len,
                     wpa_msg_cb msg_cb);
int wpa_ctrl_attach(WpaCtrl* ctrl);
int wpa_ctrl_detach(WpaCtrl* ctrl);
int wpa_ctrl_recv(WpaCtrl* ctrl, char* reply, size_t* reply_len);
int wpa_ctrl_pending(WpaCtrl* ctrl);
int wpa_ctrl_get_fd(WpaCtrl* ctrl);

// ---- operating-system layer -----------------------------------------------------------
typedef long os_time_t;
struct os_time {
    os_time_t sec;
    os_time_t usec;
};

void os_sleep(os_time_t sec, os_time_t usec);
int os_get_time(struct os_time* t);
int os_mktime(int year, int month, int day, int hour, int min, int sec, os_time_t* t);
int os_daemonize(const char* pid_file);
void os_daemonize_terminate(const char* pid_file);
int os_get_random(unsigned char* buf, size_t len);
unsigned long os_random(void);
char* os_rel2abs_path(const char* rel_path);
int os_program_init(void);
void os_program_deinit(void);
int os_setenv(const char* name, const char* value, int overwrite);
int os_unsetenv(const char* name);
char* os_readfile(const char* name, size_t* len);
void* os_zalloc(size_t size);
size_t os_strlcpy(char* dest, const char* src, size_t siz);

}  // extern "C"
