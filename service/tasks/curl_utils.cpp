// HTTP transfers: GET, authenticated multipart upload, authenticated resumable download.
#include "tasks/curl_utils.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <mutex>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "c_handles.hpp"
#include "log_tags.h"
#include "result_codes.h"
#include "tasks/crypto_utils.h"
#include "util/kx_log.h"
#include "util/nimbo_globals.h"
#include "util/nimbo_utils.h"

namespace {

constexpr long kConnectTimeout = 30;
constexpr long kGetTimeout = 30;
constexpr long kUploadTimeout = 1800;
constexpr long kDownloadTimeout = 300;
constexpr long kDownloadBufferSize = 64 * 1024;
constexpr size_t kTokenInputMax = 1023;  // characters of "key&name&timestamp"
constexpr size_t kHeaderMax = 99;        // characters of one authentication header
// Free space a download never takes: the task, backup and resource files and the log
// must still be writable when a download has filled the rest.
constexpr uint64_t kDefaultDownloadReserve = 2u * 1024u * 1024u;
// Under a lock, not a 64-bit atomic: on 32-bit MIPS that would need libatomic at run time.
std::mutex g_reserve_mutex;
uint64_t g_download_reserve = kDefaultDownloadReserve;

uint64_t download_reserve() {
    std::lock_guard<std::mutex> lock(g_reserve_mutex);
    return g_download_reserve;
}

// libcurl's texts for the codes 0..96; obsolete codes and everything above read "Unknown error".
const char* const kCodeTexts[] = {
    "No error",
    "Unsupported protocol",
    "Failed initialization",
    "URL using bad/illegal format or missing URL",
    ("A requested feature, protocol or option was not found built-in in this libcurl due to a "
     "build-time decision."),
    "Couldn't resolve proxy name",
    "Couldn't resolve host name",
    "Couldn't connect to server",
    "Weird server reply",
    "Access denied to remote resource",
    "FTP: The server failed to connect to data port",  // 10
    "FTP: unknown PASS reply",
    "FTP: Accepting server connect has timed out",
    "FTP: unknown PASV reply",
    "FTP: unknown 227 response format",
    "FTP: can't figure out the host in the PASV response",
    "Error in the HTTP2 framing layer",
    "FTP: couldn't set file type",
    "Transferred a partial file",
    "FTP: couldn't retrieve (RETR failed) the specified file",
    "Unknown error",  // 20
    "Quote command returned error",
    "HTTP response code said error",
    "Failed writing received data to disk/application",
    "Unknown error",
    "Upload failed (at start/before it took off)",
    "Failed to open/read local data from file/application",
    "Out of memory",
    "Timeout was reached",
    "Unknown error",
    "FTP: command PORT failed",  // 30
    "FTP: command REST failed",
    "Unknown error",
    "Requested range was not delivered by the server",
    "Internal problem setting up the POST",
    "SSL connect error",
    "Couldn't resume download",
    "Couldn't read a file:// file",
    "LDAP: cannot bind",
    "LDAP: search failed",
    "Unknown error",  // 40
    "A required function in the library was not found",
    "Operation was aborted by an application callback",
    "A libcurl function was given a bad argument",
    "Unknown error",
    "Failed binding local connection end",
    "Unknown error",
    "Number of redirects hit maximum amount",
    "An unknown option was passed in to libcurl",
    "Malformed option provided in a setopt",
    "Unknown error",  // 50
    "Unknown error",
    "Server returned nothing (no headers, no data)",
    "SSL crypto engine not found",
    "Can not set SSL crypto engine as default",
    "Failed sending data to the peer",
    "Failure when receiving data from the peer",
    "Unknown error",
    "Problem with the local SSL certificate",
    "Couldn't use specified SSL cipher",
    "SSL peer certificate or SSH remote key was not OK",  // 60
    "Unrecognized or bad HTTP Content or Transfer-Encoding",
    "Invalid LDAP URL",
    "Maximum file size exceeded",
    "Requested SSL level failed",
    "Send failed since rewinding of the data stream failed",
    "Failed to initialise SSL crypto engine",
    "Login denied",
    "TFTP: File Not Found",
    "TFTP: Access Violation",
    "Disk full or allocation exceeded",  // 70
    "TFTP: Illegal operation",
    "TFTP: Unknown transfer ID",
    "Remote file already exists",
    "TFTP: No such user",
    "Conversion failed",
    "Caller must register CURLOPT_CONV_ callback options",
    "Problem with the SSL CA cert (path? access rights?)",
    "Remote file not found",
    "Error in the SSH layer",
    "Failed to shut down the SSL connection",  // 80
    "Socket not ready for send/recv",
    "Failed to load CRL file (path? access rights?, format?)",
    "Issuer check against peer certificate failed",
    "FTP: The server did not accept the PRET command.",
    "RTSP CSeq mismatch or invalid CSeq",
    "RTSP session error",
    "Unable to parse FTP file list",
    "Chunk callback failed",
    "The max connection limit is reached",
    "SSL public key does not match pinned public key",  // 90
    "SSL server certificate status verification FAILED",
    "Stream error in the HTTP/2 framing layer",
    "API function called from within callback",
    "An authentication function returned an error",
    "HTTP/3 error",
    "QUIC connection error",  // 96
};
constexpr unsigned kCodeTextCount = sizeof kCodeTexts / sizeof kCodeTexts[0];
static_assert(kCodeTextCount == 97, "one text per code 0..96");

void set_failure(HttpResult* result, int code) {
    if (code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE) {
        std::string ca = nimbo_globals_ca_file();
        LOG_E(TAG_CURL, "TLS: the server's certificate was not accepted (CA file %s)",
              ca.empty() ? "(none)" : ca.c_str());
    }
    result->code = code;
    result->http_status = 0;
    std::snprintf(result->message, sizeof result->message, "CURL Error[%d: %s]", code,
                  curlcode_to_strerror(static_cast<unsigned>(code)));
}

// The encoded URL, or the raw one when encoding fails. Owns the encoded text.
struct RequestUrl {
    explicit RequestUrl(const char* raw) : encoded(url_encode(raw)) {}
    const char* get(const char* raw) const { return encoded ? encoded.get() : raw; }
    CText encoded;
};

// The only schemes a transfer may use, also after a redirect (libcurl knows many more:
// gopher, dict, telnet, ftp, file... would send bytes of a server's choosing to any host
// and port, or read local files).
constexpr char kAllowedProtocols[] = "http,https";

// "http" or "https" (any case) before "://", or no scheme at all (libcurl then uses http).
// A scheme is what libcurl would take for one: a letter, then letters, digits, "+", "-",
// ".", then ":/".
bool scheme_allowed(const char* url) {
    size_t i = 0;
    if (std::isalpha(static_cast<unsigned char>(url[0])) == 0) return true;  // no scheme
    while (std::isalnum(static_cast<unsigned char>(url[i])) != 0 || url[i] == '+' || url[i] == '-' ||
           url[i] == '.')
        ++i;
    if (url[i] != ':' || url[i + 1] != '/') return true;  // "host:port/...": no scheme
    return (i == 4 && ::strncasecmp(url, "http", 4) == 0) || (i == 5 && ::strncasecmp(url, "https", 5) == 0);
}

// Every easy handle of the service is made here, restricted to http and https before any
// other option is set. A URL of another scheme is answered as an invalid URL (code 3)
// before anything is connected; null with `result` untouched when libcurl has no handle.
CurlPtr new_handle(const char* url, HttpResult* result) {
    if (url == nullptr || !scheme_allowed(url)) {
        LOG_E(TAG_CURL, "url scheme not allowed (http and https only): %s", url ? url : "(null)");
        set_failure(result, CURLE_URL_MALFORMAT);
        return CurlPtr{};
    }
    CurlPtr curl{curl_easy_init()};
    if (!curl) return curl;
#if LIBCURL_VERSION_NUM >= 0x075500  // 7.85.0: the bitmask options are deprecated
    CURLcode rc = curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, kAllowedProtocols);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl.get(), CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols);
