// Blocking HTTP transfers on libcurl's easy interface (log tag "curl_utils"): a GET into a
// caller's buffer, an authenticated multipart upload of one file, and an authenticated,
// resumable download that appends to a local file. Every call owns its own easy handle.
// The server is verified against the CA file of nimbo_globals_set_ca_file, when one is set.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <time.h>

#include <curl/curl.h>

#include <string>

// Signing keys of the transfers (32 lower-case hexadecimal characters). A deployment sets its
// own at build time: cmake -DNIMBO_DOWNLOAD_KEY=... -DNIMBO_UPLOAD_KEY=...
#ifndef CURL_UTILS_DOWNLOAD_KEY
#define CURL_UTILS_DOWNLOAD_KEY "5f1c0a9e7b3d42e8a6c4f09b18d27e63"
#endif
#ifndef CURL_UTILS_UPLOAD_KEY
#define CURL_UTILS_UPLOAD_KEY "0d7e93b2c6a54f18e2b97c40a35f6d1e"
#endif

// Set-up failure codes of the transfers (no easy handle, destination not openable).
#define CURL_UTILS_GET_SETUP_FAILED 2
#define CURL_UTILS_SETUP_FAILED 97

// Result of one transfer.
typedef struct {
    int32_t code;       // 0 when the transfer completed; libcurl's code or a set-up code
    char message[256];  // "CURL Error[%d: %s]" when the transfer failed, else empty
    long http_status;   // the response code when code is 0, else 0
} HttpResult;

// Body collector of GET and POST: always holds a terminated string.
typedef struct {
    char* data;
    size_t size;      // bytes stored so far
    size_t capacity;  // bytes of `data`
} ResponseBuffer;

// Progress and failure reports of a download: status "1" (running, message a percentage or
// a state) or "3" (failed, message the reason). `context` is the task's callback_context
// (the worker's record).
typedef void (*DownloadCallback)(void* context, const char* status, const char* message);

// One file download, shared with the download driver. Zero it, then fill url, file_path,
// callback, expected_size and expected_md5 (curl_utils_download_task_init does all that).
typedef struct {
    char url[256];
    char file_path[512];
    struct stat file_stat;         // destination before the attempt; st_size = resume offset
    double last_logged_percent;
    double last_reported_percent;
    time_t last_report_time;
    DownloadCallback callback;     // may be null
    void* callback_context;        // handed to the callback
    uint64_t expected_size;        // bytes, for the free-space check
    const char* expected_md5;      // 32 hexadecimal digits, or "" for no check
    // Set by a transfer that wrote the whole file from byte 0 in one answer (hashing it as
    // it arrived): the file's MD5, so that the check needs no second read of the file.
    int md5_known;
    unsigned char md5[16];
} DownloadTask;

// Zeroes `task` and fills it (`context` goes to every call of `callback`). -2 when a text is null or does not fit its field (such a
// value is refused, never cut), 0 otherwise. `expected_md5` must outlive the task.
int curl_utils_download_task_init(DownloadTask* task, const char* url, const char* file_path,
                                  DownloadCallback callback, void* context, uint64_t expected_size,
                                  const char* expected_md5);

// Percent-encodes every byte except letters, digits and "-./:_~". A new heap text (free
// it), "" for "", null for null or when memory runs out.
char* url_encode(const char* text);

// The text of a libcurl result code; stable whatever libcurl release is linked.
const char* curlcode_to_strerror(unsigned int code);

// GET into `buffer` (`capacity` bytes, terminated). A body longer than capacity - 1 is cut
// and reported on stderr. One trailing line feed is removed. `count` (may be null)
// receives the bytes stored. Code 2 when no easy handle can be created.
HttpResult curl_utils_perform_get_request(const char* url, char* buffer, size_t capacity, size_t* count);

// Multipart POST of the file at `path` with the fields "file", "filename", "token" and
// "timestamp"; the token is the MD5 of "key&name&timestamp". The answer goes to `buffer`
// as for GET. Code 97 when no easy handle can be created or the name is too long to sign.
HttpResult curl_utils_post_file(const char* url, const char* path, const char* name, const char* key,
                                char* buffer, size_t capacity, size_t* count);

// Downloads task->url, appending to task->file_path from its current size (a Range
// request). Only a 200, 206 or 416 answer adds bytes: an error page never stays in the
// file. A 206 that starts elsewhere than asked is never appended: the file is emptied and
// the whole file asked for at once. The file never grows past task->expected_size (when
// not 0): a longer body stops the transfer with code 63. Nor does it take the free-space
// reserve (see set_download_reserve): code 23. Code 97 when no easy handle can be created
// or the file cannot be opened; code 3 when the file name does not fit its authentication
// header; code 33 when the second request too gets a misplaced range.
HttpResult curl_utils_download_file(DownloadTask* task, const char* key);

// libcurl callbacks.
size_t write_callback(char* data, size_t size, size_t count, void* response_buffer);
size_t curl_download_write_data(char* data, size_t size, size_t count, void* sink);
int curl_download_progress_callback(void* task, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                                    curl_off_t ulnow);
int curl_upload_progress_callback(void* record, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                                  curl_off_t ulnow);

namespace curl_utils {

// Free bytes of the destination's file system that a download leaves untouched (2 MiB
// unless set). Returns the previous value.
uint64_t set_download_reserve(uint64_t bytes);

// True when the download of `url` can be signed: the file name (after the URL's last "/")
// fits its "filename" header and the token input. A name that does not fit is refused by
// curl_utils_download_file (code 3), never cut.
bool download_name_fits(const char* url);

// A GET whose whole body is kept in `body` up to `max_bytes`; a larger body fails the
// transfer (code 23) instead of being cut. The trailing line feed is removed.
HttpResult get(const char* url, std::string* body, size_t max_bytes);

// The upload of curl_utils_post_file with the answer kept in `answer`: the whole answer,
// or its first `max_bytes` when it is longer (the rest is read and dropped; a kept answer
// of exactly `max_bytes` may have been cut). The trailing line feed of a shorter answer
// is removed.
HttpResult post_file(const char* url, const char* path, const char* name, const char* key,
                     std::string* answer, size_t max_bytes);

}  // namespace curl_utils
