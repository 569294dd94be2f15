// Shared helpers for the unit tests: scratch directories, small file helpers, environment
// guards and the program's fixed-size path settings.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <string>

#include "json/json_utils.h"

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
// Every name below `dir` with its content (files) or kind, one sorted line each, links not
// followed: two snapshots compare a whole folder tree.
std::string snapshot(const std::string& dir);

// The text of a heap string the caller owns (freed here), or `absent` for a null pointer.
std::string text_of(char* heap, const char* absent = "(null)");

// Sets an environment variable for the life of the object (restores or removes it after).
class EnvVar {
public:
    EnvVar(const char* name, const std::string& value);
    ~EnvVar();
    EnvVar(const EnvVar&) = delete;
    EnvVar& operator=(const EnvVar&) = delete;

private:
    std::string name_;
    std::string old_;
    bool had_old_;
};

// Sets NIMBO_DEVICE_ROOT for the life of the object (restores the old value after).
class DeviceRoot : public EnvVar {
public:
    explicit DeviceRoot(const std::string& root) : EnvVar("NIMBO_DEVICE_ROOT", root) {}
};

// A test whose NIMBO_DEVICE_ROOT is a fresh directory, root_.
class DeviceRootTest : public ::testing::Test {
protected:
    TempDir root_;
    DeviceRoot dev_{root_.path()};
};

// Points the program's folders under `root` as on the device: ROOT/app (applications),
// ROOT/app/nimboservice/{data,download,cache}, the task file in data/, ROOT/log.
void use_service_dirs(const std::string& root);

// Points one of the program's fixed-size path settings (g_nimbo_data_path, ...) at `value`.
template <std::size_t N>
void set_path(char (&field)[N], const std::string& value) {
    std::snprintf(field, N, "%s", value.c_str());
}

// A command request as the dispatcher hands it to a handler.
RequestCmd request(const std::string& cmd, const std::string& param, const std::string& task_id = "",
                   const std::string& sn = "");

}  // namespace testsupport