#else
    CURLcode rc = curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(curl.get(), CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    // A URL without a scheme is http, never guessed from the host name ("ftp.example.com").
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl.get(), CURLOPT_DEFAULT_PROTOCOL, "http");
    if (rc != CURLE_OK) {
        // No transfer without the restriction.
        LOG_E(TAG_CURL, "restricting the transfer to %s failed: %s", kAllowedProtocols, curlcode_to_strerror(rc));
        return CurlPtr{};
    }
    return curl;
}

// Every transfer ends early, as aborted (code 42), when the service stops.
bool stop_requested() { return g_run_flag.load() == 0; }

int stop_progress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) { return stop_requested() ? 1 : 0; }

int upload_progress(void* userp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow) {
    if (stop_requested()) return 1;
    return curl_upload_progress_callback(userp, dltotal, dlnow, ultotal, ulnow);
}

// Options every transfer shares.
void apply_common(CURL* curl, const char* url, long timeout) {
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, stop_progress);
    curl_easy_setopt(curl, CURLOPT_URL, url);
    std::string ca = nimbo_globals_ca_file();
    if (ca.empty()) {
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    } else {
        curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());  // libcurl copies the text
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    }
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
    // The service ignores SIGPIPE itself; libcurl must not touch signals in worker threads.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_HEADER, 0L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeout);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeout);
}

