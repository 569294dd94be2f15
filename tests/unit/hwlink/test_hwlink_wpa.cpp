// The supplicant control client and the Wi-Fi signal, against the simulated terminal's
// control-socket stand-in. The client and its operating-system layer are called through
// the library's exports.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hwlink.h"
#include "hwlink_sim.h"
#include "test_support.h"
#include "wpa_ctrl.h"

using testsupport::TempDir;
using testsupport::write_file;

namespace {

// Client socket files left under ROOT/tmp.
std::vector<std::string> client_sockets(const std::string& root) {
    std::vector<std::string> out;
    DIR* d = opendir((root + "/tmp").c_str());
    if (!d) return out;
    while (struct dirent* e = readdir(d))
        if (strncmp(e->d_name, "wpa_ctrl_", 9) == 0) out.push_back(e->d_name);
    closedir(d);
    return out;
}

class Wpa : public testsupport::DeviceRootTest {
protected:
    void SetUp() override { write_file(root_ / "tmp/.keep", ""); }
};

TEST_F(Wpa, SignalLevelFromTheSupplicant) {
    struct Case {
        const char* mode;
        int rssi;
        std::string bytes;  // what the field holds from its start
        int len;
    } cases[] = {
        {"ok", -61, std::string("-61dBm\0", 7), 6},
        {"ok", -7, std::string("-7dBm\0", 6), 5},
        {"event", -48, std::string("-48dBm\0", 7), 6},  // an unsolicited event first: not the answer
        {"fail", -61, "NA", 2},
        {"norssi", -61, "NA", 2},
        {"silent", -61, "NA", 2},  // no answer within the request's timeout
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + std::to_string(c.rssi));
        hwsim::Supplicant sup(root_.path(), c.mode, c.rssi);
        ASSERT_TRUE(sup.ready());
        char field[256];
        memset(field, '#', sizeof field);
        int len = -1;
        EXPECT_EQ(hwlink_get_device_signal_level("WIFI", field, &len), 0);
        EXPECT_EQ(len, c.len);
        EXPECT_EQ(std::string(field, c.bytes.size()), c.bytes);
        EXPECT_TRUE(client_sockets(root_.path()).empty());  // every client closed its socket
    }
}

TEST_F(Wpa, NoSupplicantSocket) {
    char field[256] = {};
    int len = -1;
    EXPECT_EQ(hwlink_get_device_signal_level("WIFI", field, &len), 0);
    EXPECT_EQ(len, 2);
    EXPECT_EQ(std::string(field), "NA");
    EXPECT_TRUE(client_sockets(root_.path()).empty());
}

std::vector<std::string> g_events;
void on_event(char* msg, size_t len) { g_events.push_back(std::string(msg, len)); }

