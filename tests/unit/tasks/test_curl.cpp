// HTTP transfers against the management-server simulator (tools/mgmt_sim.py).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <random>
#include <stdexcept>
#include <thread>
#include <string>
#include <vector>

#include "sim_server.h"
#include "tasks/crypto_utils.h"
#include "tasks/curl_utils.h"
#include "test_support.h"

using testsupport::read_file;
using testsupport::SimServer;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen() & 0xff);
    return s;
}

std::vector<std::pair<std::string, std::string>> g_reports;
void record(void*, const char* status, const char* message) { g_reports.emplace_back(status, message); }

class Transfers : public ::testing::Test {
protected:
    void SetUp() override {
        content_ = random_bytes(50000, 7);
        write_file(files_ / "pkg.zip", content_);
        g_reports.clear();
    }
    DownloadTask task(const std::string& name = "pkg.zip") {
        DownloadTask t;
        EXPECT_EQ(curl_utils_download_task_init(&t, sim_.url("/files/" + name).c_str(), dest_.c_str(), record, nullptr,
                                                content_.size(), ""),
                  0);
        return t;
    }
    off_t dest_size() const {
        struct stat st {};
        return ::stat(dest_.c_str(), &st) == 0 ? st.st_size : -1;
    }

    TempDir files_, work_;
    SimServer sim_{files_.path(), work_ / "uploads"};
    std::string dest_ = work_ / "tmp_app.zip";
    std::string content_;
};

}  // namespace

TEST(CurlText, UrlEncoding) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"a b?x=1", "a%20b%3Fx%3D1"},
        {"\xE4", "%E4"},
        {"https://host.example:8443/a-b/c_d/e.f~g", "https://host.example:8443/a-b/c_d/e.f~g"},
        {"", ""},
        {"100%&+", "100%25%26%2B"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        CText out{url_encode(c.in)};
        ASSERT_NE(out, nullptr);
        EXPECT_STREQ(out.get(), c.out);
    }
    EXPECT_EQ(url_encode(nullptr), nullptr);
}

TEST(CurlText, ResultCodeTexts) {
    EXPECT_STREQ(curlcode_to_strerror(0), "No error");
    EXPECT_STREQ(curlcode_to_strerror(23), "Failed writing received data to disk/application");
    EXPECT_STREQ(curlcode_to_strerror(28), "Timeout was reached");
    EXPECT_STREQ(curlcode_to_strerror(62), "Invalid LDAP URL");
    EXPECT_STREQ(curlcode_to_strerror(96), "QUIC connection error");
    for (unsigned obsolete : {20u, 24u, 29u, 32u, 40u, 44u, 46u, 50u, 51u, 57u, 97u, 1000u})
        EXPECT_STREQ(curlcode_to_strerror(obsolete), "Unknown error") << obsolete;
}

TEST(CurlText, DownloadTaskRefusesValuesThatDoNotFit) {
    DownloadTask t;
    std::string url = "http://h/" + std::string(247, 'a');  // 256 characters
    EXPECT_EQ(curl_utils_download_task_init(&t, url.c_str(), "/tmp/x", nullptr, nullptr, 1, ""), -2);
    url.pop_back();
    EXPECT_EQ(curl_utils_download_task_init(&t, url.c_str(), "/tmp/x", nullptr, nullptr, 1, ""), 0);
    EXPECT_STREQ(t.url, url.c_str());
    EXPECT_EQ(curl_utils_download_task_init(&t, "http://h/a", std::string(512, 'p').c_str(), nullptr, nullptr, 1, ""), -2);
}

