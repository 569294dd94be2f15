#include "catalogue.hpp"

namespace nimboctl {

const std::vector<CommandInfo>& command_catalogue() {
    static const std::vector<CommandInfo> table = {
        {"querySysStatus", "battery, temperature, CPU, memory, network, signal and uptime", Answer::reply, {}, "", ""},
        {"queryLog", "list the log files the device can upload", Answer::reply,
         {{"fileType", "string", true, "must be \"log\""},
          {"queryType", "string", false, "echoed back"},
          {"filePath", "string", false, "not used"}},
         "fileType=log", ""},
        {"getLog", "collect a log file on the device and upload it to a server", Answer::reply,
         {{"downloadFileUrl", "string", true, "base URL the file is posted to"},
          {"filePath", "string", true, "ends with \"dmesg.log\" or \"app_log.tar.gz\"; its directory part is appended to the URL"},
          {"fileType", "string", true, "must be \"log\""},
          {"dirPath", "string", false, "not used"}},
         "fileType=log downloadFileUrl=http://127.0.0.1:8080/logs filePath=/NB0001/app_log.tar.gz",
         "The first reply (status 1) says the upload started; the final reply carries the uploaded\n"
         "file's time-stamped path."},
        {"apkUpgrade", "download an application package, check it and install it", Answer::reply,
         {{"apkDownloadUrl", "string", true, "http(s) URL of the package, at most 255 characters"},
          {"md5sum", "string", false, "32 hexadecimal digits; empty: no check"},
          {"apkSize", "string", false, "size in bytes, decimal digits; used for the free-space check"},
          {"applicationName", "string", true, "the name the package is installed under (no \"/\", not \".\" or \"..\")"},
          {"apkVersion", "string", false, "reported back, handed to the installer"},
          {"apkFileName", "string", false, "not used"},
          {"progress", "number", false, "percentage points between progress replies; 100 or more: none"},
          {"autoStart", "boolean", false, "not used"},
          {"setKioskMode", "boolean", false, "not used"},
          {"setLauncher", "boolean", false, "not used"}},
         "apkDownloadUrl=http://127.0.0.1:8080/files/shop.zip md5sum=0123456789abcdef0123456789abcdef "
         "applicationName=shop apkVersion=1.2.0 progress:=10",
         "Replies: accepted (status 1), download percentages, \"Installing\", then status 2 or 3.\n"
         "A lost connection or a restart pauses the download; it resumes after the next connection."},
        {"otaUpgrade", "download a firmware package and install it (takes effect after a restart)", Answer::reply,
         {{"otaDownloadUrl", "string", true, "http(s) URL of the package"},
          {"md5sum", "string", false, "32 hexadecimal digits; empty: no check"},
          {"otaSize", "string", false, "size in bytes, decimal digits"},
          {"otaVersion", "string", false, "reported back"},
          {"packageName", "string", false, "reported back as \"otaName\""},
          {"progress", "number", false, "percentage points between progress replies"},
          {"semiSilent", "string", false, "not used"},
          {"silentIns", "boolean", false, "not used"}},
         "otaDownloadUrl=http://127.0.0.1:8080/files/fw.zip otaVersion=2.0.1 progress:=20",
         "After \"Installation successful, waiting for restart\" the final result (\"100%\" or\n"
         "\"Version not changed\") comes once the terminal has restarted and reconnected."},
        {"customResourcePoster", "add, update or delete a poster or message shown by the payment application",
         Answer::reply,
         {{"action", "string", false, "\"delete\" deletes the entry at position; anything else adds or updates"},
          {"type", "string", false, "\"poster\" (a file to download) or \"message\""},
          {"position", "number", true, "slot of the entry, the key entries are found by"},
          {"url", "string", false, "where the poster file is fetched (posters)"},
          {"fileName", "string", false, "name of the poster file"},
          {"md5sum", "string", false, "MD5 of the poster file"},
          {"fileSize", "string", false, "size in bytes, decimal digits"},
          {"enable", "boolean", false, "stored as 1 or 0"},
          {"level", "number", false, "stored"},
          {"progress", "number", false, "percentage points between progress replies"},
          {"beginTime", "string", false, "stored"},
          {"endTime", "string", false, "stored"},
          {"source", "string", false, "stored"},
          {"sliderTitle", "string", false, "stored"}},
         "action=add type=poster position:=1 url=http://127.0.0.1:8080/files/sale.png fileName=sale.png "
         "md5sum=0123456789abcdef0123456789abcdef enable:=true",
         ""},
        {"devOrgInfo", "subscribe the organisation, department and group topics (no reply)", Answer::none,
         {{"organizationId", "string", true, "first element of every topic"},
          {"departmentId", "string", false, "department topic /e/ORG/ma/d/DEPT"},
          {"groupId", "string", false, "group topic /e/ORG/ma/g/GROUP"}},
         "organizationId=7 groupId=3",
         "The service never answers this command; it takes effect once per connection."},
        {"reboot", "restart the terminal (through the payment application)", Answer::reply,
         {{"rebootType", "string", true, "\"1\" or \"2\" (the two restart signals of the payment application)"},
          {"time", "string", false, "logged only"},
          {"weekCycle", "string", false, "logged only"}},
         "rebootType=1", ""},
        {"switchServerUrl", "move the terminal to another management server", Answer::reply,
         {{"url", "string", true, "base URL of the new server; it must answer the bootstrap"},
          {"resetFactoryType", "string", true, "\"2\": keep the URL across a factory reset"}},
         "url=http://127.0.0.1:8081/ resetFactoryType=1",
         "After a successful reply the service restarts itself with the new server."},
        {"geofence", "confine the terminal to a circle; leaving it locks the terminal", Answer::reply,
         {{"geofenceCoordinates", "string", false, "\"longitude,latitude\"; empty removes the fence"},
          {"geofenceRadius", "string", false, "metres, decimal; empty removes the fence"},
          {"pushAlert", "number", false, "1: raise \"GeoFence\" alerts"},
          {"cycle", "string", false, "stored only"}},
         "geofenceCoordinates=113.9,22.5 geofenceRadius=500 pushAlert:=1", ""},
        {"devLock", "lock or unlock the terminal", Answer::reply,
         {{"lockType", "string", true, "\"1\" locks, anything else unlocks"},
          {"pwd", "string", false, "logged only"}},
         "lockType=1",
         "The reply comes at once; the \"LockDevice\" alert (see `nimboctl watch`) follows when the\n"
         "payment application confirms."},
        {"setDevParam", "set brightness, volume and Wi-Fi networks", Answer::reply,
         {{"brightness", "number", false, "screen brightness"},
          {"systemVolume", "number", false, "system volume"},
          {"wifiAP", "array", false, "[{\"ssid\":...,\"pwd\":...,\"stype\":2|4}] (2 WPA2, 8+ characters; 4 WPA3, 6+)"}},
         "brightness:=80 systemVolume:=5", ""},
        {"onOff", "power the terminal off now", Answer::reply,
         {{"offTime", "string", false, "logged only"},
          {"onTime", "string", false, "logged only"},
          {"weekCycle", "string", false, "logged only"}},
         "", ""},
        {"antPayCode", "hand a payment code to the payment application", Answer::reply,
         {{"orderId", "string", true, "order the code belongs to"}}, "orderId=A1001 ...", ""},
        {"antPayStatus", "hand a payment status to the payment application", Answer::reply,
         {{"orderId", "string", true, "order the status belongs to"}}, "orderId=A1001 ...", ""},
    };
    return table;
}

const CommandInfo* find_command(const std::string& name) {
    for (const auto& c : command_catalogue())
        if (name == c.name) return &c;
    return nullptr;
}

}  // namespace nimboctl