// Collector for the C++ variants: the whole body, or a refusal when it exceeds the cap.
struct StringSink {
    std::string* out;
    size_t max_bytes;
    bool too_large;
    bool keep_head;  // a larger body keeps its first max_bytes instead of failing
};

size_t string_write_callback(char* data, size_t size, size_t count, void* userp) {
    auto* sink = static_cast<StringSink*>(userp);
    size_t n = size * count;
    if (sink->out->size() + n > sink->max_bytes) {
        if (!sink->keep_head) {
            sink->too_large = true;
            return 0;  // fails the transfer (code 23): a cut answer must not pass for a whole one
        }
        sink->out->append(static_cast<const char*>(data), sink->max_bytes - sink->out->size());
        return n;  // the rest is read and dropped
    }
    sink->out->append(static_cast<const char*>(data), n);
    return n;
}

// Performs a prepared transfer and fills the result.
void perform(CURL* curl, HttpResult* result) {
    CURLcode rc = curl_easy_perform(curl);
    if (rc != CURLE_OK) {
        LOG_E(TAG_CURL, "curl_easy_perform failed: %s", curlcode_to_strerror(rc));
        set_failure(result, rc);
        return;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    result->http_status = status;
}

HttpResult run_get(const char* url, curl_write_callback writer, void* sink) {
    HttpResult result{};
    CurlPtr curl = new_handle(url, &result);
    if (!curl) {
        if (result.code != 0) return result;
        LOG_E(TAG_CURL, "curl_easy_init() failed");
        result.code = CURL_UTILS_GET_SETUP_FAILED;
        return result;
    }
    RequestUrl request(url);
    apply_common(curl.get(), request.get(url), kGetTimeout);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, writer);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, sink);
    perform(curl.get(), &result);
    return result;
}

struct UploadProgress {
    double last_logged_percent;
};

// Signs the transfer of the file `name` at `timestamp` for the server: `token` (33 bytes)
// receives the MD5 of "key&name&timestamp" in hexadecimal.
enum class Signing { ok, too_long, failed };
Signing sign_transfer(const char* key, const char* name, const char* timestamp, char* token) {
    char token_input[kTokenInputMax + 1];
    int len = std::snprintf(token_input, sizeof token_input, "%s&%s&%s", key, name, timestamp);
    if (len < 0 || static_cast<size_t>(len) > kTokenInputMax) return Signing::too_long;
    if (crypto_utils_generate_md5_hex_for_string(token_input, token) != 0) return Signing::failed;
    LOG_V(TAG_CURL, "filename: %s, timestamp: %s, token_input: %s, token: %s", name, timestamp, token_input,
          token);
    return Signing::ok;
}

HttpResult run_post(const char* url, const char* path, const char* name, const char* key,
                    curl_write_callback writer, void* sink) {
    HttpResult result{};
    UploadProgress progress{-10.0};
    CurlPtr curl = new_handle(url, &result);
    if (!curl) {
        if (result.code == 0) result.code = CURL_UTILS_SETUP_FAILED;
        return result;
    }
    TimeInfo now = nimbo_utils_get_current_timeinfo(1);
    char token[33];
    Signing signing = sign_transfer(key, name, now.timestamp_str, token);
    if (signing != Signing::ok) {
        if (signing == Signing::too_long) LOG_E(TAG_CURL, "file name too long to sign: %s", name);
        result.code = CURL_UTILS_SETUP_FAILED;
        return result;
    }

    MimePtr form{curl_mime_init(curl.get())};
    SlistPtr headers{curl_slist_append(nullptr, "Expect:")};
    if (!form || !headers) {
        result.code = CURL_UTILS_SETUP_FAILED;
        return result;
    }
    struct Field {
        const char* name;
        const char* value;
    };
    curl_mimepart* part = curl_mime_addpart(form.get());
    curl_mime_name(part, "file");
    curl_mime_filedata(part, path);
    for (const Field& f : {Field{"filename", name}, Field{"token", token}, Field{"timestamp", now.timestamp_str}}) {
        part = curl_mime_addpart(form.get());
        curl_mime_name(part, f.name);
        curl_mime_data(part, f.value, CURL_ZERO_TERMINATED);
    }

    RequestUrl request(url);
    apply_common(curl.get(), request.get(url), kUploadTimeout);
    curl_easy_setopt(curl.get(), CURLOPT_POST, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_MIMEPOST, form.get());
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, writer);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, sink);
    curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl.get(), CURLOPT_XFERINFOFUNCTION, upload_progress);
    curl_easy_setopt(curl.get(), CURLOPT_XFERINFODATA, &progress);
    perform(curl.get(), &result);
    curl.reset();  // the handle goes before the form and the header list it uses
    return result;
}