TEST_F(Transfers, GetBodies) {
    struct Case {
        std::string body;
        size_t capacity;
        std::string stored;
        size_t count;
    };
    const std::vector<Case> cases = {
        {"hello\n", 64, "hello", 6},                      // one trailing line feed goes
        {"hello\n\n", 64, "hello\n", 7},
        {"hello", 64, "hello", 5},
        {"", 64, "", 0},
        {std::string(63, 'x'), 64, std::string(63, 'x'), 63},  // exactly capacity - 1
        {std::string(500, 'y'), 64, std::string(63, 'y'), 63},  // cut, not failed
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.size());
        JsonPtr rule{cJSON_CreateObject()};
        cJSON* inject = cJSON_AddObjectToObject(rule.get(), "inject");
        cJSON* r = cJSON_AddObjectToObject(inject, "/text");
        cJSON_AddNumberToObject(r, "status", 200);
        cJSON_AddStringToObject(r, "body", c.body.c_str());
        JsonText json{cJSON_PrintUnformatted(rule.get())};
        ASSERT_TRUE(sim_.configure(json.get()));
        std::vector<char> buf(c.capacity, 'z');
        size_t count = 99;
        HttpResult res = curl_utils_perform_get_request(sim_.url("/text").c_str(), buf.data(), buf.size(), &count);
        EXPECT_EQ(res.code, 0);
        EXPECT_EQ(res.http_status, 200);
        EXPECT_STREQ(res.message, "");
        EXPECT_EQ(std::string(buf.data()), c.stored);
        EXPECT_EQ(count, c.count);
    }
    // The whole-body variant refuses instead of cutting.
    ASSERT_TRUE(sim_.configure(R"({"inject":{"/big":{"status":200,"body":")" + std::string(5000, 'b') + "\"}}}"));
    std::string body;
    HttpResult res = curl_utils::get(sim_.url("/big").c_str(), &body, 4096);
    EXPECT_EQ(res.code, 23);
    EXPECT_EQ(std::string(res.message), "CURL Error[23: Failed writing received data to disk/application]");
}

TEST_F(Transfers, TransportFailureFillsTheMessage) {
    char buf[32] = "old";
    size_t count = 5;
    std::string url = "http://127.0.0.1:" + std::to_string(testsupport::free_tcp_port()) + "/x";
    HttpResult res = curl_utils_perform_get_request(url.c_str(), buf, sizeof buf, &count);
    EXPECT_EQ(res.code, 7);
    EXPECT_EQ(res.http_status, 0);
    EXPECT_STREQ(res.message, "CURL Error[7: Couldn't connect to server]");
    EXPECT_EQ(count, 0u);
}

TEST_F(Transfers, DownloadSignsAndFetchesTheWholeFile) {
    DownloadTask t = task();
    HttpResult res = curl_utils_download_file(&t, CURL_UTILS_DOWNLOAD_KEY);
    ASSERT_EQ(res.code, 0) << res.message;
    EXPECT_EQ(res.http_status, 200);
    EXPECT_EQ(read_file(dest_), content_);
    EXPECT_EQ(sim_.last("token_ok"), "");  // accepted: only refusals carry the mark
    std::string name = sim_.last("filename", true), stamp = sim_.last("timestamp", true);
    EXPECT_EQ(name, "pkg.zip");
    char token[33];
    crypto_utils_generate_md5_hex_for_string((std::string(CURL_UTILS_DOWNLOAD_KEY) + "&pkg.zip&" + stamp).c_str(),
                                             token);
    EXPECT_EQ(sim_.last("token", true), token);
    EXPECT_EQ(sim_.last("range"), "");
    ASSERT_FALSE(g_reports.empty());
    EXPECT_EQ(g_reports.back().first, "1");
    EXPECT_EQ(g_reports.back().second, "100.00%");

    // A wrong key is refused by the server (401) and leaves nothing in the file.
    std::remove(dest_.c_str());
    t = task();
    res = curl_utils_download_file(&t, CURL_UTILS_UPLOAD_KEY);
    EXPECT_EQ(res.code, 0);
    EXPECT_EQ(res.http_status, 401);
    EXPECT_EQ(dest_size(), 0);
}

TEST_F(Transfers, DownloadResumesFromTheBytesOnDisk) {
    const size_t have = 20000;
    write_file(dest_, content_.substr(0, have));
    ASSERT_TRUE(sim_.configure(R"({"throttle": 200000})"));  // several progress calls
    DownloadTask t = task();
    HttpResult res = curl_utils_download_file(&t, CURL_UTILS_DOWNLOAD_KEY);
    ASSERT_EQ(res.code, 0) << res.message;
    EXPECT_EQ(res.http_status, 206);
    EXPECT_EQ(sim_.last("range"), "bytes=20000-");
    EXPECT_EQ(sim_.last("bytes_sent"), std::to_string(content_.size() - have));
    EXPECT_EQ(read_file(dest_), content_);
    EXPECT_EQ(t.file_stat.st_size, static_cast<off_t>(have));
    // Percentages count the bytes already on disk.
    ASSERT_FALSE(g_reports.empty());
    EXPECT_GE(std::stod(g_reports.front().second), 40.0);
    EXPECT_EQ(g_reports.back().second, "100.00%");

    // Complete on disk: 416, nothing appended.
    t = task();
    res = curl_utils_download_file(&t, CURL_UTILS_DOWNLOAD_KEY);
    EXPECT_EQ(res.code, 0);
    EXPECT_EQ(res.http_status, 416);
    EXPECT_EQ(read_file(dest_), content_);
}

