// Device information getters of libhwlink against fixture device roots.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "hwlink.h"
#include "hwlink_sim.h"
#include "test_support.h"

using testsupport::DeviceRoot;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

using Getter = int (*)(char*, int*);
using Files = std::map<std::string, std::string>;

const int kUntouched = -77;

struct Result {
    int rc;
    int len;
    std::string bytes;  // the first `len` bytes (or the whole field when len is untouched)
    char field[256];
};

class Getters : public testsupport::DeviceRootTest {
protected:

    void put(const Files& files) {
        for (const auto& [rel, content] : files) write_file(root_ / rel, content);
    }
    static Result call(Getter g) {
        Result r;
        memset(r.field, 0, sizeof r.field);
        r.len = kUntouched;
        r.rc = g(r.field, &r.len);
        if (r.len >= 0 && r.len <= 256) r.bytes.assign(r.field, (size_t)r.len);
        return r;
    }
};

const std::string kLong(300, 'x');

struct TextCase {
    const char* name;
    Getter getter;
    Files files;
    int rc;
    int len;           // kUntouched: the length must stay as it was
    std::string text;  // the first len bytes
};

TEST_F(Getters, TextGettersFromDeviceFiles) {
    const std::string sn = "usr/data/serialnumber";
    const std::string nand_sn = "sys/devices/platform/ahb2/13440000.sfc/nand_fmw/nand_sn";
    const std::string nand_mac = "sys/devices/platform/ahb2/13440000.sfc/nand_fmw/nand_mac";
    const TextCase cases[] = {
        {"serial from file", hwlink_get_device_serialno, {{sn, "SN123\n"}, {nand_sn, "FLASH\n"}}, 0, 5, "SN123"},
        {"serial from flash", hwlink_get_device_serialno, {{nand_sn, "FLASH9\n"}}, 0, 6, "FLASH9"},
        {"serial missing", hwlink_get_device_serialno, {}, 0, kUntouched, ""},
        {"serial oversized", hwlink_get_device_serialno, {{sn, kLong + "\n"}}, -8, kUntouched, ""},
        {"model", hwlink_get_device_model, {{"etc/build_model", "P10\n"}}, 0, 3, "P10"},
        {"model missing", hwlink_get_device_model, {}, 0, kUntouched, ""},
        {"type is the model", hwlink_get_device_type, {{"etc/build_model", "P10\n"}}, 0, 3, "P10"},
        {"firmware build_version", hwlink_get_firmware_version,
         {{"etc/build_version", "V1.2.3\n"}, {"etc/ota_info", "version=7\n"}}, 0, 6, "V1.2.3"},
        {"firmware empty build_version wins", hwlink_get_firmware_version,
         {{"etc/build_version", ""}, {"etc/ota_info", "version=7\n"}}, 0, 0, ""},
        {"firmware ota_info number", hwlink_get_firmware_version, {{"etc/ota_info", "version=0012\n"}}, 0, 2, "12"},
        {"firmware ota_info plain", hwlink_get_firmware_version, {{"etc/ota_info", "abc\n"}}, 0, 3, "abc"},
        {"firmware os-release quoted", hwlink_get_firmware_version,
         {{"etc/os-release", "NAME=x\nVERSION=\"2.1\"\nPRETTY_NAME=y\n"}}, 0, 3, "2.1"},
        {"firmware os-release plain", hwlink_get_firmware_version, {{"etc/os-release", "VERSION=3.0\n"}}, 0, 3, "3.0"},
        {"firmware os-release without VERSION", hwlink_get_firmware_version, {{"etc/os-release", "NAME=x\n"}}, 0, 0,
         ""},
        {"firmware nothing", hwlink_get_firmware_version, {}, 0, 0, ""},
        {"firmware closing quote dropped", hwlink_get_firmware_version, {{"etc/build_version", "V9\"\n"}}, 0, 2, "V9"},
        {"firmware oversized", hwlink_get_firmware_version, {{"etc/build_version", kLong}}, -8, kUntouched, ""},
        {"system driver version", hwlink_get_system_version,
         {{"module_driver/build_version", "OEM_2.0\n"}, {"etc/os-release", "PRETTY_NAME=\"x\"\n"}}, 0, 7, "OEM_2.0"},
        {"system pretty name", hwlink_get_system_version, {{"etc/os-release", "PRETTY_NAME=\"Linux 4.4\"\n"}}, 0, 9,
         "Linux 4.4"},
        {"system pretty name last line keeps quotes", hwlink_get_system_version,
         {{"etc/os-release", "PRETTY_NAME=\"L\""}}, 0, 3, "\"L\""},
        {"system os-release without pretty name", hwlink_get_system_version, {{"etc/os-release", "NAME=x\n"}}, 0, 0,
         ""},
        {"system nothing", hwlink_get_system_version, {}, -8, kUntouched, ""},
        {"mac from flash", hwlink_get_mac_address,
         {{nand_mac, "AA:BB:CC:DD:EE:FF\n"}, {"usr/data/macaddr.txt", "00:11:22:33:44:55\n"}}, 0, 17,
         "AA:BB:CC:DD:EE:FF"},
        {"mac from file", hwlink_get_mac_address, {{"usr/data/macaddr.txt", "00:11:22:33:44:55\n"}}, 0, 17,
         "00:11:22:33:44:55"},
        {"mac fallback counts its zero", hwlink_get_mac_address, {}, 0, 18, std::string("02:00:00:00:00:00\0", 18)},
        {"imei", hwlink_get_imei, {{"usr/data/config/DEVSTATE", "imsi1=46000\nimei1=8612345\n"}}, 0, 7, "8612345"},
        {"imei missing key", hwlink_get_imei, {{"usr/data/config/DEVSTATE", "imsi1=46000\n"}}, 0, 3,
         std::string("NA\0", 3)},
        {"imei no device state", hwlink_get_imei, {}, 0, 3, std::string("NA\0", 3)},
        {"imei oversized", hwlink_get_imei, {{"usr/data/config/DEVSTATE", "imei1=" + kLong + "\n"}}, -8, kUntouched,
         ""},
        {"imsi", hwlink_get_imsi, {{"usr/data/config/DEVSTATE", "imei1=8612345\nimsi1=46000\n"}}, 0, 5, "46000"},
        {"location is empty", hwlink_get_location, {}, 0, 1, std::string("\0", 1)},
        {"coordinates is empty", hwlink_get_coordinates, {}, 0, 1, std::string("\0", 1)},
        {"current is NA", hwlink_get_device_current, {}, 0, 3, std::string("NA\0", 3)},
        {"cpu temperature", hwlink_get_cpu_temperature, {{"sys/class/thermal/thermal_zone1/temp", "41500\n"}}, 0, 8,
         "41.50\xE2\x84\x83"},
        {"cpu temperature empty node", hwlink_get_cpu_temperature, {{"sys/class/thermal/thermal_zone1/temp", ""}}, -8,
         kUntouched, ""},
        {"cpu temperature missing", hwlink_get_cpu_temperature, {}, -8, kUntouched, ""},
        {"uptime past 99 hours", hwlink_get_device_uptime, {{"proc/uptime", "360005.70 100.00\n"}}, 0, 9,
         "100:00:05"},
        {"uptime short", hwlink_get_device_uptime, {{"proc/uptime", "3725.2 1.0\n"}}, 0, 8, "01:02:05"},
        {"uptime malformed", hwlink_get_device_uptime, {{"proc/uptime", "abc\n"}}, -8, kUntouched, ""},
        {"uptime out of range", hwlink_get_device_uptime, {{"proc/uptime", "1e300 0\n"}}, -8, kUntouched, ""},
        {"uptime missing", hwlink_get_device_uptime, {}, -8, kUntouched, ""},
        {"battery percent", hwlink_get_battery_percent, {{"sys/class/power_supply/kx_battery/capacity", "87\n"}}, 0,
         6, "87.00%"},
        {"battery percent malformed", hwlink_get_battery_percent,
         {{"sys/class/power_supply/kx_battery/capacity", "full\n"}}, -8, kUntouched, ""},
        {"battery percent missing", hwlink_get_battery_percent, {}, -8, kUntouched, ""},
        {"charging", hwlink_get_battery_status, {{"sys/class/power_supply/kx_ac/online", "1\n"}}, 0, 1, "1"},
        {"not charging", hwlink_get_battery_status, {{"sys/class/power_supply/kx_ac/online", "0\n"}}, 0, 1, "2"},
        {"charger missing", hwlink_get_battery_status, {}, -8, kUntouched, ""},
        {"voltage", hwlink_get_device_voltage, {{"sys/class/power_supply/kx_battery/voltage_now", "3950000\n"}}, 0, 5,
         "3.95V"},
        {"voltage missing", hwlink_get_device_voltage, {}, -8, kUntouched, ""},
        {"memory", hwlink_get_memory_usage,
         {{"proc/meminfo",
           "MemTotal: 125000 kB\nMemFree: 50000 kB\nMemAvailable: 1 kB\nBuffers: 10000 kB\nCached: 11125 kB\n"
           "SwapCached: 5 kB\n"}},
         0, 6, "43.10%"},
        {"memory total zero", hwlink_get_memory_usage, {{"proc/meminfo", "MemFree: 5 kB\n"}}, -8, kUntouched, ""},
        {"memory counters above total", hwlink_get_memory_usage,
         {{"proc/meminfo", "MemTotal: 100 kB\nMemFree: 90 kB\nBuffers: 20 kB\n"}}, -8, kUntouched, ""},
        {"memory missing", hwlink_get_memory_usage, {}, -8, kUntouched, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir fixture;
        DeviceRoot dev(fixture.path());
        for (const auto& [rel, content] : c.files) write_file(fixture / rel, content);
        Result r = call(c.getter);
        EXPECT_EQ(r.rc, c.rc);
        EXPECT_EQ(r.len, c.len);
        if (c.len == kUntouched) {
            EXPECT_EQ(std::string(r.field, sizeof r.field), std::string(sizeof r.field, '\0'));
        } else {
            EXPECT_EQ(r.bytes, c.text);
            // Texts end at the field's zero: the getter wrote nothing past them but zeros.
            EXPECT_EQ(r.field[255], '\0');
        }
    }
}

TEST_F(Getters, ZeroTerminatedGettersWriteTheirZeroAndNothingMore) {
    put({{"usr/data/config/DEVSTATE", "imei1=12345\n"}, {"proc/uptime", "61.0 1\n"}});
    struct Case {
        Getter g;
        int len;    // reported length
        int zero;   // where the getter's own zero is
    } cases[] = {{hwlink_get_imei, 5, 5}, {hwlink_get_device_uptime, 8, 8}, {hwlink_get_device_current, 3, 2}};
    for (const auto& c : cases) {
        char field[256];
        memset(field, '#', sizeof field);
        int len = 0;
        ASSERT_EQ(c.g(field, &len), 0);
        EXPECT_EQ(len, c.len);
        EXPECT_EQ(field[c.zero], '\0');
        EXPECT_EQ(field[c.zero + 1], '#');
    }
}

TEST_F(Getters, NullArgumentsAreRefused) {
    const Getter getters[] = {
        hwlink_get_device_serialno, hwlink_get_device_model,  hwlink_get_device_type,     hwlink_get_firmware_version,
        hwlink_get_system_version,  hwlink_get_location,      hwlink_get_coordinates,     hwlink_get_local_ip,
        hwlink_get_mac_address,     hwlink_get_imei,          hwlink_get_imsi,            hwlink_get_cpu_temperature,
        hwlink_get_cpu_usage,       hwlink_get_device_uptime, hwlink_get_battery_percent, hwlink_get_battery_status,
        hwlink_get_device_current,  hwlink_get_device_voltage, hwlink_get_memory_usage,   hwlink_get_network_type,
    };
    char field[256] = {};
    int len = kUntouched;
    for (Getter g : getters) {
        EXPECT_EQ(g(nullptr, &len), -2);
        EXPECT_EQ(g(field, nullptr), -2);
    }
    EXPECT_EQ(len, kUntouched);
    EXPECT_EQ(hwlink_get_device_signal_level(nullptr, field, &len), -2);
    EXPECT_EQ(hwlink_get_device_signal_level("4G", nullptr, &len), -2);
    EXPECT_EQ(hwlink_get_lbs_info(nullptr), -2);
    EXPECT_EQ(hwlink_get_last_lbs_info(nullptr), -2);
    EXPECT_EQ(hwlink_get_apk_list(nullptr, &len), -2);
}

TEST_F(Getters, Coordinates) {
    struct Case {
        const char* devstate;
        int rc;
        const char* coordinates;
    } cases[] = {
        {"longitude=113.9\nlatitude=22.5\n", 0, "113.9,22.5"},
        {"latitude=22.5\n", -8, ""},
        {"longitude=113.9\n", -8, ""},
        {nullptr, -8, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.devstate ? c.devstate : "(no DEVSTATE)");
        TempDir fixture;
        DeviceRoot dev(fixture.path());
        if (c.devstate) write_file(fixture / "usr/data/config/DEVSTATE", c.devstate);
        LocationDataParam loc;
        memset(&loc, 0, sizeof loc);
        EXPECT_EQ(hwlink_get_lbs_info(&loc), c.rc);
        EXPECT_STREQ(loc.coordinates, c.coordinates);
    }
    // Two values that do not fit the 128-byte field together are refused, not cut.
    put({{"usr/data/config/DEVSTATE", "longitude=" + std::string(70, '1') + "\nlatitude=" + std::string(70, '2') + "\n"}});
    LocationDataParam loc;
    memset(&loc, 0, sizeof loc);
    EXPECT_EQ(hwlink_get_lbs_info(&loc), -8);
    EXPECT_STREQ(loc.coordinates, "");
}

TEST_F(Getters, LastLocationPrefersTheBackupWhenFlagged) {
    TempDir data;
    snprintf(g_nimbo_data_path, sizeof g_nimbo_data_path, "%s", data.path().c_str());
    put({{"usr/data/config/DEVSTATE", "longitude=1.5\nlatitude=2.5\n"}});
    write_file(data / "lbs_info_bak", R"({"coordinates":"9.1,8.2","location":"Dock","timestamp":"77"})" "\n");
    LocationDataParam loc;
    memset(&loc, 0, sizeof loc);
    EXPECT_EQ(hwlink_get_last_lbs_info(&loc), 0);
    EXPECT_STREQ(loc.coordinates, "1.5,2.5");  // flag clear: the device state
    g_hwlink_lbs_init_flag = 1;
    memset(&loc, 0, sizeof loc);
    EXPECT_EQ(hwlink_get_last_lbs_info(&loc), 0);
    EXPECT_STREQ(loc.coordinates, "9.1,8.2");
    EXPECT_STREQ(loc.location, "Dock");
    EXPECT_EQ(loc.timestamp, 77u);
    unlink((data / "lbs_info_bak").c_str());
    memset(&loc, 0, sizeof loc);
    EXPECT_EQ(hwlink_get_last_lbs_info(&loc), 0);  // no backup: the device state again
    EXPECT_STREQ(loc.coordinates, "1.5,2.5");
    g_hwlink_lbs_init_flag = 0;
    g_nimbo_data_path[0] = '\0';
}

TEST_F(Getters, AdbMarkers) {
    EXPECT_EQ(hwlink_get_adb_enabled(), 0);
    for (const char* marker : {"etc/enableadb", "tmp/enableadb", "usr/data/enableadb"}) {
        SCOPED_TRACE(marker);
        TempDir fixture;
        DeviceRoot dev(fixture.path());
        write_file(fixture / marker, "");
        EXPECT_EQ(hwlink_get_adb_enabled(), 1);
    }
    EXPECT_EQ(hwlink_get_nav_bar_enabled(), 1);
    EXPECT_EQ(hwlink_get_status_bar_enabled(), 1);
    EXPECT_EQ(hwlink_get_dev_func(), 0);
}

TEST_F(Getters, ApplicationList) {
    TempDir apps;
    snprintf(g_device_app_path, sizeof g_device_app_path, "%s", apps.path().c_str());
    for (int i = 0; i < 10; ++i) {
        std::string name = "app" + std::to_string(i);
        write_file(apps / (name + "/AppManifest"), "AppName=" + name + "\nAppVersion=1." + std::to_string(i) + "\n");
    }
    write_file(apps / "plain/AppManifest.txt", "AppName=nope\n");  // no manifest: not listed
    write_file(apps / "lonefile", "AppName=nope\n");
    AppInfo list[32];
    memset(list, 0x5a, sizeof list);
    int count = -1;
    ASSERT_EQ(hwlink_get_apk_list(list, &count), 0);
    EXPECT_EQ(count, 8);
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(strncmp(list[i].apkName, "app", 3), 0);
        EXPECT_STREQ(list[i].apkName, list[i].pkgName);
        EXPECT_EQ(list[i].apkEnable, 1);
    }
    // The entry after the maximum is left alone.
    EXPECT_EQ((unsigned char)list[8].apkName[0], 0x5a);

    // Carriage returns, a symbolic link, nested files and a manifest without keys.
    TempDir one;
    snprintf(g_device_app_path, sizeof g_device_app_path, "%s", one.path().c_str());
    const std::string manifest = "Other=1\r\nAppName=Demo\r\nAppVersion=2.0\r\n";
    write_file(one / "Demo/AppManifest", manifest);
    write_file(one / "Demo/lib/data.bin", std::string(1000, 'd'));
    write_file(one / "big", std::string(100000, 'b'));
    ASSERT_EQ(symlink((one / "big").c_str(), (one / "Demo/link").c_str()), 0);
    write_file(one / "Bare/AppManifest", "nothing here\n");
    memset(list, 0, sizeof list);
    ASSERT_EQ(hwlink_get_apk_list(list, &count), 0);
    ASSERT_EQ(count, 2);
    const AppInfo* demo = strcmp(list[0].apkName, "Demo") == 0 ? &list[0] : &list[1];
    const AppInfo* bare = demo == &list[0] ? &list[1] : &list[0];
    EXPECT_STREQ(demo->apkName, "Demo");
    EXPECT_STREQ(demo->pkgName, "Demo");
    EXPECT_STREQ(demo->version, "2.0");
    EXPECT_EQ(demo->size, (int)manifest.size() + 1000);  // the link adds nothing
    EXPECT_STREQ(bare->apkName, "");
    EXPECT_STREQ(bare->version, "");
    EXPECT_EQ(bare->apkEnable, 1);

    // An oversized manifest value is refused (empty field), never cut or overflowing.
    write_file(one / "Demo/AppManifest", "AppName=" + std::string(400, 'n') + "\nAppVersion=3\n");
    memset(list, 0, sizeof list);
    ASSERT_EQ(hwlink_get_apk_list(list, &count), 0);
    demo = strcmp(list[0].version, "3") == 0 ? &list[0] : &list[1];
    EXPECT_STREQ(demo->apkName, "");
    EXPECT_STREQ(demo->version, "3");

    // No application directory: no entries, still a success.
    snprintf(g_device_app_path, sizeof g_device_app_path, "%s/missing", one.path().c_str());
    count = -1;
    EXPECT_EQ(hwlink_get_apk_list(list, &count), 0);
    EXPECT_EQ(count, 0);
    g_device_app_path[0] = '\0';
}

