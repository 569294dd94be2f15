// Starts tools/mgmt_sim.py on a free loopback port for the life of the object, and talks
// to its administration endpoints.
#pragma once

#include <cjson/cJSON.h>
#include <curl/curl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "c_handles.hpp"
#include "test_support.h"

extern char** environ;

namespace testsupport {

class SimServer {
public:
    // `files_dir` and `uploads_dir` may be empty.
    explicit SimServer(const std::string& files_dir = "", const std::string& uploads_dir = "",
                       const std::vector<std::string>& extra = {}) {
        port_file_ = dir_ / "port";
        std::vector<std::string> args = {"/usr/bin/python3", NIMBO_SOURCE_DIR "/tools/mgmt_sim.py", "--port", "0",
                                         "--port-file", port_file_};
        if (!files_dir.empty()) args.insert(args.end(), {"--files", files_dir});
        if (!uploads_dir.empty()) args.insert(args.end(), {"--uploads", uploads_dir});
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            throw std::runtime_error("cannot start mgmt_sim.py");
        for (int i = 0; i < 200 && port_ == 0; ++i) {
            std::ifstream f(port_file_);
            if (!(f >> port_)) port_ = 0;
            if (port_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (port_ == 0) throw std::runtime_error("mgmt_sim.py did not report its port");
    }
    ~SimServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status;
            ::waitpid(pid_, &status, 0);
        }
    }
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path = "") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

    // POST a JSON object to /_sim/config (or another admin path). True on HTTP 200.
    bool post(const std::string& path, const std::string& json) const {
        CurlPtr curl{curl_easy_init()};
        std::string u = url(path);
        std::string sink;
        curl_easy_setopt(curl.get(), CURLOPT_URL, u.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, json.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &collect);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);
        if (curl_easy_perform(curl.get()) != CURLE_OK) return false;
        long status = 0;
        curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
        return status == 200;
    }
    bool configure(const std::string& json) const { return post("/_sim/config", json); }
    bool reset() const { return post("/_sim/reset", "{}"); }

    // The request log (a JSON array).
    JsonPtr requests() const {
        CurlPtr curl{curl_easy_init()};
        std::string u = url("/_sim/requests");
        std::string body;
        curl_easy_setopt(curl.get(), CURLOPT_URL, u.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &collect);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
        if (curl_easy_perform(curl.get()) != CURLE_OK) return JsonPtr{};
        return JsonPtr{cJSON_Parse(body.c_str())};
    }

    // A text field of the last logged request ("" when absent); `header` looks in "headers".
    std::string last(const char* key, bool header = false) const {
        JsonPtr log = requests();
        int n = cJSON_GetArraySize(log.get());
        if (n == 0) return "";
        const cJSON* e = cJSON_GetArrayItem(log.get(), n - 1);
        if (header) e = cJSON_GetObjectItemCaseSensitive(e, "headers");
        const cJSON* v = cJSON_GetObjectItemCaseSensitive(e, key);
        if (cJSON_IsString(v)) return v->valuestring;
        if (cJSON_IsNumber(v)) return std::to_string(static_cast<long long>(v->valuedouble));
        if (cJSON_IsBool(v)) return cJSON_IsTrue(v) ? "true" : "false";
        return "";
    }
    int request_count() const { return cJSON_GetArraySize(requests().get()); }

private:
    static size_t collect(char* data, size_t size, size_t n, void* userp) {
        static_cast<std::string*>(userp)->append(data, size * n);
        return size * n;
    }

    TempDir dir_;
    std::string port_file_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// Binds `fd` to a free loopback port and returns the port.
inline int bind_loopback(int fd) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("no free loopback port");
    return ntohs(addr.sin_port);
}

// A loopback TCP port with nothing listening on it (bound, then released).
inline int free_tcp_port() {
    UniqueFd fd{::socket(AF_INET, SOCK_STREAM, 0)};
    return bind_loopback(fd.get());
}

}  // namespace testsupport
