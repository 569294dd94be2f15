// Shared helpers for the unit tests: scratch directories and small file helpers.
#pragma once

#include <string>

namespace testsupport {

// A fresh directory under $TMPDIR, removed with its content when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // path() + "/" + rel
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

// Writes `content` to `path`, creating missing parent directories.
void write_file(const std::string& path, const std::string& content);
// The whole file, or "" when it cannot be read.
std::string read_file(const std::string& path);
bool exists(const std::string& path);

// Sets NIMBO_DEVICE_ROOT for the life of the object (restores the old value after).
class DeviceRoot {
public:
    explicit DeviceRoot(const std::string& root);
    ~DeviceRoot();

private:
    std::string old_;
    bool had_old_;
};

}  // namespace testsupport
