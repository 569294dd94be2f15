// Device records: the device information and system status snapshots sent to the server.
#pragma once

#include "hwlink.h"

#define NIMBO_MAX_APPS 32
#define NIMBO_MAX_HW 256

typedef struct {
    char fwVer[256];
    char sysVer[256];
    char model[256];
    char devType[256];
    char devIP[256];
    char devName[256];
    char location[256];
    char coordinates[256];
    char companyName[256];
    char macAddr[256];
    char imei[256];
    char imsi[256];
    int enableNavbar;
    int enableStatusBar;
    int enableAdb;
    AppInfo apps[NIMBO_MAX_APPS];
    int appCount;
    HwInfo hardware[NIMBO_MAX_HW];
    int hwCount;
    int devFunc;
    int userCount;
    int swipeCardCount;
    char orgId[256];
    int doorStatus;
    int activeStatus;
} DeviceInfo;

typedef struct {
    char status[256];
    char failDes[256];
    char batteryPercent[256];
    char batteryStatus[256];
    char cpuTemp[256];
    char cpuUsage[256];
    char devI[256];
    char devSi[256];
    char devUpTime[256];
    char devV[256];
    char memoryUsage[256];
    char networkType[256];
} SysStatusParam;

// Location mode 1 takes the last known position; any other value the current one.
// Returns the last getter's result (callers ignore it).
int nimbo_entities_init_device_info(DeviceInfo* info, int location_mode);
int nimbo_entities_init_sys_status_param(SysStatusParam* status);
