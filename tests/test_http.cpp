/*
 * HTTP client: the exact bytes of each request, the status of scripted
 * answers, every result code and the release of all descriptors, against
 * a loopback server run by the test and against Python's http.server.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TandelCntrl.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

int openDescriptors()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n - 1; /* the directory's own */
}

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

struct Fd {
    int fd;
    explicit Fd(int f = -1) : fd(f) {}
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

int boundSocket(bool listening, int *port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    if (listening)
        listen(fd, 4);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

/* FinThenReset: the client's next send finds a closed peer after its FIN,
   which is the case that would raise SIGPIPE. */
enum class Ending { Close, Reset, Silent, FinThenReset };

struct Script {
    long expect = -1; /* request bytes to wait for; -1 waits until the client is quiet */
    std::string answer;
    int delayMs = 0; /* before the answer */
    int splitMs = 0; /* pause after the first 12 bytes of the answer */
    Ending ending = Ending::Close;
};

/* Accepts one connection, records every byte received and plays the script. */
class Server {
public:
    explicit Server(Script s) : script_(std::move(s)), listener_(boundSocket(true, &port_))
    {
        thread_ = std::thread([this] { run(); });
    }
    ~Server()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    int port() const { return port_; }
    std::string received()
    {
        thread_.join();
        return received_;
    }
    int connections()
    {
        stop_ = true;
        thread_.join();
        return connections_;
    }

private:
    /* Waits up to ms for input; false when stopped or the time is over. */
    bool readable(int fd, int ms)
    {
        for (auto end = Clock::now() + std::chrono::milliseconds(ms); Clock::now() < end && !stop_;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) > 0)
                return true;
        }
        return false;
    }
    /* Appends what arrives; false once the client has closed. */
    bool take(int fd)
    {
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        received_.append(buf, static_cast<size_t>(n));
        return true;
    }
    void sendAll(int fd, const std::string &s)
    {
        for (size_t at = 0; at < s.size();) {
            ssize_t n = send(fd, s.data() + at, s.size() - at, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            at += static_cast<size_t>(n);
        }
    }
    void run()
    {
        if (!readable(listener_.fd, 5000))
            return;
        Fd conn(accept(listener_.fd, nullptr, nullptr));
        ++connections_;
        bool open = true;
        while (open && (script_.expect < 0 || static_cast<long>(received_.size()) < script_.expect)) {
            if (!readable(conn.fd, script_.expect < 0 ? 300 : 5000))
                break;
            open = take(conn.fd);
        }
        if (open && readable(conn.fd, 50)) /* bytes beyond the expected ones */
            open = take(conn.fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(script_.delayMs));
        if (script_.splitMs > 0 && script_.answer.size() > 12) {
            sendAll(conn.fd, script_.answer.substr(0, 12));
            std::this_thread::sleep_for(std::chrono::milliseconds(script_.splitMs));
            sendAll(conn.fd, script_.answer.substr(12));
        } else {
            sendAll(conn.fd, script_.answer);
        }
        if (script_.ending == Ending::FinThenReset) {
            shutdown(conn.fd, SHUT_WR);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (script_.ending == Ending::Reset || script_.ending == Ending::FinThenReset) {
            linger l{1, 0};
            setsockopt(conn.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            return;
        }
        if (script_.ending == Ending::Close)
            shutdown(conn.fd, SHUT_WR);
        while (open && readable(conn.fd, 5000)) /* until the client closes */
            open = take(conn.fd);
    }

    Script script_;
    int port_ = 0;
    Fd listener_;
    std::atomic<bool> stop_{false};
    std::string received_;
    int connections_ = 0;
    std::thread thread_;
};

struct TempDir {
    fs::path path;
    TempDir()
    {
        std::string t = (fs::temp_directory_path() / "httptest.XXXXXX").string();
        path = mkdtemp(t.data());
    }
    ~TempDir() { fs::remove_all(path); }
    FILE *file(const std::string &name, const std::string &content)
    {
        FILE *f = fopen((path / name).c_str(), "w+b");
        fwrite(content.data(), 1, content.size(), f);
        return f;
    }
};

/* A stream of `size` pattern bytes that ends after `delivers` of them. */
struct PatternStream {
    long size, delivers, pos = 0;
    FILE *fp;
    PatternStream(long s, long d) : size(s), delivers(d)
    {
        cookie_io_functions_t io{};
        io.read = [](void *c, char *buf, size_t n) -> ssize_t {
            auto *p = static_cast<PatternStream *>(c);
            size_t k = 0;
            for (; k < n && p->pos < p->delivers; ++k, ++p->pos)
                buf[k] = static_cast<char>('a' + p->pos % 26);
            return static_cast<ssize_t>(k);
        };
        io.seek = [](void *c, off64_t *off, int whence) -> int {
            auto *p = static_cast<PatternStream *>(c);
            p->pos = (whence == SEEK_END ? p->size : whence == SEEK_CUR ? p->pos : 0) + *off;
            *off = p->pos;
            return 0;
        };
        fp = fopencookie(this, "r", io);
    }
    ~PatternStream() { fclose(fp); }
    static std::string bytes(long n)
    {
        std::string s;
        for (long i = 0; i < n; ++i)
            s += static_cast<char>('a' + i % 26);
        return s;
    }
};

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

/* The response buffer with guard bytes behind responseSize. */
struct Answer {
    std::vector<char> buf;
    explicit Answer(size_t size, char fill = '\x55') : buf(size + 64, fill) {}
    int size() const { return static_cast<int>(buf.size() - 64); }
    std::string head(size_t n) const { return std::string(buf.data(), n); }
    bool guardIntact() const
    {
        for (size_t i = buf.size() - 64; i < buf.size(); ++i)
            if (buf[i] != buf.back())
                return false;
        return true;
    }
};

int request(int port, const char *method, const char *path, const char *headers, FILE *body, Answer &a,
            int timeout = 2)
{
    return makeHttpRequest("127.0.0.1", port, timeout, method, path, headers, body, a.buf.data(), a.size());
}

class Http : public ::testing::Test {
protected:
    void SetUp() override { fds_ = openDescriptors(); }
    void TearDown() override { EXPECT_EQ(openDescriptors(), fds_) << "descriptor left open"; }
    int fds_ = 0;
};

TEST_F(Http, GetSendsRequestLineHeadersAndEmptyLine)
{
    Server s({-1, kOk});
    Answer a(256);
    EXPECT_EQ(request(s.port(), "GET", "/status?x=1", nullptr, nullptr, a), 200);
    EXPECT_EQ(s.received(), "GET /status?x=1 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(a.head(kOk.size()), kOk);
    EXPECT_EQ(a.buf[kOk.size()], '\x55');

    Server h({-1, kOk});
    EXPECT_EQ(request(h.port(), "DELETE", "/j/1", "Host: ctl\r\nX-A: b\r\n", nullptr, a), 200);
    EXPECT_EQ(h.received(), "DELETE /j/1 HTTP/1.1\r\nHost: ctl\r\nX-A: b\r\n\r\n");
}

TEST_F(Http, PutOfEmptyStreamAnnouncesFourBytes)
{
    TempDir dir;
    FILE *f = dir.file("empty", "");
    const std::string want = "PUT /a HTTP/1.1\r\nHost: h\r\nContent-length: 4\r\n\r\n\r\n\r\n";
    Server s({static_cast<long>(want.size()), "HTTP/1.1 404 Not Found\r\n\r\n"});
    Answer a(256);
    EXPECT_EQ(request(s.port(), "PUT", "/a", "Host: h\r\n", f, a), 404);
    EXPECT_EQ(s.received(), want);
    fclose(f);
}

TEST_F(Http, PostOfLargeFileSendsWholeStreamFromItsStart)
{
    TempDir dir;
    std::string content;
    for (int i = 0; i < 20000; ++i)
        content += static_cast<char>(i * 7 % 251);
    FILE *f = dir.file("job.xml", content);
    fseek(f, 5000, SEEK_SET);
    const std::string want = "POST /up HTTP/1.1\r\nContent-length: 20004\r\n\r\n" + content + "\r\n\r\n";
    Server s({static_cast<long>(want.size()), "HTTP/1.1 201 Created\r\n\r\n"});
    Answer a(256);
    EXPECT_EQ(request(s.port(), "POST", "/up", nullptr, f, a), 201);
    EXPECT_EQ(s.received(), want);
    EXPECT_EQ(ftell(f), 20000);
    fclose(f);
}

TEST_F(Http, LowerCaseMethodSendsNoBody)
{
    TempDir dir;
    FILE *f = dir.file("b", "body");
    fseek(f, 3, SEEK_SET);
    Server s({-1, kOk});
    Answer a(256);
    EXPECT_EQ(request(s.port(), "put", "/x", nullptr, f, a), 200);
    EXPECT_EQ(s.received(), "put /x HTTP/1.1\r\n\r\n");
    EXPECT_EQ(ftell(f), 3);
    fclose(f);
}

TEST_F(Http, StatusFromTheReceivedBytesOnly)
{
    struct Case {
        std::string answer;
        int result;
    } cases[] = {
        {"HTTP/1.1 200 ", 1},         /* 13 bytes */
        {"HTTP/1.1 404 N", 404},      /* 14 bytes */
        {"HTTP/1.1 OK xx", 2},        /* letters at offset 9 */
        {"HTTP/1.1    12", 12},       /* the "42" behind is not read */
        {"HTTP/1.1      ", 2},
        {"HTTP/1.1 99999999999 Big", 2},
        {"H", 1},
    };
    for (const Case &c : cases) {
        Server s({-1, c.answer});
        Answer a(64);
        memcpy(a.buf.data() + c.answer.size(), "42 ", 3);
        EXPECT_EQ(request(s.port(), "GET", "/", nullptr, nullptr, a), c.result) << c.answer;
        EXPECT_EQ(a.head(c.answer.size() + 3), c.answer + "42 ");
    }
}

TEST_F(Http, AnswerIsCutAtResponseSize)
{
    const std::string big = "HTTP/1.1 503 Busy\r\n\r\n" + PatternStream::bytes(30000);
    Server s({-1, big});
    Answer a(100);
    EXPECT_EQ(request(s.port(), "GET", "/", nullptr, nullptr, a), 503);
    EXPECT_EQ(a.head(100), big.substr(0, 100));
    EXPECT_TRUE(a.guardIntact());

    Server whole({-1, big});
    Answer b(40000);
    EXPECT_EQ(request(whole.port(), "GET", "/", nullptr, nullptr, b), 503);
    EXPECT_EQ(b.head(big.size()), big);

    Server none({-1, big});
    Answer c(0);
    EXPECT_EQ(request(none.port(), "GET", "/", nullptr, nullptr, c), -8);
    EXPECT_TRUE(c.guardIntact());
}

TEST_F(Http, WaitForTheFirstByte)
{
    Server silent({-1, "", 0, 0, Ending::Silent});
    Answer a(64);
    auto t = Clock::now();
    EXPECT_EQ(request(silent.port(), "GET", "/", nullptr, nullptr, a, 1), -5);
    EXPECT_GT(secondsSince(t), 0.9);
    EXPECT_LT(secondsSince(t), 1.9);
    EXPECT_EQ(silent.received(), "GET / HTTP/1.1\r\n\r\n");

    Server negative({-1, kOk});
    EXPECT_EQ(request(negative.port(), "GET", "/", nullptr, nullptr, a, -2), -6);

    Server standard({-1, kOk, 300});
    EXPECT_EQ(request(standard.port(), "GET", "/", nullptr, nullptr, a, -1), 200);
}

TEST_F(Http, ServerClosingOrResetting)
{
    Answer a(64);
    Server closing({-1, ""});
    EXPECT_EQ(request(closing.port(), "GET", "/", nullptr, nullptr, a), -8);
    Server reset({18, "", 0, 0, Ending::Reset});
    EXPECT_EQ(request(reset.port(), "GET", "/", nullptr, nullptr, a), -7);
}

void onSignal(int) {}

/* Interrupts the calling thread with SIGUSR1 (no SA_RESTART) every 100 ms. */
class Interrupter {
public:
    Interrupter() : target_(pthread_self())
    {
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGUSR1, &sa, &old_);
        thread_ = std::thread([this] {
            while (!stop_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                pthread_kill(target_, SIGUSR1);
            }
        });
    }
    ~Interrupter()
    {
        stop_ = true;
        thread_.join();
        sigaction(SIGUSR1, &old_, nullptr);
    }

private:
    pthread_t target_;
    struct sigaction old_ {};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(Http, SignalsEndNeitherTheWaitNorTheRead)
{
    Answer a(256);
    Interrupter signals;
    Server late({-1, kOk, 600});
    EXPECT_EQ(request(late.port(), "GET", "/", nullptr, nullptr, a), 200);
    Server split({-1, kOk, 0, 600});
    EXPECT_EQ(request(split.port(), "GET", "/", nullptr, nullptr, a), 200);
    EXPECT_EQ(a.head(kOk.size()), kOk);

    Server silent({-1, "", 0, 0, Ending::Silent});
    auto t = Clock::now();
    EXPECT_EQ(request(silent.port(), "GET", "/", nullptr, nullptr, a, 1), -5);
    EXPECT_LT(secondsSince(t), 1.9); /* the time left, not the whole wait again */
}

TEST_F(Http, UploadEndsAtOnceWhenTheBodyRunsDry)
{
    PatternStream body(20000, 10000);
    const std::string head = "PUT /p HTTP/1.1\r\nContent-length: 20004\r\n\r\n";
    Server s({static_cast<long>(head.size()) + 10000, kOk, 0, 0, Ending::Silent});
    Answer a(64);
    auto t = Clock::now();
    EXPECT_EQ(request(s.port(), "PUT", "/p", nullptr, body.fp, a, 2), -4);
    EXPECT_LT(secondsSince(t), 1.0); /* no answer is waited for */
    EXPECT_EQ(s.received(), head + PatternStream::bytes(10000));
}

TEST_F(Http, ServerClosingDuringUploadRaisesNoSigpipe)
{
    PatternStream body(32L << 20, 32L << 20);
    Server s({0, "", 0, 0, Ending::FinThenReset});
    Answer a(64);
    EXPECT_EQ(request(s.port(), "POST", "/p", nullptr, body.fp, a), -4);
}

TEST_F(Http, UnmeasurableBodyIsRefusedBeforeConnecting)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    FILE *r = fdopen(p[0], "r");
    Fd w(p[1]);
    Server s({-1, kOk});
    Answer a(64);
    EXPECT_EQ(request(s.port(), "POST", "/p", nullptr, r, a), -4);
    EXPECT_EQ(s.connections(), 0);
    fclose(r);
}

TEST_F(Http, HeadMustFitTheRequestBuffer)
{
    Answer a(64);
    TempDir dir;
    FILE *f = dir.file("empty", "");
    /* "GET / HTTP/1.1\r\n" + headers + "\r\n" = 18 + headers bytes; at most 8191 */
    std::string headers(8173, 'h');
    Server fits({8191, kOk});
    EXPECT_EQ(request(fits.port(), "GET", "/", headers.c_str(), nullptr, a), 200);
    EXPECT_EQ(fits.received().size(), 8191u);
    headers += 'h';
    Server over({-1, kOk});
    EXPECT_EQ(request(over.port(), "GET", "/", headers.c_str(), nullptr, a), -9);
    EXPECT_EQ(over.connections(), 0);

    /* "PUT / HTTP/1.1\r\n" + headers + "Content-length: 4\r\n\r\n" = 37 + headers; at most 8187 */
    headers.assign(8150, 'h');
    Server putFits({8191, kOk});
    EXPECT_EQ(request(putFits.port(), "PUT", "/", headers.c_str(), f, a), 200);
    EXPECT_EQ(putFits.received().size(), 8191u);
    headers += 'h';
    Server putOver({-1, kOk});
    EXPECT_EQ(request(putOver.port(), "PUT", "/", headers.c_str(), f, a), -9);
    EXPECT_EQ(putOver.connections(), 0);
    fclose(f);
}

TEST_F(Http, ArgumentsRefusedBeforeAnySocket)
{
    char buf[16];
    EXPECT_EQ(makeHttpRequest(nullptr, 80, 1, "GET", "/", nullptr, nullptr, buf, 16), -10);
    EXPECT_EQ(makeHttpRequest("127.0.0.1", 80, 1, nullptr, "/", nullptr, nullptr, buf, 16), -10);
    EXPECT_EQ(makeHttpRequest("127.0.0.1", 80, 1, "GET", nullptr, nullptr, nullptr, buf, 16), -10);
    EXPECT_EQ(makeHttpRequest("127.0.0.1", 80, 1, "POST", "/", nullptr, nullptr, buf, 16), -10);
    EXPECT_EQ(makeHttpRequest("127.0.0.1", 80, 1, "GET", "/", nullptr, nullptr, buf, -1), -10);
    EXPECT_EQ(makeHttpRequest("127.0.0.1", 80, 1, "GET", "/", nullptr, nullptr, nullptr, 16), -10);
}

TEST_F(Http, NameConnectAndPort)
{
    Answer a(64);
    EXPECT_EQ(makeHttpRequest("no-such-host.invalid", 80, 1, "GET", "/", nullptr, nullptr, a.buf.data(), 64), -2);
    int port = 0;
    Fd closed(boundSocket(false, &port));
    EXPECT_EQ(request(port, "GET", "/", nullptr, nullptr, a), -3);
    Server s({-1, kOk});
    EXPECT_EQ(makeHttpRequest("localhost", s.port() + 65536, 2, "GET", "/", nullptr, nullptr, a.buf.data(), 64),
              200);
}

TEST_F(Http, SocketFailure)
{
    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    int lowest = open("/dev/null", O_RDONLY);
    close(lowest);
    rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    Answer a(64);
    int r = request(9, "GET", "/", nullptr, nullptr, a);
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(r, -1);
}

TEST_F(Http, DescriptorBeyondSelectIsRefused)
{
    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    if (old.rlim_max != RLIM_INFINITY && old.rlim_max < FD_SETSIZE + 16)
        GTEST_SKIP() << "descriptor limit too low";
    rlimit more = old;
    if (more.rlim_cur != RLIM_INFINITY && more.rlim_cur < FD_SETSIZE + 16)
        more.rlim_cur = FD_SETSIZE + 16;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &more), 0);
    Server s({18, kOk});
    Fd null(open("/dev/null", O_RDONLY));
    std::vector<int> filler;
    for (int fd = dup(null.fd); fd >= 0; fd = dup(null.fd)) {
        filler.push_back(fd);
        if (fd >= FD_SETSIZE - 1)
            break;
    }
    Answer a(64);
    EXPECT_EQ(request(s.port(), "GET", "/", nullptr, nullptr, a), -6);
    EXPECT_EQ(s.received(), "GET / HTTP/1.1\r\n\r\n");
    for (int fd : filler)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &old);
}