// A file written from its first byte is hashed as it arrives: the driver's MD5 check then needs
// no second read. A resumed file is not (its first bytes came from another attempt).
TEST_F(Transfers, DigestWhileDownloadingOnlyForWholeFiles) {
    DownloadTask t;
    ASSERT_EQ(curl_utils_download_task_init(&t, sim_.url("/files/pkg.zip").c_str(), dest_.c_str(), record, nullptr,
                                            content_.size(), "0123456789abcdef0123456789abcdef"),
              0);
    HttpResult res = curl_utils_download_file(&t, CURL_UTILS_DOWNLOAD_KEY);
    ASSERT_EQ(res.code, 0) << res.message;
    ASSERT_EQ(t.md5_known, 1);
    unsigned char from_file[16];
    ASSERT_EQ(crypto_utils_calculate_md5_value_for_file(dest_.c_str(), from_file), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(t.md5), 16), std::string(reinterpret_cast<char*>(from_file), 16));

    write_file(dest_, content_.substr(0, 20000));
    ASSERT_EQ(curl_utils_download_task_init(&t, sim_.url("/files/pkg.zip").c_str(), dest_.c_str(), record, nullptr,
                                            content_.size(), "0123456789abcdef0123456789abcdef"),
              0);
    res = curl_utils_download_file(&t, CURL_UTILS_DOWNLOAD_KEY);
    ASSERT_EQ(res.code, 0) << res.message;
    EXPECT_EQ(res.http_status, 206);
    EXPECT_EQ(t.md5_known, 0);
    EXPECT_EQ(read_file(dest_), content_);
}

TEST_F(Transfers, ErrorPagesNeverStayInTheFile) {
    for (int status : {404, 429, 500, 403}) {
        for (size_t have : {size_t{0}, size_t{1000}}) {
            SCOPED_TRACE(std::to_string(status) + " with " + std::to_string(have) + " bytes on disk");
            write_file(dest_, content_.substr(0, have));
            ASSERT_TRUE(sim_.configure(R"({"inject":{"/files/pkg.zip":{"status":)" + std::to_string(status) +
                                       R"(,"body":"<html>error page</html>","times":1}}})"));
            DownloadTask t = task();
            HttpResult res = curl_utils_download_file(&t, CURL_UTILS_DOWNLOAD_KEY);
            EXPECT_EQ(res.code, 0) << res.message;
            EXPECT_EQ(res.http_status, status);
            EXPECT_EQ(read_file(dest_), content_.substr(0, have));
        }
    }
}

