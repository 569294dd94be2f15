// A small HTTP/1.1 server for the transfer benchmarks: serves files with byte ranges through
// sendfile(2) and swallows uploads, one thread and one request per connection. The same
// server answers our side and the baseline tool, so neither pays for the other's server.
//
//   bench_httpd --port-file FILE --files DIR [--log FILE] [--port N]
//
//   GET|HEAD /<any>/<name>   the file DIR/<name>; "Range: bytes=N-" gives 206 (416 past the end)
//   POST <any>               the body is read and dropped; {"success":true,"desc":"success"}
//
// Every answered request appends one line to --log:
//   METHOD PATH STATUS RANGE_START BODY_BYTES_SENT_OR_RECEIVED
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <strings.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "c_handles.hpp"

namespace {

std::string g_files;
std::mutex g_log_mutex;
FilePtr g_log;

bool send_all(int fd, const char* data, size_t n) {
    while (n > 0) {
        ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void log_request(const std::string& method, const std::string& path, int status, long long start, long long bytes) {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    if (!g_log) return;
    std::fprintf(g_log.get(), "%s %s %d %lld %lld\n", method.c_str(), path.c_str(), status, start, bytes);
    std::fflush(g_log.get());
}

// Header value of `name` in the request head, or "".
std::string header(const std::string& head, const char* name) {
    size_t pos = 0;
    size_t nlen = std::strlen(name);
    while ((pos = head.find("\r\n", pos)) != std::string::npos) {
        pos += 2;
        if (head.size() - pos > nlen && strncasecmp(head.c_str() + pos, name, nlen) == 0 && head[pos + nlen] == ':') {
            size_t v = pos + nlen + 1;
            while (v < head.size() && head[v] == ' ') ++v;
            size_t end = head.find("\r\n", v);
            return head.substr(v, end == std::string::npos ? std::string::npos : end - v);
        }
    }
    return {};
}

void answer_simple(int fd, int status, const char* reason, const std::string& body, const char* extra = "") {
    char head[512];
    int n = std::snprintf(head, sizeof head,
                          "HTTP/1.1 %d %s\r\nContent-Type: application/json\r\nContent-Length: %zu\r\n%s"
                          "Connection: close\r\n\r\n",
                          status, reason, body.size(), extra);
    if (send_all(fd, head, static_cast<size_t>(n))) send_all(fd, body.data(), body.size());
}

void serve_file(int fd, const std::string& method, const std::string& path, const std::string& head) {
    size_t slash = path.rfind('/');
    std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    size_t query = name.find('?');
    if (query != std::string::npos) name.resize(query);
    std::string full = g_files + "/" + name;
    UniqueFd file{name.empty() || name[0] == '.' ? -1 : ::open(full.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat st {};
    if (!file || ::fstat(file.get(), &st) != 0) {
        answer_simple(fd, 404, "Not Found", "{\"code\":404}");
        log_request(method, path, 404, 0, 0);
        return;
    }
    long long size = st.st_size;
    long long start = 0;
    int status = 200;
    std::string range = header(head, "Range");
    if (!range.empty() && std::sscanf(range.c_str(), "bytes=%lld-", &start) == 1) {
        if (start >= size) {
            char extra[64];
            std::snprintf(extra, sizeof extra, "Content-Range: bytes */%lld\r\n", size);
            answer_simple(fd, 416, "Range Not Satisfiable", "{\"code\":416}", extra);
            log_request(method, path, 416, start, 0);
            return;
        }
        status = 206;
    }
    long long length = size - start;
    char out[512];
    int n;
    if (status == 206)
        n = std::snprintf(out, sizeof out,
                          "HTTP/1.1 206 Partial Content\r\nContent-Type: application/octet-stream\r\n"
                          "Accept-Ranges: bytes\r\nContent-Length: %lld\r\nContent-Range: bytes %lld-%lld/%lld\r\n"
                          "Connection: close\r\n\r\n",
                          length, start, size - 1, size);
    else
        n = std::snprintf(out, sizeof out,
                          "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nAccept-Ranges: bytes\r\n"
                          "Content-Length: %lld\r\nConnection: close\r\n\r\n",
                          length);
    long long sent = 0;
    if (send_all(fd, out, static_cast<size_t>(n)) && method != "HEAD") {
        off_t offset = static_cast<off_t>(start);
        while (sent < length) {
            ssize_t w = ::sendfile(fd, file.get(), &offset, static_cast<size_t>(std::min(length - sent, 1LL << 30)));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) break;
            sent += w;
        }
    }
    log_request(method, path, status, start, sent);
}

void swallow_upload(int fd, const std::string& path, const std::string& head, std::string rest) {
    if (strcasecmp(header(head, "Expect").c_str(), "100-continue") == 0) {
        static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
        send_all(fd, kContinue, sizeof kContinue - 1);
    }
    long long length = std::atoll(header(head, "Content-Length").c_str());
    long long got = static_cast<long long>(rest.size());
    static thread_local char buf[256 * 1024];
    while (got < length) {
        ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += r;
    }
    int status = got >= length ? 200 : 400;
    answer_simple(fd, status, status == 200 ? "OK" : "Bad Request",
                  status == 200 ? "{\"success\":true,\"desc\":\"success\"}" : "{\"success\":false,\"desc\":\"short\"}");
    log_request("POST", path, status, 0, got);
}

void handle(int fd) {
    UniqueFd conn{fd};
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string data;
    char buf[8192];
    size_t end;
    while ((end = data.find("\r\n\r\n")) == std::string::npos) {
        ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || data.size() > 65536) return;
        data.append(buf, static_cast<size_t>(r));
    }
    std::string head = data.substr(0, end + 2);
    std::string rest = data.substr(end + 4);
    size_t sp1 = head.find(' ');
    size_t sp2 = sp1 == std::string::npos ? sp1 : head.find(' ', sp1 + 1);
    if (sp2 == std::string::npos) return;
    std::string method = head.substr(0, sp1);
    std::string path = head.substr(sp1 + 1, sp2 - sp1 - 1);
    if (method == "GET" || method == "HEAD")
        serve_file(fd, method, path, head);
    else if (method == "POST")
        swallow_upload(fd, path, head, std::move(rest));
    else
        answer_simple(fd, 405, "Method Not Allowed", "{}");
    ::shutdown(fd, SHUT_WR);
}

}  // namespace

int main(int argc, char** argv) {
    std::string port_file;
    int port = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        if (opt == "--port-file") port_file = argv[i + 1];
        else if (opt == "--files") g_files = argv[i + 1];
        else if (opt == "--log") g_log.reset(std::fopen(argv[i + 1], "a"));
        else if (opt == "--port") port = std::atoi(argv[i + 1]);
    }
    ::signal(SIGPIPE, SIG_IGN);
    UniqueFd listener{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    int one = 1;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener.get(), 64) != 0) {
        std::perror("bind/listen");
        return 1;
    }
    socklen_t alen = sizeof addr;
    ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &alen);
    if (!port_file.empty()) {
        std::string tmp = port_file + ".tmp";
        {
            FilePtr f{std::fopen(tmp.c_str(), "w")};
            if (!f) return 1;
            std::fprintf(f.get(), "%d\n", ntohs(addr.sin_port));
        }
        std::rename(tmp.c_str(), port_file.c_str());
    }
    for (;;) {
        int fd = ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            std::perror("accept");
            return 1;
        }
        std::thread(handle, fd).detach();
    }
}
