// URL sources, read from an HTTP server on the loopback address that the test runs itself.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <thread>

#include "support.h"

namespace {

// Binds socket to a free port of 127.0.0.1 and returns the port, or -1.
int BindLoopback(int socket) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(socket, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return -1;
    }
    return ntohs(address.sin_port);
}

// A one-thread HTTP server on 127.0.0.1 that answers each request with what respond() returns
// for its path, then closes the connection.
class LoopbackServer {
  public:
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;
    explicit LoopbackServer(std::function<std::string(const std::string&)> respond)
        : respond_(std::move(respond)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        port_ = BindLoopback(listener_);
        if (port_ < 0 || ::listen(listener_, 8) != 0) std::abort();
        thread_ = std::thread([this] { Serve(); });
    }
    ~LoopbackServer() {
        stopping_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    std::u16string Url(const std::string& path) const {
        return U16("http://127.0.0.1:" + std::to_string(port_) + path);
    }

  private:
    void Serve() {
        while (!stopping_) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) break;
            std::string request;
            char buf[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                const ssize_t n = ::recv(client, buf, sizeof buf, 0);
                if (n <= 0) break;
                request.append(buf, static_cast<std::size_t>(n));
            }
            const std::size_t start = request.find(' ') + 1;
            const std::string path = request.substr(start, request.find(' ', start) - start);
            const std::string response = respond_(path);
            for (std::size_t at = 0; at < response.size();) {
                const ssize_t n =
                    ::send(client, response.data() + at,
                           std::min<std::size_t>(response.size() - at, 65536), MSG_NOSIGNAL);
                if (n <= 0) break;
                at += static_cast<std::size_t>(n);
            }
            ::shutdown(client, SHUT_WR);
            while (::recv(client, buf, sizeof buf, 0) > 0) {
            }
            ::close(client);
        }
    }

    std::function<std::string(const std::string&)> respond_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

const std::string kBody = Pattern(300000);
const std::string kLines = "first\r\nsecond\nthird";

std::string Respond(const std::string& path) {
    if (path == "/length") {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kBody.size()) +
               "\r\nConnection: close\r\n\r\n" + kBody;
    }
    if (path == "/no-length") return "HTTP/1.0 200 OK\r\n\r\n" + kBody;
    if (path == "/empty") return "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    if (path == "/lines") return "HTTP/1.0 200 OK\r\n\r\n" + kLines;
    if (path == "/redirect") return "HTTP/1.1 302 Found\r\nLocation: /lines\r\n\r\n";
    if (path == "/cut-short") {
        return "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + kBody.substr(0, 40000);
    }
    return "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found";
}

class Url : public ::testing::Test {
  protected:
    void SetUp() override {
        // The test talks to this machine only, whatever proxy the environment names.
        ::setenv("no_proxy", "127.0.0.1,localhost", 1);
        ::setenv("NO_PROXY", "127.0.0.1,localhost", 1);
    }
    std::string ReadAll(CFileStream& stream, std::int32_t request) {
        std::string got;
        std::vector<char> chunk(static_cast<std::size_t>(request));
        while (!stream.IsAtEnd()) {
            const std::int32_t n = stream.Read(chunk.data(), request);
            got.append(chunk.data(), static_cast<std::size_t>(n));
            if (n == 0) break;
        }
        return got;
    }
    LoopbackServer server_{&Respond};
};

std::int32_t OpenUrl(CFileStream& stream, const std::u16string& url) {
    CTextBuffer text;
    text.Assign(url.c_str());
    return stream.OpenUrl(text);
}

// With a length the stream knows it from the start; without one, once the source has ended.
TEST_F(Url, ReadsExactlyTheBodyWithOrWithoutALength) {
    const std::pair<std::string, std::int32_t> reads[] = {
        {"/length", 16}, {"/no-length", 1}, {"/no-length", 16}, {"/no-length", 70000}};
    for (const auto& [path, request] : reads) {
        SCOPED_TRACE(path + " in requests of " + std::to_string(request));
        CFileStream stream;
        ASSERT_EQ(OpenUrl(stream, server_.Url(path)), 1);
        EXPECT_TRUE(stream.IsUrl());
        if (path == "/length") {
            EXPECT_EQ(stream.GetLength(), kBody.size());
        }
        EXPECT_EQ(ReadAll(stream, request), kBody);
        EXPECT_TRUE(stream.IsAtEnd());
        EXPECT_EQ(stream.GetLength(), kBody.size());
        char c = 0;
        EXPECT_EQ(stream.Read(&c, 1), 0);
    }
}