TEST_F(Transfers, DownloadFaultsOfTheServer) {
    // The connection drops part-way: the bytes that arrived stay, the next attempt resumes.
    ASSERT_TRUE(sim_.configure(R"({"cut_after":{"bytes":12345,"count":1}})"));
    DownloadTask t = task();
    HttpResult res = curl_utils_download_file(&t, CURL_UTILS_DOWNLOAD_KEY);
    EXPECT_EQ(res.code, 18) << res.message;
    EXPECT_EQ(read_file(dest_), content_.substr(0, 12345));
    t = task();
    res = curl_utils_download_file(&t, CURL_UTILS_DOWNLOAD_KEY);
    EXPECT_EQ(res.code, 0);
    EXPECT_EQ(res.http_status, 206);
    EXPECT_EQ(read_file(dest_), content_);

    // A server that ignores the range sends the whole file: the file starts over.
    write_file(dest_, content_.substr(0, 3000));
    ASSERT_TRUE(sim_.configure(R"({"ignore_range": true})"));
    t = task();
    res = curl_utils_download_file(&t, CURL_UTILS_DOWNLOAD_KEY);
    EXPECT_EQ(res.code, 0);
    EXPECT_EQ(res.http_status, 200);
    EXPECT_EQ(read_file(dest_), content_);

    // A range other than the one asked for is never appended: the same attempt asks for
    // the whole file, as when the range is ignored.
    write_file(dest_, content_.substr(0, 3000));
    ASSERT_TRUE(sim_.configure(R"({"ignore_range": false, "wrong_content_range": true})"));
    int before = sim_.request_count();
    t = task();
    res = curl_utils_download_file(&t, CURL_UTILS_DOWNLOAD_KEY);
    EXPECT_EQ(res.code, 0) << res.message;
    EXPECT_EQ(res.http_status, 200);
    EXPECT_EQ(read_file(dest_), content_);
    EXPECT_EQ(sim_.request_count(), before + 2);
    EXPECT_EQ(sim_.last("range"), "");

    // A Content-Length that promises more than is sent: a partial transfer, bytes kept.
    write_file(dest_, content_.substr(0, 3000));
    ASSERT_TRUE(sim_.configure(R"({"wrong_content_range": false, "lying_content_length": 100})"));
    t = task();
    res = curl_utils_download_file(&t, CURL_UTILS_DOWNLOAD_KEY);
    EXPECT_EQ(res.code, 18);
    EXPECT_EQ(read_file(dest_), content_);
}

// The file never grows past its expected size: a longer or endless body fails the
// attempt (code 63, retried by the driver), without a progress report.
TEST_F(Transfers, BodyLongerThanTheFileIsCut) {
    for (const char* setting : {R"({"extra_body": 200000})", R"({"endless": true})"}) {
        for (size_t have : {size_t{0}, size_t{20000}}) {
            SCOPED_TRACE(std::string(setting) + " with " + std::to_string(have) + " bytes on disk");
            ASSERT_TRUE(sim_.reset());
            ASSERT_TRUE(sim_.configure(setting));
            write_file(dest_, content_.substr(0, have));
            g_reports.clear();
            DownloadTask t = task();
            HttpResult res = curl_utils_download_file(&t, CURL_UTILS_DOWNLOAD_KEY);
            EXPECT_EQ(res.code, 63) << res.message;
            EXPECT_EQ(read_file(dest_), content_);
            EXPECT_TRUE(g_reports.empty());
        }
    }
}

// A download leaves the reserve of free space to the service's own files.
TEST_F(Transfers, FreeSpaceReserveIsNeverTaken) {
    uint64_t old = curl_utils::set_download_reserve(UINT64_MAX);
    DownloadTask t = task();
    HttpResult res = curl_utils_download_file(&t, CURL_UTILS_DOWNLOAD_KEY);
    curl_utils::set_download_reserve(old);
    EXPECT_EQ(res.code, 23);
    EXPECT_EQ(dest_size(), 0);
}

TEST_F(Transfers, FileNameTooLongForItsHeaderIsRefused) {
    std::string name(90, 'n');  // "filename: " + 90 characters exceeds 99
    write_file(files_ / name, "x");
    DownloadTask t = task(name);
    int before = sim_.request_count();
    HttpResult res = curl_utils_download_file(&t, CURL_UTILS_DOWNLOAD_KEY);
    EXPECT_EQ(res.code, 3);
    EXPECT_EQ(sim_.request_count(), before);

    name.pop_back();  // 89 characters fit
    write_file(files_ / name, "x");
    t = task(name);
    res = curl_utils_download_file(&t, CURL_UTILS_DOWNLOAD_KEY);
    EXPECT_EQ(res.code, 0);
    EXPECT_EQ(res.http_status, 200);
}

TEST_F(Transfers, DownloadIntoAnUnopenableFile) {
    DownloadTask t;
    ASSERT_EQ(curl_utils_download_task_init(&t, sim_.url("/files/pkg.zip").c_str(), (work_ / "no/dir/f").c_str(),
                                            nullptr, nullptr, 1, ""),
              0);
    HttpResult res = curl_utils_download_file(&t, CURL_UTILS_DOWNLOAD_KEY);
    EXPECT_EQ(res.code, 97);
    EXPECT_STREQ(res.message, "");
}