const char kHandler[] = R"(import http.server, os, sys
out = sys.argv[1]
class Handler(http.server.BaseHTTPRequestHandler):
    def do_PUT(self):
        data = self.rfile.read(int(self.headers['Content-Length']))
        with open(os.path.join(out, 'uploaded'), 'wb') as f:
            f.write(data)
        self.send_response(201)
        self.send_header('Content-Length', '0')
        self.end_headers()
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(('127.0.0.1', 0), Handler)
with open(os.path.join(out, 'port.tmp'), 'w') as f:
    f.write(str(server.server_port))
os.rename(os.path.join(out, 'port.tmp'), os.path.join(out, 'port'))
server.serve_forever()
)";

bool havePython()
{
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "";
    for (size_t at = 0; at <= dirs.size();) {
        size_t end = dirs.find(':', at);
        if (end == std::string::npos)
            end = dirs.size();
        if (access((dirs.substr(at, end - at) + "/python3").c_str(), X_OK) == 0)
            return true;
        at = end + 1;
    }
    return false;
}

TEST_F(Http, UploadToPythonHttpServer)
{
    if (!havePython())
        GTEST_SKIP() << "python3 not found";
    TempDir dir;
    std::ofstream(dir.path / "handler.py") << kHandler;
    const std::string script = (dir.path / "handler.py").string(), out = dir.path.string();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execlp("python3", "python3", script.c_str(), out.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int port = 0;
    for (int i = 0; i < 100 && !port; ++i) {
        std::ifstream(dir.path / "port") >> port;
        if (!port)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (port) {
        const std::string doc = "<?xml version=\"1.0\"?>\r\n<job id=\"7\"/>\r\n";
        FILE *f = dir.file("job.xml", doc);
        Answer a(1024);
        EXPECT_EQ(request(port, "PUT", "/jobs/7.xml", "Host: 127.0.0.1\r\nContent-Type: text/xml\r\n", f, a),
                  201);
        EXPECT_EQ(a.head(13), "HTTP/1.0 201 ");
        fclose(f);
        std::ifstream in(dir.path / "uploaded", std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), doc + "\r\n\r\n");
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    EXPECT_NE(port, 0) << "the server did not start";
}

} // namespace
