// The device's fixed files, named once for the program and the library. They are absolute
// paths on the terminal: open them through nimbo::device_path (device_path.h), which maps
// them under NIMBO_DEVICE_ROOT.
//
// Constants only: the device-access library uses it too.
#pragma once

namespace nimbo::dev {

// Identity and versions.
constexpr char kSerialNumber[] = "/usr/data/serialnumber";
constexpr char kNandSerial[] = "/sys/devices/platform/ahb2/13440000.sfc/nand_fmw/nand_sn";
constexpr char kNandMac[] = "/sys/devices/platform/ahb2/13440000.sfc/nand_fmw/nand_mac";
constexpr char kMacFile[] = "/usr/data/macaddr.txt";
constexpr char kBuildModel[] = "/etc/build_model";
constexpr char kBuildVersion[] = "/etc/build_version";
constexpr char kOtaInfo[] = "/etc/ota_info";
constexpr char kOsRelease[] = "/etc/os-release";
constexpr char kDriverBuildVersion[] = "/module_driver/build_version";

// Developer access: any of these turns adb on.
constexpr char kEnableAdbEtc[] = "/etc/enableadb";
constexpr char kEnableAdbTmp[] = "/tmp/enableadb";
constexpr char kEnableAdbData[] = "/usr/data/enableadb";

// Kernel counters and sensors.
constexpr char kCpuTemperature[] = "/sys/class/thermal/thermal_zone1/temp";
constexpr char kProcStat[] = "/proc/stat";
constexpr char kProcUptime[] = "/proc/uptime";
constexpr char kProcMeminfo[] = "/proc/meminfo";
constexpr char kBatteryCapacity[] = "/sys/class/power_supply/kx_battery/capacity";
constexpr char kBatteryVoltage[] = "/sys/class/power_supply/kx_battery/voltage_now";
constexpr char kAcOnline[] = "/sys/class/power_supply/kx_ac/online";
// The program's own executable: never mapped (the program must find its own files).
constexpr char kSelfExe[] = "/proc/self/exe";

// Network.
constexpr char kIpCommand[] = "/bin/ip";
constexpr char kWpaSupplicantWlan0[] = "/var/run/wpa_supplicant/wlan0";

// The payment application's files.
constexpr char kDevState[] = "/usr/data/config/DEVSTATE";
constexpr char kDevConfig[] = "/usr/data/config/DEVCONFIG";
constexpr char kPayCodeDir[] = "/usr/data/app/Alipay/data/pay_code";
constexpr char kPayStatusDir[] = "/usr/data/app/Alipay/data/pay_status";

// Firmware update.
constexpr char kOtaUpdateScript[] = "/etc/ota_bin/local_ota_update.sh";
constexpr char kOtaUpdateOemScript[] = "/etc/ota_bin/local_ota_update_oem.sh";
// The version that ran before a firmware update (the firmware installer writes it).
constexpr char kOtaOldVersion[] = "/tmp/ota_old_version";

// The program's own fixed files.
constexpr char kUserData[] = "/usr/data";
constexpr char kInstanceLock[] = "/tmp/nimbo_service_lock";
constexpr char kPayLock[] = "/tmp/nimbo_pay_lock";

}  // namespace nimbo::dev