TEST_F(Wpa, ClientRequests) {
    {
        hwsim::Supplicant sup(root_.path(), "event", -50);
        ASSERT_TRUE(sup.ready());
        WpaCtrl* ctrl = wpa_ctrl_open(sup.socket_path().c_str());
        ASSERT_NE(ctrl, nullptr);
        EXPECT_EQ(client_sockets(root_.path()).size(), 1u);
        EXPECT_GE(wpa_ctrl_get_fd(ctrl), 0);
        char reply[256];
        size_t len = sizeof reply - 1;
        g_events.clear();
        ASSERT_EQ(wpa_ctrl_request(ctrl, "SIGNAL_POLL", 11, reply, &len, on_event), 0);
        EXPECT_EQ(std::string(reply, len), "RSSI=-50\nLINKSPEED=72\nNOISE=9999\nFREQUENCY=2437\n");
        ASSERT_EQ(g_events.size(), 1u);
        EXPECT_EQ(g_events[0], "<3>CTRL-EVENT-SCAN-RESULTS ");
        EXPECT_EQ(wpa_ctrl_attach(ctrl), 0);
        EXPECT_EQ(wpa_ctrl_detach(ctrl), 0);
        EXPECT_EQ(wpa_ctrl_pending(ctrl), 0);
        wpa_ctrl_close(ctrl);
        EXPECT_TRUE(client_sockets(root_.path()).empty());
    }
    {
        hwsim::Supplicant sup(root_.path(), "attach-noeol");
        ASSERT_TRUE(sup.ready());
        WpaCtrl* ctrl = wpa_ctrl_open(sup.socket_path().c_str());
        ASSERT_NE(ctrl, nullptr);
        EXPECT_EQ(wpa_ctrl_attach(ctrl), -1);  // "OK" without its line feed
        wpa_ctrl_close(ctrl);
    }
    {
        hwsim::Supplicant sup(root_.path(), "silent");
        ASSERT_TRUE(sup.ready());
        WpaCtrl* ctrl = wpa_ctrl_open(sup.socket_path().c_str());
        ASSERT_NE(ctrl, nullptr);
        char reply[64];
        size_t len = sizeof reply;
        EXPECT_EQ(wpa_ctrl_request(ctrl, "SIGNAL_POLL", 11, reply, &len, nullptr), -2);
        wpa_ctrl_close(ctrl);
    }
    // Nothing listens: no client, and no socket file left behind.
    EXPECT_EQ(wpa_ctrl_open((root_ / "var/run/wpa_supplicant/wlan0").c_str()), nullptr);
    EXPECT_TRUE(client_sockets(root_.path()).empty());
    // A supplicant path that does not fit a socket address.
    EXPECT_EQ(wpa_ctrl_open(("/" + std::string(120, 'p')).c_str()), nullptr);
    EXPECT_TRUE(client_sockets(root_.path()).empty());
}

TEST(OsLayer, Strlcpy) {
    struct Case {
        const char* src;
        size_t size;
        const char* expect;
        size_t ret;
    } cases[] = {{"abcdef", 4, "abc", 6}, {"abc", 10, "abc", 3}, {"abc", 1, "", 3}, {"", 5, "", 0}};
    for (const auto& c : cases) {
        char buf[16];
        memset(buf, '#', sizeof buf);
        EXPECT_EQ(os_strlcpy(buf, c.src, c.size), c.ret);
        EXPECT_STREQ(buf, c.expect);
        EXPECT_EQ(buf[strlen(c.expect) + 1], '#');
    }
    char untouched = '#';
    EXPECT_EQ(os_strlcpy(&untouched, "xyz", 0), 3u);
    EXPECT_EQ(untouched, '#');
}

TEST(OsLayer, MktimeIsUtc) {
    struct Case {
        int y, mo, d, h, mi, s;
        int rc;
        long t;
    } cases[] = {
        {1970, 1, 1, 0, 0, 0, 0, 0},          {2000, 2, 29, 12, 0, 0, 0, 951825600},
        {2024, 12, 31, 16, 0, 1, 0, 1735660801}, {1969, 12, 31, 0, 0, 0, -1, 0},
        {2020, 13, 1, 0, 0, 0, -1, 0},        {2020, 1, 1, 24, 0, 0, -1, 0},
    };
    for (const auto& c : cases) {
        os_time_t t = 0;
        EXPECT_EQ(os_mktime(c.y, c.mo, c.d, c.h, c.mi, c.s, &t), c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(t, c.t) << c.y << "-" << c.mo << "-" << c.d;
        }
    }
}

TEST(OsLayer, FilesAndPaths) {
    TempDir dir;
    write_file(dir / "f", std::string("a\0b", 3));
    size_t len = 0;
    char* data = os_readfile((dir / "f").c_str(), &len);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(data, len), std::string("a\0b", 3));
    free(data);
    EXPECT_EQ(os_readfile((dir / "none").c_str(), &len), nullptr);
    char* abs = os_rel2abs_path("/x/y");
    ASSERT_NE(abs, nullptr);
    EXPECT_STREQ(abs, "/x/y");
    free(abs);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    abs = os_rel2abs_path("rel/p");
    ASSERT_NE(abs, nullptr);
    EXPECT_EQ(std::string(abs), std::string(cwd) + "/rel/p");
    free(abs);
    unsigned char rnd[32] = {};
    EXPECT_EQ(os_get_random(rnd, sizeof rnd), 0);
}

}  // namespace
