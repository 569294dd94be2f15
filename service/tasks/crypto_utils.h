// MD5 of strings and files, hexadecimal texts and their comparison (log tag "crypto_utils").
#pragma once

// Writes the 32 lower-case hexadecimal digits of `digest` (16 bytes) and a terminator into
// `out` (33 bytes). 0, or -2 for a null argument.
int crypto_utils_md5_value_change_into_md5_hex(const unsigned char* digest, char* out);

// MD5 of the text's bytes (without the terminator), as hexadecimal text (33 bytes) or as
// the 16-byte digest. 0, -2 for a null argument, -8 when the digest cannot be computed.
int crypto_utils_generate_md5_hex_for_string(const char* text, char* out);
int crypto_utils_generate_md5_value_for_string(const char* text, unsigned char* out);

// MD5 of a file's contents. 0; -2 for a null argument; -8 when the file cannot be read to
// its end (the output is then cleared, so a later comparison sees a mismatch).
int crypto_utils_calculate_md5_hex_for_file(const char* path, char* out);
int crypto_utils_calculate_md5_value_for_file(const char* path, unsigned char* out);

// 0 when `hex` (32 hexadecimal digits, either case) names `digest`; -2 when `hex` is not
// 32 characters long (or null); -8 for any other text, including non-hexadecimal digits.
int crypto_utils_compare_md5(const unsigned char* digest, const char* hex);
