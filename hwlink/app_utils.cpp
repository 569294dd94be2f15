// Installed applications, listed from their "AppManifest" files (log tag "app_utils").
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "elog.h"
#include "hwlink_private.h"
#include "log_tags.h"

namespace {

// Copies a manifest value into a 256-byte field: cut at the line end, then at a carriage
// return. A value that does not fit with its terminator is refused (field left empty).
void copy_value(const char* value, char* field, size_t size, const char* path) {
    size_t n = strcspn(value, "\n");
    size_t cr = strcspn(value, "\r");
    if (cr < n) n = cr;
    if (n >= size) {
        LOG_E(TAG_APP, "value too long in %s (%zu bytes)", path, n);
        field[0] = '\0';
        return;
    }
    memcpy(field, value, n);
    field[n] = '\0';
}

// Bytes of the files below the directory open as `fd` (taken over; links not followed, not
// counted). Entries are examined relative to the directory: no path is built, and the kernel
// does not walk the whole path again for each of the thousands of files of an application.
uint64_t size_at(int fd) {
    UniqueFd owned(fd);
    DirPtr dir(fdopendir(fd));
    if (!dir) {
        LOG_E(TAG_APP, "opendir");
        return 0;
    }
    (void)owned.release();  // closed with the directory
    DIR* d = dir.get();
    uint64_t total = 0;
    struct dirent* entry;
    while ((entry = readdir(d)) != nullptr) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        struct stat st;
        if (fstatat(dirfd(d), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            LOG_E(TAG_APP, "lstat: %s", entry->d_name);
            return 0;
        }
        if (S_ISDIR(st.st_mode)) {
            int sub = openat(dirfd(d), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0) {
                LOG_E(TAG_APP, "opendir");
                continue;
            }
            total += size_at(sub);
        } else if (!S_ISLNK(st.st_mode)) {
            total += (uint64_t)st.st_size;
        }
    }
    return total;
}

}  // namespace

extern "C" {

void read_manifest(const char* path, AppInfo* info) {
    FilePtr f(fopen(path, "r"));
    if (!f) {
        LOG_E(TAG_APP, "Failed to open AppManifest");
        return;
    }
    char line[1024];
    while (fgets(line, sizeof line, f.get()) != nullptr) {
        bool whole = strchr(line, '\n') != nullptr || feof(f.get());
        if (strncmp(line, "AppName=", 8) == 0) {
            copy_value(line + 8, info->pkgName, sizeof info->pkgName, path);
            memcpy(info->apkName, info->pkgName, sizeof info->apkName);
        } else if (strncmp(line, "AppVersion=", 11) == 0) {
            copy_value(line + 11, info->version, sizeof info->version, path);
        }
        // The rest of an overlong line is not a line of its own.
        while (!whole) {
            if (fgets(line, sizeof line, f.get()) == nullptr) break;
            whole = strchr(line, '\n') != nullptr;
        }
    }
}

uint64_t get_directory_size(const char* path) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        LOG_E(TAG_APP, "opendir");
        return 0;
    }
    return size_at(fd);
}

int app_utils_get_app_info(const char* dir_path, int max, AppInfo* list) {
    if (dir_path == nullptr || list == nullptr) return -1;
    DirPtr dir(opendir(dir_path));
    if (!dir) {
        LOG_E(TAG_APP, "Failed to open directory");
        return -1;
    }
    int count = 0;
    struct dirent* entry;
    while (count < max && (entry = readdir(dir.get())) != nullptr) {
        if (entry->d_type != DT_DIR) continue;
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        char manifest[1024];
        if (!hw::format(manifest, sizeof manifest, "%s/%s/%s", dir_path, entry->d_name, "AppManifest")) continue;
        if (access(manifest, R_OK) != 0) continue;
        AppInfo* info = &list[count];
        memset(info, 0, sizeof *info);
        ++count;
        read_manifest(manifest, info);
        info->apkEnable = 1;
        char app_dir[1024];
        if (hw::format(app_dir, sizeof app_dir, "%s/%s", dir_path, entry->d_name))
            info->size = (int)(uint32_t)get_directory_size(app_dir);
    }
    return count;
}

}  // extern "C"