// The answer being written into a download: decides per response whether its body belongs
// in the file.
struct DownloadSink {
    std::FILE* file;
    DownloadTask* task;
    CURL* curl;
    long long offset;          // bytes on disk before the attempt
    bool decided;              // the current response's body has been judged
    bool write_body;           // it goes into the file
    bool range_refused;        // the server answered a range other than the one asked for
    bool has_content_range;
    long long range_start;
    long long file_end = 0;  // bytes in the file now
    MdCtxPtr md5;            // MD5 of the file so far, while it is written from byte 0
    bool too_long = false;   // the body went past the expected size of the file

    // Back to "nothing judged yet", for a new request from byte `from`.
    void restart(long long from) {
        offset = from;
        file_end = from;
        decided = write_body = range_refused = has_content_range = false;
        range_start = -1;
        md5.reset();
    }
};

// Bytes of a chunk that may go into the file: none past the expected size (the file's
// own bound) and none that would leave less free space than the reserve.
size_t room_for(DownloadSink* sink, size_t n) {
    const uint64_t limit = sink->task->expected_size;
    if (limit > 0) {
        const uint64_t end = sink->file_end > 0 ? static_cast<uint64_t>(sink->file_end) : 0;
        const uint64_t left = end < limit ? limit - end : 0;
        if (n > left) {
            LOG_E(TAG_CURL, "[%s] the server sends more than the %llu bytes of the file",
                  sink->task->file_path, static_cast<unsigned long long>(limit));
            sink->too_long = true;
            n = static_cast<size_t>(left);
        }
    }
    struct statvfs vfs {};
    if (n > 0 && ::fstatvfs(fileno(sink->file), &vfs) == 0) {
        const uint64_t free = static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
        const uint64_t reserve = download_reserve();
        if (free < reserve || free - reserve < n) {
            LOG_E(TAG_CURL, "[%s] %llu bytes free, %llu kept for the service's own files: download stopped",
                  sink->task->file_path, static_cast<unsigned long long>(free),
                  static_cast<unsigned long long>(reserve));
            n = 0;  // a failed write (code 23): the task ends
        }
    }
    return n;
}

size_t download_header_callback(char* data, size_t size, size_t count, void* userp) {
    auto* sink = static_cast<DownloadSink*>(userp);
    size_t n = size * count;
    std::string line(data, n);
    if (line.compare(0, 5, "HTTP/") == 0) {  // a new response (after 100 Continue, say)
        sink->decided = false;
        sink->has_content_range = false;
        sink->range_start = -1;
    } else if (strncasecmp(line.c_str(), "Content-Range:", 14) == 0) {
        long long start = -1;
        if (std::sscanf(line.c_str() + 14, " bytes %lld-", &start) == 1) {
            sink->has_content_range = true;
            sink->range_start = start;
        }
    }
    return n;
}

// Empties the destination so that it is written again from byte 0.
bool empty_file(DownloadSink* sink) {
    std::fflush(sink->file);
    if (::ftruncate(fileno(sink->file), 0) != 0) {
        LOG_E(TAG_CURL, "[%s] truncate failed: %s", sink->task->file_path, std::strerror(errno));
        return false;
    }
    sink->task->file_stat.st_size = 0;
    return true;
}

