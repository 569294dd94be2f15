// Installation of applications and firmware, and the signals to the payment application,
// against the simulated terminal (update scripts) and the payment-application stand-in.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "hwlink.h"
#include "hwlink_sim.h"
#include "test_support.h"

using testsupport::exists;
using testsupport::read_file;
using testsupport::write_file;

namespace {

using Lines = std::vector<std::string>;

// A zip package with the given members (via python's zipfile).
void make_zip(const std::string& path, const std::vector<std::pair<std::string, std::string>>& members) {
    std::string script = "import sys,zipfile\nz=zipfile.ZipFile(sys.argv[1],'w')\n";
    std::vector<std::string> args = {"/usr/bin/python3", "-c", "", path};
    for (size_t i = 0; i < members.size(); ++i) {
        script += "z.writestr(sys.argv[" + std::to_string(2 + 2 * i) + "],sys.argv[" + std::to_string(3 + 2 * i) + "])\n";
        args.push_back(members[i].first);
        args.push_back(members[i].second);
    }
    script += "z.close()\n";
    args[2] = script;
    ASSERT_EQ(hwsim::run(args), 0);
}

bool dir_empty(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return false;
    int n = 0;
    while (struct dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) ++n;
    closedir(d);
    return n == 0;
}

class Install : public hwsim::TerminalTest {
protected:
    std::string app_dir_ = root_ / "usr/data/app";
    std::string data_dir_ = root_ / "usr/data/nimbo";
    std::string work_dir_ = root_ / "usr/data/nimbo/cache dir's";