// An answer longer than the kept size is read to its end; its first bytes are kept.
TEST_F(Transfers, UploadAnswerLongerThanKeptIsCutNotFailed) {
    const std::string local = work_ / "app_log_2.tar.gz";
    write_file(local, "log");
    ASSERT_TRUE(sim_.configure(R"({"upload_answer_pad": 100000})"));
    std::string answer;
    HttpResult res = curl_utils::post_file(sim_.url("/logs/dev1").c_str(), local.c_str(), "app_log_2.tar.gz",
                                           CURL_UTILS_UPLOAD_KEY, &answer, 64 * 1024);
    ASSERT_EQ(res.code, 0) << res.message;
    EXPECT_EQ(res.http_status, 200);
    EXPECT_EQ(answer.size(), 64u * 1024u);
    EXPECT_EQ(answer.rfind("{\"success\": true", 0), 0u) << answer.substr(0, 80);
}

TEST_F(Transfers, MultipartUploadWithALongAnswer) {
    const std::string local = work_ / "app_log_1.tar.gz";
    write_file(local, content_);
    ASSERT_TRUE(sim_.configure(R"({"upload_answer_pad": 3000})"));
    std::string answer;
    HttpResult res = curl_utils::post_file(sim_.url("/logs/dev1").c_str(), local.c_str(), "app_log_1.tar.gz",
                                           CURL_UTILS_UPLOAD_KEY, &answer, 64 * 1024);
    ASSERT_EQ(res.code, 0) << res.message;
    EXPECT_EQ(res.http_status, 200);
    EXPECT_EQ(sim_.last("token_ok"), "true");
    EXPECT_EQ(read_file(work_ / "uploads/app_log_1.tar.gz"), content_);
    JsonPtr parsed{cJSON_Parse(answer.c_str())};
    ASSERT_TRUE(parsed) << answer.substr(0, 80);
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(parsed.get(), "success")));
    EXPECT_GT(answer.size(), 3000u);

    // The fixed-buffer form keeps capacity - 1 bytes of it.
    char buf[256];
    size_t count = 0;
    res = curl_utils_post_file(sim_.url("/logs/dev1").c_str(), local.c_str(), "app_log_1.tar.gz",
                               CURL_UTILS_UPLOAD_KEY, buf, sizeof buf, &count);
    EXPECT_EQ(res.code, 0);
    EXPECT_EQ(count, 255u);
    EXPECT_EQ(std::strlen(buf), 255u);

    // A wrong key is refused by the server.
    res = curl_utils::post_file(sim_.url("/logs/dev1").c_str(), local.c_str(), "app_log_1.tar.gz", "bad", &answer,
                                64 * 1024);
    EXPECT_EQ(res.code, 0);
    EXPECT_EQ(res.http_status, 401);
    EXPECT_EQ(sim_.last("token_ok"), "false");
    EXPECT_NE(answer.find("\"success\": false"), std::string::npos);
}

namespace {

// A TCP listener on loopback that counts the connections made to it and closes each at once.
class CountingListener {
public:
    CountingListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 16) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("listener");
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            for (;;) {
                int c = ::accept(fd_, nullptr, nullptr);
                if (c < 0) return;  // shut down
                ++count_;
                ::close(c);
            }
        });
    }
    ~CountingListener() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }
    int count() const { return count_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::atomic<int> count_{0};
    std::thread thread_;
};

}  // namespace