// Judges the first body bytes of a response: a 206 must start where the file ends, a 200
// replaces the file from byte 0, anything else (error pages, 416) never reaches the file.
bool judge_response(DownloadSink* sink) {
    long status = 0;
    curl_easy_getinfo(sink->curl, CURLINFO_RESPONSE_CODE, &status);
    sink->decided = true;
    sink->write_body = false;
    if (status == 206) {
        if (!sink->has_content_range || sink->range_start != sink->offset) {
            LOG_E(TAG_CURL, "[%s] asked for the bytes from %lld, the server sent from %lld",
                  sink->task->file_path, sink->offset, sink->range_start);
            sink->range_refused = true;
            return false;
        }
        sink->write_body = true;
    } else if (status == 200) {
        if (sink->offset > 0) {
            // The server ignored the range and sends the whole file: start the file over.
            LOG_W(TAG_CURL, "[%s] the server sent the whole file, restarting from byte 0",
                  sink->task->file_path);
            if (!empty_file(sink)) return false;
            sink->offset = 0;
            sink->file_end = 0;
        }
        sink->write_body = true;
    }
    // A body written from byte 0 is hashed as it arrives, so that the MD5 check needs no
    // second read of the file. A resumed body is not: the driver reads the file then.
    sink->md5.reset();
    const char* md5 = sink->task->expected_md5;
    if (sink->write_body && sink->offset == 0 && md5 != nullptr && md5[0] != '\0') {
        MdCtxPtr ctx{EVP_MD_CTX_new()};
        if (ctx && EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) == 1) sink->md5 = std::move(ctx);
    }
    return true;
}

// Progress of a download counts only bytes that went into the file: a response's headers,
// an error page or a refused range are no progress (reported as progress, they reset the
// driver's attempt count, and a server that always fails would be retried for ever).
int download_progress(void* userp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow) {
    if (stop_requested()) return 1;
    auto* sink = static_cast<DownloadSink*>(userp);
    if (!sink->decided || !sink->write_body || sink->file_end <= sink->offset || sink->too_long) return 0;
    // Nor is an answer that announces more than the file: it cannot end well.
    const uint64_t limit = sink->task->expected_size;
    if (limit > 0 && dltotal > 0 && static_cast<uint64_t>(sink->offset) + static_cast<uint64_t>(dltotal) > limit)
        return 0;
    return curl_download_progress_callback(sink->task, dltotal, dlnow, ultotal, ulnow);
}

}  // namespace

int curl_utils_download_task_init(DownloadTask* task, const char* url, const char* file_path,
                                  DownloadCallback callback, void* context, uint64_t expected_size,
                                  const char* expected_md5) {
    if (task == nullptr) return NIMBO_ERR_INVALID;
    std::memset(task, 0, sizeof *task);
    if (url == nullptr || file_path == nullptr || expected_md5 == nullptr) return NIMBO_ERR_INVALID;
    size_t url_len = std::strlen(url);
    size_t path_len = std::strlen(file_path);
    if (url_len >= sizeof task->url) {
        LOG_E(TAG_CURL, "download URL longer than %zu characters refused", sizeof task->url - 1);
        return NIMBO_ERR_INVALID;
    }
    if (path_len >= sizeof task->file_path) {
        LOG_E(TAG_CURL, "download path longer than %zu characters refused", sizeof task->file_path - 1);
        return NIMBO_ERR_INVALID;
    }
    std::memcpy(task->url, url, url_len + 1);
    std::memcpy(task->file_path, file_path, path_len + 1);
    task->callback = callback;
    task->callback_context = context;
    task->expected_size = expected_size;
    task->expected_md5 = expected_md5;
    return 0;
}

char* url_encode(const char* text) {
    if (text == nullptr) return nullptr;
    auto keep = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
               c == '.' || c == '/' || c == ':' || c == '_' || c == '~';
    };
    size_t len = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) len += keep(*p) ? 1 : 3;
    char* out = static_cast<char*>(std::malloc(len + 1));
    if (out == nullptr) return nullptr;
    static const char kHex[] = "0123456789ABCDEF";
    char* w = out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (keep(*p)) {
            *w++ = static_cast<char>(*p);
        } else {
            *w++ = '%';
            *w++ = kHex[*p >> 4];
            *w++ = kHex[*p & 0x0f];
        }
    }
    *w = '\0';
    return out;
}

const char* curlcode_to_strerror(unsigned int code) {
    return code < kCodeTextCount ? kCodeTexts[code] : "Unknown error";
}

