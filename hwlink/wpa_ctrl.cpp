// Client of the Wi-Fi supplicant's control interface: one datagram socket bound to a
// path of our own, connected to the supplicant's socket.
#include "wpa_ctrl.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "device_path.h"
#include "hwlink_private.h"

namespace {

// Numbers the client sockets of this process (atomic: two threads must not pick the
// same local path and remove each other's socket file).
int g_wpa_ctrl_counter = 0;

const int kRequestTimeoutMs = 2000;

bool local_path(char* out, size_t size) {
    char abs[64];
    int n = __atomic_add_fetch(&g_wpa_ctrl_counter, 1, __ATOMIC_RELAXED);
    snprintf(abs, sizeof abs, "/tmp/wpa_ctrl_%d-%d", (int)getpid(), n);
    return nimbo::device_path(abs, out, size) != nullptr;
}

// Waits until the socket is readable: 1 readable, 0 timeout, -1 error.
int wait_readable(int fd, int timeout_ms) {
    struct pollfd p;
    p.fd = fd;
    p.events = POLLIN;
    p.revents = 0;
    for (;;) {
        int r = poll(&p, 1, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        return r < 0 ? -1 : (r > 0 ? 1 : 0);
    }
}

}  // namespace

extern "C" {

WpaCtrl* wpa_ctrl_open(const char* ctrl_path) {
    if (ctrl_path == nullptr) return nullptr;
    std::unique_ptr<WpaCtrl, CFree<c_free_void>> ctrl((WpaCtrl*)os_zalloc(sizeof(WpaCtrl)));
    if (!ctrl) return nullptr;
    UniqueFd sock(socket(PF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) return nullptr;
    ctrl->sock = sock.get();
    ctrl->local_addr.sun_family = AF_UNIX;
    bool bound = false;
    for (int attempt = 0; attempt < 2 && !bound; ++attempt) {
        if (!local_path(ctrl->local_addr.sun_path, sizeof ctrl->local_addr.sun_path)) break;
        if (bind(ctrl->sock, (struct sockaddr*)&ctrl->local_addr, sizeof ctrl->local_addr) == 0) {
            bound = true;
        } else if (errno == EADDRINUSE && attempt == 0) {
            // A socket file left by an earlier client that was never closed.
            unlink(ctrl->local_addr.sun_path);
        } else {
            break;
        }
    }
    if (!bound) return nullptr;
    ctrl->dest_addr.sun_family = AF_UNIX;
    if (os_strlcpy(ctrl->dest_addr.sun_path, ctrl_path, sizeof ctrl->dest_addr.sun_path) >=
            sizeof ctrl->dest_addr.sun_path ||
        connect(ctrl->sock, (struct sockaddr*)&ctrl->dest_addr, sizeof ctrl->dest_addr) < 0) {
        unlink(ctrl->local_addr.sun_path);
        return nullptr;
    }
    (void)sock.release();
    return ctrl.release();
}

void wpa_ctrl_close(WpaCtrl* ctrl) {
    if (ctrl == nullptr) return;
    unlink(ctrl->local_addr.sun_path);
    close(ctrl->sock);
    free(ctrl);
}

int wpa_ctrl_request(WpaCtrl* ctrl, const char* cmd, size_t cmd_len, char* reply, size_t* reply_len,
                     wpa_msg_cb msg_cb) {
    if (send(ctrl->sock, cmd, cmd_len, 0) < 0) return -1;
    for (;;) {
        int ready = wait_readable(ctrl->sock, kRequestTimeoutMs);
        if (ready < 0) return -1;
        if (ready == 0) return -2;
        ssize_t res = recv(ctrl->sock, reply, *reply_len, 0);
        if (res < 0) return (int)res;
        if (res > 0 && reply[0] == '<') {
            // An unsolicited event, not the answer: hand it on and keep waiting.
            if (msg_cb) {
                size_t n = (size_t)res < *reply_len ? (size_t)res : *reply_len - 1;
                reply[n] = '\0';
                msg_cb(reply, n);
            }
            continue;
        }
        *reply_len = (size_t)res;
        return 0;
    }
}

namespace {
int attach_helper(WpaCtrl* ctrl, bool attach) {
    char buf[10];
    size_t len = sizeof buf;
    int ret = wpa_ctrl_request(ctrl, attach ? "ATTACH" : "DETACH", 6, buf, &len, nullptr);
    if (ret < 0) return ret;
    if (len == 3 && memcmp(buf, "OK\n", 3) == 0) return 0;
    return -1;
}
}  // namespace

int wpa_ctrl_attach(WpaCtrl* ctrl) { return attach_helper(ctrl, true); }

int wpa_ctrl_detach(WpaCtrl* ctrl) { return attach_helper(ctrl, false); }

int wpa_ctrl_recv(WpaCtrl* ctrl, char* reply, size_t* reply_len) {
    ssize_t res = recv(ctrl->sock, reply, *reply_len, 0);
    if (res < 0) return (int)res;
    *reply_len = (size_t)res;
    return 0;
}

int wpa_ctrl_pending(WpaCtrl* ctrl) { return wait_readable(ctrl->sock, 0) > 0 ? 1 : 0; }

int wpa_ctrl_get_fd(WpaCtrl* ctrl) { return ctrl->sock; }

}  // extern "C"