TEST_F(Url, LinesRedirectsAndAnEmptyBody) {
    CFileStream stream;
    ASSERT_EQ(OpenUrl(stream, server_.Url("/redirect")), 1);
    CTextBuffer line;
    std::vector<std::u16string> lines;
    while (stream.ReadLine(line) == 1) lines.emplace_back(line.Text());
    EXPECT_EQ(lines, (std::vector<std::u16string>{u"first", u"second", u"third"}));
    ASSERT_EQ(OpenUrl(stream, server_.Url("/empty")), 1);
    EXPECT_TRUE(stream.IsAtEnd());
    EXPECT_EQ(stream.GetLength(), 0u);
}

TEST_F(Url, SetPositionDoesNothingAndLocalFilesOpenAfterwards) {
    CFileStream stream;
    ASSERT_EQ(OpenUrl(stream, server_.Url("/length")), 1);
    char buf[16];
    ASSERT_EQ(stream.Read(buf, 16), 16);
    stream.SetPosition(0, CFileStream::OriginBegin);
    EXPECT_EQ(stream.GetPosition(), 16u);
    ASSERT_EQ(stream.Read(buf, 16), 16);
    EXPECT_EQ(std::string(buf, 16), kBody.substr(16, 16));

    ScratchDir dir;
    WriteBytes(dir.File("local"), "local bytes");
    ASSERT_EQ(stream.Open(U16(dir.File("local")), CFileStream::ModeRead), 1);
    EXPECT_FALSE(stream.IsUrl());
    EXPECT_EQ(ReadAll(stream, 16), "local bytes");
}

struct UrlFailure {
    const char* name;
    std::string url;  // a path on the server, or "refused": a port nothing listens on
    std::string reasonContains;
};

class UrlFailures : public Url, public ::testing::WithParamInterface<UrlFailure> {};

TEST_P(UrlFailures, RaiseAClearErrorAndLeaveTheStreamClosed) {
    const UrlFailure& c = GetParam();
    std::u16string url = c.url[0] == '/' ? server_.Url(c.url) : U16(c.url);
    if (c.url == "refused") {
        // A port that was just free: nothing listens there.
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        const int port = BindLoopback(probe);
        ::close(probe);
        ASSERT_GT(port, 0);
        url = U16("http://127.0.0.1:" + std::to_string(port) + "/x");
    }
    ScratchDir dir;
    WriteBytes(dir.File("before"), "x");
    CFileStream stream;
    ASSERT_EQ(stream.Open(U16(dir.File("before")), CFileStream::ModeRead), 1);
    try {
        OpenUrl(stream, url);
        FAIL() << "opened";
    } catch (const CInternetException& error) {
        EXPECT_EQ(error.url, url);
        const std::string message = error.what();
        EXPECT_EQ(message.rfind(U8(url) + " could not be read: ", 0), 0u) << message;
        EXPECT_NE(message.find(c.reasonContains), std::string::npos) << message;
    }
    EXPECT_FALSE(stream.IsOpen());
    EXPECT_FALSE(stream.IsUrl());
    // Safe to use again, and to destroy.
    ASSERT_EQ(stream.Open(U16(dir.File("before")), CFileStream::ModeRead), 1);
}

INSTANTIATE_TEST_SUITE_P(Sources, UrlFailures,
                         ::testing::Values(UrlFailure{"NotFound", "/missing", "status 404"},
                                           UrlFailure{"Refused", "refused", "onnect"},
                                           UrlFailure{"Malformed", "::not a url::", ""},
                                           UrlFailure{"UnsupportedScheme", "gopher://127.0.0.1/x",
                                                      ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Url, ASourceCutShortRaisesWhileReading) {
    CFileStream stream;
    ASSERT_EQ(OpenUrl(stream, server_.Url("/cut-short")), 1);
    EXPECT_EQ(stream.GetLength(), 100000u);
    std::vector<char> chunk(1000);
    std::size_t got = 0;
    EXPECT_THROW(while (stream.Read(chunk.data(), 1000) > 0) got += 1000, CInternetException);
    EXPECT_LE(got, 40000u);
}

TEST_F(Url, ClosedStreamAfterAFailedOpenUrlStillGuardsItsContract) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ExpectContractEnd(
        [&] {
            CFileStream stream;
            try {
                OpenUrl(stream, server_.Url("/missing"));
            } catch (const CInternetException&) {
            }
            stream.SetPosition(0, CFileStream::OriginBegin);
        },
        "file not opened \\(set position\\)");
    ExpectContractEnd(
        [&] {
            CFileStream stream;
            OpenUrl(stream, server_.Url("/length"));
            stream.Write("x", 1);
        },
        "attempt to write to a file opened in read-only mode");
}

}  // namespace