size_t write_callback(char* data, size_t size, size_t count, void* userp) {
    auto* buf = static_cast<ResponseBuffer*>(userp);
    size_t n = size * count;
    if (buf->capacity == 0 || buf->size >= buf->capacity - 1) {
        std::fputs("Response too large for buffer\n", stderr);
        return n;
    }
    size_t room = buf->capacity - 1 - buf->size;
    size_t take = n < room ? n : room;
    std::memcpy(buf->data + buf->size, data, take);
    buf->size += take;
    buf->data[buf->size] = '\0';
    return n;  // an oversized body is cut, not failed
}

size_t curl_download_write_data(char* data, size_t size, size_t count, void* userp) {
    auto* sink = static_cast<DownloadSink*>(userp);
    if (!sink->decided && !judge_response(sink)) return 0;  // stops the transfer
    if (!sink->write_body) return count;                    // dropped: not part of the file
    const size_t n = size * count;
    const size_t take = room_for(sink, n);
    size_t written = take > 0 ? std::fwrite(data, 1, take, sink->file) : 0;
    sink->file_end += static_cast<long long>(written);
    if (sink->md5 && EVP_DigestUpdate(sink->md5.get(), data, written) != 1) sink->md5.reset();
    return written == n ? count : 0;  // a short write stops the transfer
}

int curl_download_progress_callback(void* userp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t) {
    auto* task = static_cast<DownloadTask*>(userp);
    if (task == nullptr || dltotal <= 0) return 0;
    int64_t offset = static_cast<int64_t>(task->file_stat.st_size);
    double percent =
        static_cast<double>(offset + dlnow) / static_cast<double>(offset + dltotal) * 100.0;
    if (percent - task->last_logged_percent > 5 || (percent >= 100 && task->last_logged_percent < 100)) {
        LOG_V(TAG_CURL, "[%s] Download progress: %3.2f%%", task->file_path, percent);
        task->last_logged_percent = percent;
    }
    time_t now = time(nullptr);
    if (percent - task->last_reported_percent > 10 || now - task->last_report_time >= 60 ||
        (percent >= 100 && task->last_reported_percent < 100)) {
        if (task->callback != nullptr) {
            char text[24];
            std::snprintf(text, sizeof text, "%3.2f%%", percent);
            task->callback(task->callback_context, "1", text);
        }
        task->last_reported_percent = percent;
        task->last_report_time = now;
    }
    return 0;
}

int curl_upload_progress_callback(void* userp, curl_off_t, curl_off_t, curl_off_t ultotal, curl_off_t ulnow) {
    auto* progress = static_cast<UploadProgress*>(userp);
    if (progress == nullptr || ultotal <= 0) return 0;
    double percent = static_cast<double>(ulnow) / static_cast<double>(ultotal) * 100.0;
    if (percent - progress->last_logged_percent > 5 || (percent >= 100 && progress->last_logged_percent < 100)) {
        LOG_V(TAG_CURL, "Upload progress: %3.2f%%", percent);
        progress->last_logged_percent = percent;
    }
    return 0;
}

HttpResult curl_utils_perform_get_request(const char* url, char* buffer, size_t capacity, size_t* count) {
    if (count) *count = 0;
    if (url == nullptr || buffer == nullptr || capacity == 0) {
        HttpResult bad{};
        set_failure(&bad, CURLE_BAD_FUNCTION_ARGUMENT);
        return bad;
    }
    buffer[0] = '\0';
    ResponseBuffer body{buffer, 0, capacity};
    HttpResult result = run_get(url, write_callback, &body);
    if (result.code == 0) {
        if (body.size > 0 && buffer[body.size - 1] == '\n') buffer[body.size - 1] = '\0';
        LOG_I(TAG_CURL, "url: %s, response: %s", url, buffer);
    }
    if (count) *count = body.size;
    return result;
}

HttpResult curl_utils_post_file(const char* url, const char* path, const char* name, const char* key,
                                char* buffer, size_t capacity, size_t* count) {
    if (count) *count = 0;
    if (url == nullptr || path == nullptr || name == nullptr || key == nullptr || buffer == nullptr ||
        capacity == 0) {
        HttpResult bad{};
        set_failure(&bad, CURLE_BAD_FUNCTION_ARGUMENT);
        return bad;
    }
    buffer[0] = '\0';
    ResponseBuffer body{buffer, 0, capacity};
    HttpResult result = run_post(url, path, name, key, write_callback, &body);
    if (result.code == 0) {
        if (body.size > 0 && buffer[body.size - 1] == '\n') buffer[body.size - 1] = '\0';
        LOG_D(TAG_CURL, "url: %s, response: %s", url, buffer);
    }
    if (count) *count = body.size;
    return result;
}