// Every transfer (GET of the bootstrap and the server switch, upload, download) uses http
// or https only: another scheme is an invalid URL (code 3) before any connection, and a
// redirect to another scheme is never followed. A row per scheme, each through all three.
TEST_F(Transfers, OnlyHttpAndHttpsAreEverFetched) {
    CountingListener other;
    const std::string port = std::to_string(other.port());
    write_file(work_ / "secret", "local file\n");
    ASSERT_TRUE(sim_.configure(R"({"inject":{"/files/redir.zip":{"status":302,"location":"gopher://127.0.0.1:)" +
                               port + R"(/1x"},"/logs/redir":{"status":302,"location":"dict://127.0.0.1:)" + port +
                               R"(/d:x"},"/redir":{"status":302,"location":"ftp://127.0.0.1:)" + port + R"(/x"}}})"));
    const std::string sim_host = "127.0.0.1:" + std::to_string(sim_.port());
    enum class Want { invalid, fetched, connected, not_followed };
    struct Case {
        std::string get, post, download;  // URLs for each transfer
        Want want;
    };
    const std::vector<Case> cases = {
        {"gopher://127.0.0.1:" + port + "/1x", "gopher://127.0.0.1:" + port + "/1x",
         "gopher://127.0.0.1:" + port + "/1pkg.zip", Want::invalid},
        {"dict://127.0.0.1:" + port + "/d:x", "dict://127.0.0.1:" + port + "/d:x",
         "dict://127.0.0.1:" + port + "/pkg.zip", Want::invalid},
        {"ftp://127.0.0.1:" + port + "/x", "ftp://127.0.0.1:" + port + "/x", "ftp://127.0.0.1:" + port + "/pkg.zip",
         Want::invalid},
        {"telnet://127.0.0.1:" + port, "telnet://127.0.0.1:" + port, "telnet://127.0.0.1:" + port + "/pkg.zip",
         Want::invalid},
        {"file://" + work_ / "secret", "file://" + work_ / "secret", "file://" + work_ / "secret", Want::invalid},
        {"FILE://" + work_ / "secret", "Gopher://127.0.0.1:" + port + "/x", "DICT://127.0.0.1:" + port + "/pkg.zip",
         Want::invalid},
        {"HTTP://" + sim_host + "/api/v1/mqtt", "HTTP://" + sim_host + "/logs/dev1",
         "HTTP://" + sim_host + "/files/pkg.zip", Want::fetched},
        {"http://" + sim_host + "/api/v1/mqtt", "http://" + sim_host + "/logs/dev1",
         "http://" + sim_host + "/files/pkg.zip", Want::fetched},
        {"https://127.0.0.1:" + port + "/x", "https://127.0.0.1:" + port + "/x",
         "https://127.0.0.1:" + port + "/pkg.zip", Want::connected},
        {"http://" + sim_host + "/redir", "http://" + sim_host + "/logs/redir",
         "http://" + sim_host + "/files/redir.zip", Want::not_followed},
    };
    write_file(work_ / "upload.bin", "log bytes");
    for (const Case& c : cases) {
        for (int transfer = 0; transfer < 3; ++transfer) {
            const std::string& url = transfer == 0 ? c.get : transfer == 1 ? c.post : c.download;
            SCOPED_TRACE(url);
            ::unlink(dest_.c_str());
            const int before = other.count();
            HttpResult res;
            std::string answer;
            if (transfer == 0) {
                res = curl_utils::get(url.c_str(), &answer, 4096);
            } else if (transfer == 1) {
                res = curl_utils::post_file(url.c_str(), (work_ / "upload.bin").c_str(), "app_log_1.tar.gz",
                                            CURL_UTILS_UPLOAD_KEY, &answer, 4096);
            } else {
                DownloadTask t;
                ASSERT_EQ(curl_utils_download_task_init(&t, url.c_str(), dest_.c_str(), record, nullptr, content_.size(), ""),
                          0);
                res = curl_utils_download_file(&t, CURL_UTILS_DOWNLOAD_KEY);
            }
            switch (c.want) {
                case Want::invalid:
                    EXPECT_EQ(res.code, 3);
                    EXPECT_STREQ(res.message, "CURL Error[3: URL using bad/illegal format or missing URL]");
                    EXPECT_EQ(other.count(), before);
                    EXPECT_EQ(answer.find("local file"), std::string::npos);
                    EXPECT_EQ(dest_size(), -1);  // not even the destination was opened
                    break;
                case Want::fetched:
                    EXPECT_EQ(res.code, 0);
                    EXPECT_EQ(res.http_status, 200);
                    if (transfer == 2) {
                        EXPECT_EQ(read_file(dest_), content_);
                    }
                    break;
                case Want::connected:  // allowed: it connects (and fails the TLS handshake)
                    EXPECT_NE(res.code, 0);
                    EXPECT_NE(res.code, 3);
                    EXPECT_EQ(other.count(), before + 1);
                    break;
                case Want::not_followed:
                    EXPECT_EQ(res.code, 0);
                    EXPECT_EQ(res.http_status, 302);
                    EXPECT_EQ(other.count(), before);
                    if (transfer == 2) {
                        EXPECT_EQ(dest_size(), 0);
                    }
                    break;
            }
        }
    }
}