TEST_F(Getters, HardwareListIsEmpty) {
    HwInfo list[4];
    int count = 5;
    EXPECT_EQ(hwlink_get_hw_list(list, &count), 0);
    EXPECT_EQ(count, 0);
    count = 5;
    EXPECT_EQ(hwlink_get_hw_list(nullptr, &count), -2);
    EXPECT_EQ(count, 0);
}

// /proc/stat as a FIFO for the first sample; while the getter reads it, a regular file
// with the second sample takes its place, so the getter's second open finds that one.
void feed_two_samples(const std::string& fifo, const std::string& a, const std::string& b) {
    int fd = open(fifo.c_str(), O_WRONLY);  // waits for the getter's first open
    if (fd < 0) return;
    ssize_t w = write(fd, a.data(), a.size());
    (void)w;
    write_file(fifo + ".next", b);
    rename((fifo + ".next").c_str(), fifo.c_str());
    close(fd);  // the first sample ends here
}

TEST_F(Getters, CpuUsageFromTwoSamples) {
    struct Case {
        const char* name;
        std::string first, second;
        int rc;
        const char* text;
    } cases[] = {
        {"busy fifth", "cpu  100 0 100 700 100 0 0 0\n", "cpu  200 0 200 1500 100 0 0 0\n", 0, "20.00%"},
        {"idle", "cpu 1 1 1 1 1 1 1\n", "cpu 1 1 1 11 1 1 1\n", 0, "0.00%"},
        {"no change", "cpu 5 5 5 5 5 5 5\n", "cpu 5 5 5 5 5 5 5\n", -8, ""},
        {"malformed", "intr 5\n", "intr 6\n", -8, ""},
        {"counters backwards", "cpu 100 0 0 100 0 0 0\n", "cpu 50 0 0 200 0 0 0\n", -8, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir fixture;
        DeviceRoot dev(fixture.path());
        write_file(fixture / "proc/x", "");
        std::string fifo = fixture / "proc/stat";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        std::thread feeder(feed_two_samples, fifo, c.first, c.second);
        char field[256] = {};
        int len = kUntouched;
        int rc = hwlink_get_cpu_usage(field, &len);
        feeder.join();
        EXPECT_EQ(rc, c.rc);
        EXPECT_STREQ(field, c.text);
        if (c.rc == 0) {
            EXPECT_EQ(len, (int)strlen(c.text));
        }
    }
    // A missing /proc/stat.
    char field[256] = {};
    int len = kUntouched;
    EXPECT_EQ(hwlink_get_cpu_usage(field, &len), -8);
}

TEST_F(Getters, SignalLevelByNetworkType) {
    put({{"usr/data/config/DEVSTATE", "ltesignal=-85\n"}});
    struct Case {
        const char* type;
        std::string bytes;
    } cases[] = {
        {"4G", std::string("-85dBm\0", 7)},
        {"WIFI", "NA"},  // no supplicant socket
        {"eth0", "NA"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        char field[256];
        memset(field, '#', sizeof field);
        int len = kUntouched;
        EXPECT_EQ(hwlink_get_device_signal_level(c.type, field, &len), 0);
        std::string expect_text = c.bytes.substr(0, c.bytes.find('\0'));
        EXPECT_EQ(len, (int)expect_text.size());
        EXPECT_EQ(std::string(field, c.bytes.size()), c.bytes);
    }
    put({{"usr/data/config/DEVSTATE", "imei1=1\n"}});
    char field[256] = {};
    int len = kUntouched;
    EXPECT_EQ(hwlink_get_device_signal_level("4G", field, &len), 0);
    EXPECT_EQ(len, 2);
    EXPECT_EQ(std::string(field, 2), "NA");
}

TEST_F(Getters, NetworkTypeFromTheDefaultRoute) {
    ASSERT_EQ(hwsim::build_terminal(root_.path()), 0);
    struct Case {
        const char* iface;
        int rc;
        int len;
        std::string bytes;
    } cases[] = {
        {"usb0", 0, 3, std::string("4G\0", 3)},
        {"wlan0", 0, 5, std::string("WIFI\0", 5)},
        {"eth0", 0, 64, std::string("eth0") + std::string(60, '\0')},
        {"none", -8, kUntouched, std::string(64, '\0')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.iface);
        ASSERT_EQ(hwsim::run({"/usr/bin/python3", hwsim::tools_dir() + "/terminal_sim.py", "route", root_.path(),
                              c.iface}),
                  0);
        char field[256];
        memset(field, 0, sizeof field);
        int len = kUntouched;
        EXPECT_EQ(hwlink_get_network_type(field, &len), c.rc);
        EXPECT_EQ(len, c.len);
        EXPECT_EQ(std::string(field, c.bytes.size()), c.bytes);
    }
}

TEST_F(Getters, NetworkTypeWithoutIpCommand) {
    // No ip under the root and none on PATH: the command cannot run.
    TempDir empty;
    char field[256] = {};
    int len = kUntouched;
    int rc;
    {
        testsupport::EnvVar path("PATH", empty.path());
        rc = hwlink_get_network_type(field, &len);
    }
    EXPECT_EQ(rc, -8);
    EXPECT_EQ(len, kUntouched);
}

TEST_F(Getters, LocalAddressIsAnIpv4AddressOrEmpty) {
    char field[256] = {};
    int len = kUntouched;
    ASSERT_EQ(hwlink_get_local_ip(field, &len), 0);
    ASSERT_GE(len, 0);
    if (len > 0) {
        unsigned a, b, c, d;
        char rest;
        EXPECT_EQ(sscanf(field, "%u.%u.%u.%u%c", &a, &b, &c, &d, &rest), 4) << field;
        EXPECT_NE(std::string(field), "127.0.0.1");
    }
}

// The simulated terminal's device root answers every getter with its documented values.
TEST_F(Getters, SimulatedTerminal) {
    ASSERT_EQ(hwsim::build_terminal(root_.path(), {"--model", "P20", "--route", "usb0", "--adb", "--app", "Demo:1.4"}),
              0);
    struct Case {
        Getter g;
        const char* text;
    } cases[] = {
        {hwlink_get_device_serialno, "SN0001"}, {hwlink_get_device_model, "P20"},
        {hwlink_get_firmware_version, "V1.2.3"}, {hwlink_get_system_version, "OEM_2.0.1"},
        {hwlink_get_mac_address, "00:11:22:33:44:55"}, {hwlink_get_imei, "861234567890123"},
        {hwlink_get_battery_percent, "87.00%"}, {hwlink_get_battery_status, "2"},
        {hwlink_get_device_voltage, "3.95V"}, {hwlink_get_cpu_temperature, "41.50\xE2\x84\x83"},
        {hwlink_get_device_uptime, "100:00:05"}, {hwlink_get_memory_usage, "43.10%"},
        {hwlink_get_network_type, "4G"},
    };
    for (const auto& c : cases) {
        Result r = call(c.g);
        EXPECT_EQ(r.rc, 0) << c.text;
        EXPECT_STREQ(r.field, c.text);
    }
    EXPECT_EQ(hwlink_get_adb_enabled(), 1);
    LocationDataParam loc;
    memset(&loc, 0, sizeof loc);
    EXPECT_EQ(hwlink_get_lbs_info(&loc), 0);
    EXPECT_STREQ(loc.coordinates, "113.9,22.5");
    snprintf(g_device_app_path, sizeof g_device_app_path, "%s/usr/data/app", root_.path().c_str());
    AppInfo apps[8];
    int count = 0;
    EXPECT_EQ(hwlink_get_apk_list(apps, &count), 0);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(apps[0].apkName, "Demo");
    EXPECT_STREQ(apps[0].version, "1.4");
    g_device_app_path[0] = '\0';
}

}  // namespace