HttpResult curl_utils_download_file(DownloadTask* task, const char* key) {
    HttpResult result{};
    if (task == nullptr || key == nullptr) {
        set_failure(&result, CURLE_BAD_FUNCTION_ARGUMENT);
        return result;
    }
    task->md5_known = 0;
    CurlPtr curl = new_handle(task->url, &result);
    if (!curl) {
        if (result.code != 0) return result;  // refused before anything was opened
        LOG_E(TAG_CURL, "Failed to initialize libcurl");
        result.code = CURL_UTILS_SETUP_FAILED;
        return result;
    }
    // Appended to (the request resumes from its size), never through a symbolic link.
    nimbo::NofollowRefusal refusal = nimbo::NofollowRefusal::none;
    UniqueFd fd{
        nimbo::open_for_write(task->file_path, O_WRONLY | O_APPEND | O_CREAT, 0644, TAG_CURL, &refusal)};
    FilePtr file{fd ? ::fdopen(fd.get(), "ab") : nullptr};
    if (file) (void)fd.release();
    if (!file) {
        LOG_E(TAG_CURL, "Failed to open file %s", task->file_path);
        // A link or a non-file at the path, or a link in place of its folder, will not go
        // away by itself: a local write error.
        if (refusal == nimbo::NofollowRefusal::link || refusal == nimbo::NofollowRefusal::not_regular ||
            refusal == nimbo::NofollowRefusal::folder)
            set_failure(&result, CURLE_WRITE_ERROR);
        else
            result.code = CURL_UTILS_SETUP_FAILED;
        return result;
    }
    if (::fstat(fileno(file.get()), &task->file_stat) != 0) std::memset(&task->file_stat, 0, sizeof task->file_stat);
    const long long offset = static_cast<long long>(task->file_stat.st_size);

    TimeInfo now = nimbo_utils_get_current_timeinfo(2);
    std::string url_copy(task->url);
    const char* name = nimbo_utils_get_filename_from_URL(url_copy.data());
    if (name == nullptr) name = "";

    // The server checks these three values: a cut value would only fail there, later.
    char h_name[kHeaderMax + 1], h_time[kHeaderMax + 1], h_token[kHeaderMax + 1];
    char token[33];
    int n1 = std::snprintf(h_name, sizeof h_name, "filename: %s", name);
    Signing signing = n1 < 0 || static_cast<size_t>(n1) > kHeaderMax
                          ? Signing::too_long
                          : sign_transfer(key, name, now.timestamp_str, token);
    if (signing == Signing::too_long) {
        LOG_E(TAG_CURL, "file name too long for its header: %s", name);
        set_failure(&result, CURLE_URL_MALFORMAT);
        return result;
    }
    if (signing == Signing::failed) {
        result.code = CURL_UTILS_SETUP_FAILED;
        return result;
    }
    std::snprintf(h_time, sizeof h_time, "timestamp: %s", now.timestamp_str);
    std::snprintf(h_token, sizeof h_token, "token: %s", token);
    SlistPtr headers;
    for (const char* h : {h_name, h_time, h_token}) {
        curl_slist* grown = curl_slist_append(headers.get(), h);
        if (grown == nullptr) {
            result.code = CURL_UTILS_SETUP_FAILED;
            return result;
        }
        (void)headers.release();
        headers.reset(grown);
    }

    DownloadSink sink{file.get(), task, curl.get(), offset, false, false, false, false, -1, offset, MdCtxPtr{}};
    char range[32];
    std::snprintf(range, sizeof range, "%lld-", offset);

    RequestUrl request(task->url);
    apply_common(curl.get(), request.get(task->url), kDownloadTimeout);
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, download_header_callback);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, &sink);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, curl_download_write_data);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl.get(), CURLOPT_XFERINFOFUNCTION, download_progress);
    curl_easy_setopt(curl.get(), CURLOPT_XFERINFODATA, &sink);
    // Larger reads than libcurl's 16 KiB default: a quarter of the system calls and
    // callbacks per byte, for 64 KiB held only while a download runs.
    curl_easy_setopt(curl.get(), CURLOPT_BUFFERSIZE, kDownloadBufferSize);
    // The range is asked for by hand so that every answer is judged here (see judge_response).
    if (offset > 0) curl_easy_setopt(curl.get(), CURLOPT_RANGE, range);

    CURLcode rc = curl_easy_perform(curl.get());
    if (rc == CURLE_WRITE_ERROR && sink.range_refused) {
        // A misplaced range is never appended: the attempt asks for the whole file instead,
        // as when the server ignores the range.
        LOG_W(TAG_CURL, "[%s] restarting from byte 0", task->file_path);
        if (empty_file(&sink)) {
            sink.restart(0);
            curl_easy_setopt(curl.get(), CURLOPT_RANGE, nullptr);
            rc = curl_easy_perform(curl.get());
        }
        if (rc == CURLE_WRITE_ERROR && sink.range_refused) rc = CURLE_RANGE_ERROR;
    }
    // More than the file's size is a failed attempt (retried), not a local write error.
    if (rc == CURLE_WRITE_ERROR && sink.too_long) rc = CURLE_FILESIZE_EXCEEDED;
    if (rc != CURLE_OK) {
        LOG_E(TAG_CURL, "curl_easy_perform failed: %s", curlcode_to_strerror(rc));
        set_failure(&result, rc);
    } else {
        curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &result.http_status);
    }
    std::fflush(file.get());
    bool file_answer = rc == CURLE_OK && (result.http_status == 200 || result.http_status == 206 ||
                                          result.http_status == 416);
    if (rc == CURLE_OK && !file_answer) {
        // Nothing of an error answer belongs in the file: make sure it ends where it did.
        if (::ftruncate(fileno(file.get()), static_cast<off_t>(sink.offset)) != 0)
            LOG_E(TAG_CURL, "[%s] truncate failed: %s", task->file_path, std::strerror(errno));
    }
    if (::fsync(fileno(file.get())) != 0 && errno != EINVAL)
        LOG_E(TAG_CURL, "[%s] fsync failed: %s", task->file_path, std::strerror(errno));
    if (rc == CURLE_OK && (result.http_status == 200 || result.http_status == 206) && sink.md5) {
        unsigned int len = 0;
        if (EVP_DigestFinal_ex(sink.md5.get(), task->md5, &len) == 1 && len == sizeof task->md5) task->md5_known = 1;
    }
    curl.reset();  // the handle goes before the header list it uses
    return result;
}

