// MD5 of strings and files, and the comparison with a server's hexadecimal text.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "tasks/crypto_utils.h"
#include "test_support.h"

using testsupport::TempDir;
using testsupport::write_file;

namespace {

struct Vector {
    const char* text;
    const char* md5;
};

// RFC 1321, appendix A.5.
const Vector kRfc1321[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

TEST(Crypto, StringsHashToTheRfc1321Values) {
    for (const auto& v : kRfc1321) {
        SCOPED_TRACE(v.text);
        char hex[33];
        std::memset(hex, 'x', sizeof hex);
        ASSERT_EQ(crypto_utils_generate_md5_hex_for_string(v.text, hex), 0);
        EXPECT_STREQ(hex, v.md5);

        unsigned char digest[16];
        ASSERT_EQ(crypto_utils_generate_md5_value_for_string(v.text, digest), 0);
        EXPECT_EQ(crypto_utils_compare_md5(digest, v.md5), 0);
        EXPECT_EQ(crypto_utils_compare_md5(digest, upper(v.md5).c_str()), 0);
        char again[33];
        crypto_utils_md5_value_change_into_md5_hex(digest, again);
        EXPECT_STREQ(again, v.md5);
    }
}

TEST(Crypto, ComparisonRefusesAnythingButThirtyTwoHexDigits) {
    unsigned char digest[16];
    ASSERT_EQ(crypto_utils_generate_md5_value_for_string("abc", digest), 0);
    const std::string good = "900150983cd24fb0d6963f7d28e17f72";
    struct Case {
        std::string text;
        int result;
    };
    const Case cases[] = {
        {good, 0},
        {"900150983CD24FB0D6963F7D28E17F72", 0},
        {good.substr(0, 31), -2},                         // 31 characters
        {good + "0", -2},                                 // 33 characters
        {"", -2},
        {"900150983cd24fb0d6963f7d28e17f7g", -8},         // not a hexadecimal digit
        {"90015098 cd24fb0d6963f7d28e17f72", -8},
        {"+00150983cd24fb0d6963f7d28e17f72", -8},         // a sign that a lax parser would take
        {"0x0150983cd24fb0d6963f7d28e17f72", -8},
        {"900150983cd24fb0d6963f7d28e17f73", -8},         // last digit differs
        {"d41d8cd98f00b204e9800998ecf8427e", -8},         // another digest
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(crypto_utils_compare_md5(digest, c.text.c_str()), c.result);
    }
    EXPECT_EQ(crypto_utils_compare_md5(digest, nullptr), -2);
}

TEST(Crypto, FilesHashTheirWholeContent) {
    TempDir dir;
    write_file(dir / "empty", "");
    write_file(dir / "million_a", std::string(1000000, 'a'));  // many 4096-byte chunks
    write_file(dir / "odd", std::string(4097, 'a'));
    char hex[33];
    ASSERT_EQ(crypto_utils_calculate_md5_hex_for_file((dir / "empty").c_str(), hex), 0);
    EXPECT_STREQ(hex, "d41d8cd98f00b204e9800998ecf8427e");
    ASSERT_EQ(crypto_utils_calculate_md5_hex_for_file((dir / "million_a").c_str(), hex), 0);
    EXPECT_STREQ(hex, "7707d6ae4e027c70eea2a935c2296f21");

    char expected[33];
    crypto_utils_generate_md5_hex_for_string(std::string(4097, 'a').c_str(), expected);
    unsigned char digest[16];
    ASSERT_EQ(crypto_utils_calculate_md5_value_for_file((dir / "odd").c_str(), digest), 0);
    EXPECT_EQ(crypto_utils_compare_md5(digest, expected), 0);
}

TEST(Crypto, UnreadableFileIsAFailureAndNeverMatches) {
    TempDir dir;
    const std::string empty_md5 = "d41d8cd98f00b204e9800998ecf8427e";
    // A buffer that still holds the expected digest from an earlier call must not pass.
    unsigned char digest[16];
    ASSERT_EQ(crypto_utils_generate_md5_value_for_string("", digest), 0);
    ASSERT_EQ(crypto_utils_compare_md5(digest, empty_md5.c_str()), 0);
    for (const std::string& path : {dir / "missing", dir.path()}) {  // absent; a directory (read fails)
        SCOPED_TRACE(path);
        EXPECT_EQ(crypto_utils_calculate_md5_value_for_file(path.c_str(), digest), -8);
        EXPECT_NE(crypto_utils_compare_md5(digest, empty_md5.c_str()), 0);
        char hex[33] = "d41d8cd98f00b204e9800998ecf8427e";
        EXPECT_EQ(crypto_utils_calculate_md5_hex_for_file(path.c_str(), hex), -8);
        EXPECT_STREQ(hex, "");
    }
    if (geteuid() != 0) {  // root reads everything
        write_file(dir / "locked", "data");
        chmod((dir / "locked").c_str(), 0);
        EXPECT_EQ(crypto_utils_calculate_md5_value_for_file((dir / "locked").c_str(), digest), -8);
    }
}
