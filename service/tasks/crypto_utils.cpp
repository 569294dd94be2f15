// MD5 through OpenSSL's EVP interface (the MD5_* calls are deprecated in OpenSSL 3).
#include "tasks/crypto_utils.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "c_handles.hpp"
#include "log_tags.h"
#include "result_codes.h"
#include "util/kx_log.h"

namespace {

constexpr size_t kDigestSize = 16;
constexpr size_t kHexSize = 32;
constexpr size_t kChunk = 64 * 1024;  // large reads: fewer calls per byte hashed

bool md5_bytes(const void* data, size_t size, unsigned char* out) {
    unsigned int len = 0;
    return EVP_Digest(data, size, out, &len, EVP_md5(), nullptr) == 1 && len == kDigestSize;
}

// Reads the whole file through one MD5 context. False when it cannot be opened or a read
// fails part-way (a truncated read must not pass for the file's digest).
bool md5_file(const char* path, unsigned char* out) {
    FilePtr file{std::fopen(path, "rb")};
    if (!file) {
        LOG_E(TAG_CRYPTO, "[%s] failed to open the file", path);
        return false;
    }
    MdCtxPtr ctx{EVP_MD_CTX_new()};
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) {
        LOG_E(TAG_CRYPTO, "[%s] failed to initialise MD5", path);
        return false;
    }
    // On the heap: worker threads may run on small stacks.
    std::vector<unsigned char> buf(kChunk);
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), file.get())) > 0) {
        if (EVP_DigestUpdate(ctx.get(), buf.data(), n) != 1) return false;
    }
    if (std::ferror(file.get())) {
        LOG_E(TAG_CRYPTO, "[%s] failed to read the file: %s", path, std::strerror(errno));
        return false;
    }
    unsigned int len = 0;
    return EVP_DigestFinal_ex(ctx.get(), out, &len) == 1 && len == kDigestSize;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

int crypto_utils_md5_value_change_into_md5_hex(const unsigned char* digest, char* out) {
    if (digest == nullptr || out == nullptr) return NIMBO_ERR_INVALID;
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < kDigestSize; ++i) {
        out[2 * i] = kDigits[digest[i] >> 4];
        out[2 * i + 1] = kDigits[digest[i] & 0x0f];
    }
    out[kHexSize] = '\0';
    return 0;
}

int crypto_utils_generate_md5_value_for_string(const char* text, unsigned char* out) {
    if (text == nullptr || out == nullptr) return NIMBO_ERR_INVALID;
    return md5_bytes(text, std::strlen(text), out) ? 0 : -8;
}

int crypto_utils_generate_md5_hex_for_string(const char* text, char* out) {
    if (text == nullptr || out == nullptr) return NIMBO_ERR_INVALID;
    unsigned char digest[kDigestSize];
    if (crypto_utils_generate_md5_value_for_string(text, digest) != 0) {
        out[0] = '\0';
        return NIMBO_ERR_FAILED;
    }
    return crypto_utils_md5_value_change_into_md5_hex(digest, out);
}

int crypto_utils_calculate_md5_value_for_file(const char* path, unsigned char* out) {
    if (path == nullptr || out == nullptr) return NIMBO_ERR_INVALID;
    unsigned char digest[kDigestSize];
    if (!md5_file(path, digest)) {
        // Never leave an old digest behind that a comparison could still match.
        std::memset(out, 0, kDigestSize);
        return NIMBO_ERR_FAILED;
    }
    std::memcpy(out, digest, kDigestSize);
    return 0;
}

int crypto_utils_calculate_md5_hex_for_file(const char* path, char* out) {
    if (path == nullptr || out == nullptr) return NIMBO_ERR_INVALID;
    unsigned char digest[kDigestSize];
    if (!md5_file(path, digest)) {
        out[0] = '\0';
        return NIMBO_ERR_FAILED;
    }
    return crypto_utils_md5_value_change_into_md5_hex(digest, out);
}

int crypto_utils_compare_md5(const unsigned char* digest, const char* hex) {
    if (hex == nullptr || std::strlen(hex) != kHexSize) {
        LOG_E(TAG_CRYPTO, "The entered MD5 data length is incorrect");
        return NIMBO_ERR_INVALID;
    }
    if (digest == nullptr) return NIMBO_ERR_FAILED;
    for (size_t i = 0; i < kDigestSize; ++i) {
        int hi = hex_value(hex[2 * i]);
        int lo = hex_value(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return NIMBO_ERR_FAILED;  // not hexadecimal: never equal
        if (static_cast<unsigned char>(hi << 4 | lo) != digest[i]) return NIMBO_ERR_FAILED;
    }
    return 0;
}