namespace curl_utils {

uint64_t set_download_reserve(uint64_t bytes) {
    std::lock_guard<std::mutex> lock(g_reserve_mutex);
    uint64_t previous = g_download_reserve;
    g_download_reserve = bytes;
    return previous;
}

HttpResult get(const char* url, std::string* body, size_t max_bytes) {
    HttpResult result{};
    if (url == nullptr || body == nullptr) {
        set_failure(&result, CURLE_BAD_FUNCTION_ARGUMENT);
        return result;
    }
    body->clear();
    StringSink sink{body, max_bytes, false, false};
    result = run_get(url, string_write_callback, &sink);
    if (sink.too_large) LOG_E(TAG_CURL, "url: %s, response larger than %zu bytes refused", url, max_bytes);
    if (result.code == 0) {
        if (!body->empty() && body->back() == '\n') body->pop_back();
        LOG_I(TAG_CURL, "url: %s, response: %s", url, body->c_str());
    }
    return result;
}

bool download_name_fits(const char* url) {
    if (url == nullptr) return false;
    const char* slash = std::strrchr(url, '/');
    const char* name = slash ? slash + 1 : url;
    const size_t n = std::strlen(name);
    const size_t stamp_max = 20;  // decimal seconds of a 64-bit time
    return std::strlen("filename: ") + n <= kHeaderMax &&
           std::strlen(CURL_UTILS_DOWNLOAD_KEY) + 1 + n + 1 + stamp_max <= kTokenInputMax;
}

HttpResult post_file(const char* url, const char* path, const char* name, const char* key, std::string* answer,
                     size_t max_bytes) {
    HttpResult result{};
    if (url == nullptr || path == nullptr || name == nullptr || key == nullptr || answer == nullptr) {
        set_failure(&result, CURLE_BAD_FUNCTION_ARGUMENT);
        return result;
    }
    answer->clear();
    StringSink sink{answer, max_bytes, false, true};
    result = run_post(url, path, name, key, string_write_callback, &sink);
    if (result.code == 0) {
        if (answer->size() < max_bytes && !answer->empty() && answer->back() == '\n') answer->pop_back();
        LOG_D(TAG_CURL, "url: %s, response: %s", url, answer->c_str());
    }
    return result;
}

}  // namespace curl_utils