    void SetUp() override {
        TerminalTest::SetUp();
        hwsim::put_file(work_dir_ + "/old/leftover", "x");
    }
    void set_status(bool oem, const std::string& status) {
        std::vector<std::string> args = {"/usr/bin/python3", hwsim::tools_dir() + "/terminal_sim.py", "ota-status",
                                         root_.path(), status};
        if (oem) args.push_back("--oem");
        ASSERT_EQ(hwsim::run(args), 0);
    }
};

TEST_F(Install, ApplicationPackages) {
    hwsim::PayApp app(scratch_.path());
    ASSERT_TRUE(app.ready());
    struct Case {
        const char* name;
        bool package_exists;
        int rc;
        Lines signals;
    } cases[] = {
        {"Demo", true, 0, {}},
        {"Alipay", true, 0, {"96"}},
        {"it's $(touch pwned) `x`", true, 0, {}},  // a name is a file name, never shell text
        {"Demo2", false, -8, {}},                    // the move fails
        {"", true, -8, {}},
        {"a/b", true, -8, {}},
        {".", true, -8, {}},
        {"..", true, -8, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string pkg = scratch_ / "down load's/pkg.zip";
        unlink(pkg.c_str());
        if (c.package_exists) hwsim::put_file(pkg, "PK-package");
        char err[256] = {};
        int err_len = -1;
        int rc = hwlink_install_app(pkg.c_str(), app_dir_.c_str(), c.name, "1.0", 0, 0, err, &err_len);
        EXPECT_EQ(rc, c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(err_len, 0);
            EXPECT_EQ(read_file(app_dir_ + "/download/" + c.name + ".zip"), "PK-package");
            EXPECT_FALSE(exists(pkg));
        } else {
            EXPECT_EQ(err_len, 18);
            EXPECT_STREQ(err, "App install failed");
            EXPECT_EQ(exists(pkg), c.package_exists);  // a refused name moves nothing
        }
        EXPECT_EQ(received(app), c.signals);
    }
    EXPECT_FALSE(exists(scratch_ / "pwned"));
    EXPECT_FALSE(exists(app_dir_ + "/pwned"));
    EXPECT_FALSE(exists(root_ / "usr/data/download.zip"));  // "..": nothing above the app dir
    int len = 0;
    EXPECT_EQ(hwlink_install_app("p", app_dir_.c_str(), "Demo", "1", 0, 0, nullptr, &len), -2);
    char err[256] = {};
    EXPECT_EQ(hwlink_install_app("p", app_dir_.c_str(), "Demo", "1", 0, 0, err, nullptr), -2);
}

struct FirmwareCase {
    const char* name;
    bool oem;
    std::string status;  // what the update script does
    int rc;
    std::string text;  // error text
    int len;
};

TEST_F(Install, FirmwareUpdateScripts) {
    hwsim::PayApp app(scratch_.path());
    ASSERT_TRUE(app.ready());
    const FirmwareCase cases[] = {
        {"normal ok", false, "0", 0, "", -1},
        {"oem ok", true, "0", 0, "", -1},
        {"too old", false, "11", -8, "Packet error[11]: the upgrade package version is too old", 72},
        {"invalid parameter", false, "1", -8, "General error[1]: invalid parameter passed in", 62},
        {"rtos", true, "34", -8, "Upgrade failed[34]: rtos upgrade failed", 55},
        {"node", false, "20", -8, "Node error[20]", 30},
        {"unknown", false, "7", -8, "Unknown error[7]", 33},
        {"killed", false, "signal:9", -8, std::string("Failure due to abnormal signal: 9[") + strsignal(9) + "]", 166},
    };
    const std::string data_record = data_dir_ + "/ota_old_version";
    const std::string tmp_record = root_ / "tmp/ota_old_version";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        set_status(c.oem, c.status);
        unlink((root_ / "etc/ota_bin/calls.log").c_str());
        std::string pkg = scratch_ / "tmp_update.zip";
        std::vector<std::pair<std::string, std::string>> members = {{"rootfs.img", "IMG"}};
        if (c.oem) members.push_back({"ota_config.in", "name=x\ntype=oem\n"});
        make_zip(pkg, members);
        char err[256] = {};
        int err_len = -1;
        EXPECT_EQ(hwlink_install_firmware(pkg.c_str(), data_dir_.c_str(), work_dir_.c_str(), err, &err_len), c.rc);
        EXPECT_EQ(err_len, c.len);
        EXPECT_STREQ(err, c.text.c_str());
        // The right script ran on the unpacked package.
        std::string calls = read_file(root_ / "etc/ota_bin/calls.log");
        std::string script = c.oem ? "local_ota_update_oem.sh " : "local_ota_update.sh ";
        EXPECT_EQ(calls.rfind(script + work_dir_ + "/ota [", 0), 0u) << calls;
        EXPECT_NE(calls.find("rootfs.img"), std::string::npos) << calls;
        EXPECT_EQ(received(app), Lines{"95"});
        EXPECT_TRUE(dir_empty(work_dir_));
        if (c.rc == 0) {
            EXPECT_EQ(read_file(data_record), c.oem ? "OEM_2.0.1\ntype=oem\n" : "V1.2.3\n");
            EXPECT_EQ(read_file(tmp_record), c.oem ? "OEM_2.0.1\n" : "V1.2.3\n");
        } else {
            EXPECT_FALSE(exists(data_record));  // nothing to judge after a failed script
            EXPECT_FALSE(exists(tmp_record));
        }
        unlink(data_record.c_str());
        unlink(tmp_record.c_str());
    }
}

TEST_F(Install, FirmwareVersionIsRecordedBeforeTheScriptRuns) {
    hwsim::PayApp app(scratch_.path());
    ASSERT_TRUE(app.ready());
    // A script that restarts the device would never return: the record must already exist.
    std::string seen = scratch_ / "seen";
    write_file(root_ / "etc/ota_bin/local_ota_update.sh",
               "#!/bin/sh\ncat '" + data_dir_ + "/ota_old_version' '" + root_.path() + "/tmp/ota_old_version' > '" +
                   seen + "'\nexit 0\n");
    chmod((root_ / "etc/ota_bin/local_ota_update.sh").c_str(), 0755);
    std::string pkg = scratch_ / "u.zip";
    make_zip(pkg, {{"a", "b"}});
    char err[256] = {};
    int err_len = 0;
    ASSERT_EQ(hwlink_install_firmware(pkg.c_str(), data_dir_.c_str(), work_dir_.c_str(), err, &err_len), 0);
    EXPECT_EQ(read_file(seen), "V1.2.3\nV1.2.3\n");
}

TEST_F(Install, FirmwarePackageThatDoesNotUnzip) {
    hwsim::PayApp app(scratch_.path());
    ASSERT_TRUE(app.ready());
    std::string pkg = scratch_ / "broken.zip";
    write_file(pkg, "not a zip");
    char err[256];
    memset(err, '#', sizeof err);
    int err_len = 0;
    EXPECT_EQ(hwlink_install_firmware(pkg.c_str(), data_dir_.c_str(), work_dir_.c_str(), err, &err_len), -8);
    EXPECT_EQ(err_len, 46);
    EXPECT_EQ(std::string(err, 47), std::string("Package unzip failed, please check the package\0", 47));
    EXPECT_FALSE(exists(root_ / "etc/ota_bin/calls.log"));  // no script ran
    EXPECT_FALSE(exists(data_dir_ + "/ota_old_version"));
    EXPECT_EQ(received(app), Lines{});
    // Arguments.
    EXPECT_EQ(hwlink_install_firmware(pkg.c_str(), data_dir_.c_str(), work_dir_.c_str(), nullptr, &err_len), -2);
    EXPECT_EQ(hwlink_install_firmware(pkg.c_str(), data_dir_.c_str(), "", err, &err_len), -2);
}

TEST_F(Install, SignalsToThePaymentApplication) {
    {
        hwsim::PayApp app(scratch_.path());
        ASSERT_TRUE(app.ready());
        char msg[256] = {};
        EXPECT_EQ(hwlink_reboot(0, msg), 0);
        EXPECT_EQ(hwlink_reboot(1, msg), 0);
        EXPECT_EQ(hwlink_reboot(2, msg), -2);
        EXPECT_EQ(hwlink_poweroff(msg), 0);
        EXPECT_EQ(hwlink_send_signal_to_other_process("alibankApp", SIGRTMIN + 4), 0);  // number 89
        EXPECT_STREQ(msg, "");
        EXPECT_EQ(received(app), (Lines{"97", "98", "91", "89"}));
        EXPECT_EQ(hwlink_send_signal_to_alibankApp(88), -2);
        EXPECT_EQ(hwlink_send_signal_to_alibankApp(100), -2);
    }
    // No payment application.
    if (hwsim::foreign_alibank_running()) GTEST_SKIP() << "another alibankApp is running";
    char msg[256] = {};
    EXPECT_EQ(hwlink_reboot(0, msg), -8);
    EXPECT_STREQ(msg, "App Alipay is offline");
    EXPECT_EQ(hwlink_reboot(1, nullptr), -3);
    memset(msg, 0, sizeof msg);
    EXPECT_EQ(hwlink_poweroff(msg), -8);
    EXPECT_STREQ(msg, "App Alipay is offline");
    EXPECT_EQ(hwlink_send_signal_to_alibankApp(92), -3);
    // Names reach a process lookup: plain names only.
    EXPECT_EQ(hwlink_send_signal_to_other_process("", SIGTERM), -2);
    EXPECT_EQ(hwlink_send_signal_to_other_process("a;touch x", SIGTERM), -2);
    EXPECT_EQ(hwlink_send_signal_to_other_process("no_such_process_x9", SIGTERM), -3);
}

}  // namespace
