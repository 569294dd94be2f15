// The supplicant client against a supplicant that answers anything: unsolicited events
// ("<..."), truncated or oversized replies, replies without "RSSI=", binary data. The input
// is the supplicant's datagrams separated by 0x1e; a stand-in supplicant in this process
// sends them in turn on every request (and a final "FAIL" when the last one is an event,
// so that a request never waits for its time-out).
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "hwlink.h"
#include "hwlink_private.h"
#include "wpa_ctrl.h"

namespace {

std::mutex g_mutex;
std::vector<std::string> g_datagrams;
int g_server = -1;

void serve() {
    char request[4096];
    for (;;) {
        sockaddr_un peer;
        socklen_t peer_len = sizeof peer;
        ssize_t n = recvfrom(g_server, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&peer), &peer_len);
        if (n < 0) continue;
        std::vector<std::string> out;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            out = g_datagrams;
        }
        for (const std::string& d : out)
            sendto(g_server, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&peer), peer_len);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::init_process();
    std::string dir = fuzz::scratch() + "/root/var/run/wpa_supplicant";
    std::string tmp = fuzz::scratch() + "/root/tmp";
    for (const char* sub : {"/root", "/root/var", "/root/var/run", "/root/var/run/wpa_supplicant", "/root/tmp"})
        mkdir((fuzz::scratch() + sub).c_str(), 0700);
    (void)tmp;
    g_server = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::string path = dir + "/wlan0";
    if (g_server < 0 || path.size() >= sizeof addr.sun_path) abort();
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (bind(g_server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) abort();
    int big = 1 << 20;
    setsockopt(g_server, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    std::thread(serve).detach();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> datagrams;
    std::string all = fuzz::text(data, size);
    size_t start = 0;
    while (datagrams.size() < 8) {
        size_t sep = all.find('\x1e', start);
        datagrams.push_back(all.substr(start, sep == std::string::npos ? std::string::npos : sep - start));
        if (sep == std::string::npos) break;
        start = sep + 1;
    }
    if (datagrams.back().empty() || datagrams.back()[0] == '<') datagrams.push_back("FAIL\n");
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_datagrams = datagrams;
    }

    WifiSignalInfo info;
    info.rssi = 12345;
    int rc = device_utils_get_wifi_signal(&info);
    if (rc != 0 && rc != -8) abort();
    if (rc == 0 && info.rssi == 12345 && all.find("RSSI=12345") == std::string::npos) abort();

    // The attach handshake reads into a 10-byte buffer: longer replies are cut, never overrun.
    WpaCtrl* ctrl = wpa_ctrl_open((fuzz::scratch() + "/root/var/run/wpa_supplicant/wlan0").c_str());
    if (ctrl == nullptr) abort();
    int attached = wpa_ctrl_attach(ctrl);
    if (attached == 0 && datagrams.back() != "OK\n") {
        // Only an "OK\n" answer attaches (events before it are skipped).
        bool ok_seen = false;
        for (const std::string& d : datagrams) ok_seen = ok_seen || d == "OK\n";
        if (!ok_seen) abort();
    }
    wpa_ctrl_close(ctrl);
    return 0;
}
