// One zero-size deleter for every C handle the program and the library own. The library
// instantiates only what it uses, so it needs nothing but libc at run time.
#pragma once

#include <dirent.h>
#include <stddef.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

#include <cjson/cJSON.h>
#include <curl/curl.h>
#include <openssl/evp.h>

template <auto FreeFn>
struct CFree {
    template <class T>
    void operator()(T* p) const noexcept {
        if (p) FreeFn(p);
    }
};

inline void c_free_void(void* p) noexcept { std::free(p); }
inline void c_fclose(std::FILE* f) noexcept { std::fclose(f); }
inline void c_closedir(DIR* d) noexcept { ::closedir(d); }

using FilePtr = std::unique_ptr<std::FILE, CFree<c_fclose>>;
using DirPtr = std::unique_ptr<DIR, CFree<c_closedir>>;
// A heap text handed over by a C-style function ("the caller frees it").
using CText = std::unique_ptr<char, CFree<c_free_void>>;

// A heap array of `count` heap texts, each freed with the array ("the caller frees them").
class CTextArray {
public:
    CTextArray(char** items, size_t count) noexcept : items_(items), count_(items ? count : 0) {}
    ~CTextArray() {
        for (size_t i = 0; i < count_; ++i) std::free(items_[i]);
        std::free(items_);
    }
    CTextArray(const CTextArray&) = delete;
    CTextArray& operator=(const CTextArray&) = delete;
    size_t size() const noexcept { return count_; }
    char* const* begin() const noexcept { return items_; }
    char* const* end() const noexcept { return items_ + count_; }

private:
    char** items_;
    size_t count_;
};

// An owned file descriptor.
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~UniqueFd() { reset(); }
    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

inline void c_cjson_free(char* p) noexcept { cJSON_free(p); }

using JsonPtr = std::unique_ptr<cJSON, CFree<cJSON_Delete>>;
using JsonText = std::unique_ptr<char, CFree<c_cjson_free>>;  // from cJSON_PrintUnformatted
using CurlPtr = std::unique_ptr<CURL, CFree<curl_easy_cleanup>>;
using SlistPtr = std::unique_ptr<curl_slist, CFree<curl_slist_free_all>>;
using MimePtr = std::unique_ptr<curl_mime, CFree<curl_mime_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, CFree<EVP_MD_CTX_free>>;
