// The control channel of the test machine (the mipsel guest booted by scripts/mips-vm.sh):
// runs shell commands for the host, one command per TCP connection.
//
//   nimbo-agent [--port N]        (default 7000, all addresses; the host reaches it through
//                                  qemu's port forwarding)
//
// Request:  "RUN <command bytes> <stdin bytes>\n" <command> <stdin>
//           "PUT <path bytes> <content bytes> <octal mode>\n" <path> <content>: writes the file,
//           making missing parent directories (without stat: the guest's busybox cannot stat
//           files dated past 2038, this can); a path ending in "/" makes only the directory
// Answer:   "<exit status> <output bytes>\n" <stdout and stderr of the command>
// The exit status is the command's, or 128+N when signal N ended it. The command runs as
// /bin/sh -c in its own session; whatever it leaves running in the background must not keep
// the answer's descriptors (redirect it). Commands are bounded to 64 KiB, their input to 64 MiB.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "c_handles.hpp"

namespace {

constexpr size_t kMaxCommand = 64 * 1024;
constexpr size_t kMaxInput = 64 * 1024 * 1024;

bool read_full(int fd, char* buf, size_t n) {
    while (n > 0) {
        ssize_t r = read(fd, buf, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        buf += r;
        n -= (size_t)r;
    }
    return true;
}

bool write_full(int fd, const char* buf, size_t n) {
    while (n > 0) {
        ssize_t r = write(fd, buf, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        buf += r;
        n -= (size_t)r;
    }
    return true;
}

bool read_line(int fd, std::string* line) {
    char c;
    while (line->size() < 128) {
        if (!read_full(fd, &c, 1)) return false;
        if (c == '\n') return true;
        *line += c;
    }
    return false;
}

// Copies n bytes from the socket into fd.
bool copy_in(int sock, int fd, size_t n) {
    char buf[65536];
    while (n > 0) {
        size_t chunk = n < sizeof buf ? n : sizeof buf;
        if (!read_full(sock, buf, chunk) || !write_full(fd, buf, chunk)) return false;
        n -= chunk;
    }
    return true;
}

void answer_status(int sock, int code, const std::string& text) {
    std::string answer = std::to_string(code) + " " + std::to_string(text.size()) + "\n" + text;
    write_full(sock, answer.data(), answer.size());
}

void put_file(int sock, unsigned long path_len, unsigned long size, unsigned mode) {
    if (path_len == 0 || path_len > 4096 || size > kMaxInput) return answer_status(sock, 2, "request refused\n");
    std::string path(path_len, '\0');
    if (!read_full(sock, &path[0], path_len)) return;
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
        std::string dir = path.substr(0, at);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return answer_status(sock, 1, "mkdir " + dir + "\n");
    }
    if (path.back() == '/') return answer_status(sock, 0, "");  // only the directory
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode & 07777));
    if (!fd || !copy_in(sock, fd.get(), size) || fchmod(fd.get(), mode & 07777) != 0)
        return answer_status(sock, 1, "write " + path + "\n");
    answer_status(sock, 0, "");
}

void serve(int sock) {
    std::string head;
    unsigned long cmd_len = 0, in_len = 0;
    unsigned mode = 0;
    if (!read_line(sock, &head)) return;
    if (sscanf(head.c_str(), "PUT %lu %lu %o", &cmd_len, &in_len, &mode) == 3) return put_file(sock, cmd_len, in_len, mode);
    if ( sscanf(head.c_str(), "RUN %lu %lu", &cmd_len, &in_len) != 2 ||
        cmd_len == 0 || cmd_len > kMaxCommand || in_len > kMaxInput) {
        static const char refused[] = "2 17\nrequest refused\n";
        write_full(sock, refused, sizeof refused - 1);
        return;
    }
    std::string command(cmd_len, '\0');
    if (!read_full(sock, &command[0], cmd_len)) return;
    UniqueFd input(memfd_create("agent-in", MFD_CLOEXEC));
    UniqueFd output(memfd_create("agent-out", MFD_CLOEXEC));
    if (!input || !output || !copy_in(sock, input.get(), in_len) || lseek(input.get(), 0, SEEK_SET) != 0) return;

    pid_t pid = fork();
    if (pid < 0) return;
    if (pid == 0) {
        setsid();
        dup2(input.get(), 0);
        dup2(output.get(), 1);
        dup2(output.get(), 2);
        execl("/bin/sh", "sh", "-c", command.c_str(), (char*)nullptr);
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    struct stat st;
    if (fstat(output.get(), &st) != 0) return;
    size_t out_len = (size_t)st.st_size;
    std::string answer = std::to_string(code) + " " + std::to_string(out_len) + "\n";
    if (!write_full(sock, answer.data(), answer.size())) return;
    char buf[65536];
    off_t at = 0;
    while ((size_t)at < out_len) {
        ssize_t r = pread(output.get(), buf, sizeof buf, at);
        if (r <= 0 || !write_full(sock, buf, (size_t)r)) return;
        at += r;
    }
}

}  // namespace

int main(int argc, char** argv) {
    int port = 7000;
    if (argc == 3 && strcmp(argv[1], "--port") == 0) {
        port = atoi(argv[2]);
    } else if (argc != 1) {
        fprintf(stderr, "usage: nimbo-agent [--port N]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGCHLD, SIG_IGN);  // connection handlers are reaped by the kernel
    UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int one = 1;
    setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!listener || bind(listener.get(), (struct sockaddr*)&addr, sizeof addr) != 0 || listen(listener.get(), 16) != 0) {
        perror("nimbo-agent: listen");
        return 1;
    }
    for (;;) {
        UniqueFd conn(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!conn) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            perror("nimbo-agent: accept");
            return 1;
        }
        setsockopt(conn.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        pid_t pid = fork();
        if (pid == 0) {
            listener.reset();
            signal(SIGCHLD, SIG_DFL);
            serve(conn.get());
            _exit(0);
        }
    }
}
