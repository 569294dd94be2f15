#include "test_support.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "c_handles.hpp"
#include "util/nimbo_globals.h"

namespace testsupport {

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/nimbo-test-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path_.c_str());
}

void write_file(const std::string& path, const std::string& content) {
    auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        std::string cmd = "mkdir -p '" + path.substr(0, slash) + "'";
        if (std::system(cmd.c_str()) != 0) throw std::runtime_error("mkdir failed");
    }
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::string snapshot(const std::string& dir) {
    std::vector<std::string> lines;
    std::function<void(const std::string&, const std::string&)> walk = [&](const std::string& path,
                                                                          const std::string& rel) {
        DirPtr d{::opendir(path.c_str())};
        if (!d) return;
        while (struct dirent* e = ::readdir(d.get())) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            struct stat st;
            std::string child = path + "/" + name;
            if (::lstat(child.c_str(), &st) != 0) continue;
            if (S_ISDIR(st.st_mode)) {
                lines.push_back(rel + name + "/");
                walk(child, rel + name + "/");
            } else if (S_ISLNK(st.st_mode)) {
                lines.push_back(rel + name + " -> link");
            } else {
                lines.push_back(rel + name + " = " + read_file(child));
            }
        }
    };
    walk(dir, "");
    std::sort(lines.begin(), lines.end());
    std::string all;
    for (const std::string& l : lines) all += l + "\n";
    return all;
}

std::string text_of(char* heap, const char* absent) {
    CText owned{heap};
    return owned ? std::string(owned.get()) : std::string(absent);
}

void use_service_dirs(const std::string& root) {
    set_path(g_device_app_path, root + "/app");
    set_path(g_nimbo_data_path, root + "/app/nimboservice/data");
    set_path(g_nimbo_download_path, root + "/app/nimboservice/download");
    set_path(g_nimbo_cache_path, root + "/app/nimboservice/cache");
    set_path(g_nimbo_cmd_file_path, root + "/app/nimboservice/data/task_cmd");
    set_path(g_device_log_path, root + "/log");
}

RequestCmd request(const std::string& cmd, const std::string& param, const std::string& task_id,
                   const std::string& sn) {
    RequestCmd req{};
    set_path(req.cmd, cmd);
    set_path(req.taskId, task_id);
    set_path(req.sn, sn);
    set_path(req.param, param);
    return req;
}

EnvVar::EnvVar(const char* name, const std::string& value) : name_(name) {
    const char* old = getenv(name);
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    setenv(name, value.c_str(), 1);
}

EnvVar::~EnvVar() {
    if (had_old_)
        setenv(name_.c_str(), old_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}

}  // namespace testsupport
