#include "test_support.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

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

DeviceRoot::DeviceRoot(const std::string& root) {
    const char* old = getenv("NIMBO_DEVICE_ROOT");
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    setenv("NIMBO_DEVICE_ROOT", root.c_str(), 1);
}

DeviceRoot::~DeviceRoot() {
    if (had_old_)
        setenv("NIMBO_DEVICE_ROOT", old_.c_str(), 1);
    else
        unsetenv("NIMBO_DEVICE_ROOT");
}

}  // namespace testsupport
