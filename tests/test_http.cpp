/* HTTP client: exact request bytes, answers, every result code and no leaked
   descriptor, against a scripted loopback server and Python's http.server. */
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TandelCntrl.h"

namespace {

using namespace std::chrono;
namespace fs = std::filesystem;
enum Ending { Close, Reset, Silent, FinThenReset }; /* FinThenReset: the case that would raise SIGPIPE */

struct Script {
    long expect = -1; /* request bytes to wait for; -1: until the client is quiet */
    std::string answer;
    int delayMs = 0, splitMs = 0; /* before the answer; after its first 12 bytes */
    Ending ending = Close;
};

/* Accepts one connection on a loopback port, records what arrives, plays the script. */
class Server {
public:
    explicit Server(Script s) : script_(std::move(s)), fd_(socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        bind(fd_, reinterpret_cast<sockaddr *>(&a), len);
        listen(fd_, 4);
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~Server()
    {
        connections();
        close(fd_);
    }
    std::string received() /* once the script has played to its end */
    {
        if (thread_.joinable())
            thread_.join();
        return received_;
    }
    int connections()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        return accepted_;
    }
    int port = 0;

private:
    bool readable(int fd, int ms)
    {
        for (auto end = steady_clock::now() + milliseconds(ms); steady_clock::now() < end && !stop_;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) > 0)
                return true;
        }
        return false;
    }
    bool take(int fd) /* false once the client has closed */
    {
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        return n > 0 && (received_.append(buf, static_cast<size_t>(n)), true);
    }
    void put(int fd, const std::string &s)
    {
        for (ssize_t at = 0, n; at < static_cast<ssize_t>(s.size()); at += n)
            if ((n = send(fd, s.data() + at, s.size() - at, MSG_NOSIGNAL)) <= 0)
                return;
    }
    void run()
    {
        if (!readable(fd_, 5000))
            return;
        int c = accept(fd_, nullptr, nullptr);
        ++accepted_;
        bool open = true;
        while (open && (script_.expect < 0 || static_cast<long>(received_.size()) < script_.expect) &&
               readable(c, script_.expect < 0 ? 200 : 5000))
            open = take(c);
        if (open && readable(c, 50)) /* bytes beyond the expected ones */
            open = take(c);
        std::this_thread::sleep_for(milliseconds(script_.delayMs));
        size_t first = script_.splitMs ? 12 : script_.answer.size();
        put(c, script_.answer.substr(0, first));
        std::this_thread::sleep_for(milliseconds(script_.splitMs));
        put(c, script_.answer.substr(std::min(first, script_.answer.size())));
        if (script_.ending == FinThenReset) {
            shutdown(c, SHUT_WR);
            std::this_thread::sleep_for(milliseconds(50));
        }
        if (script_.ending == Reset || script_.ending == FinThenReset) {
            linger l{1, 0};
            setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        } else {
            if (script_.ending == Close)
                shutdown(c, SHUT_WR);
            while (open && readable(c, 5000)) /* until the client closes */
                open = take(c);
        }
        close(c);
    }
    Script script_;
    int fd_, accepted_ = 0;
    std::atomic<bool> stop_{false};
    std::string received_;
    std::thread thread_; /* last: starts after the rest is set */
};

/* A stream that claims `size` pattern bytes and delivers `delivers` of them. */
struct Pattern {
    long size, delivers, pos = 0;
    FILE *fp;
    Pattern(long s, long d) : size(s), delivers(d)
    {
        cookie_io_functions_t io{};
        io.read = [](void *c, char *buf, size_t n) -> ssize_t {
            auto *p = static_cast<Pattern *>(c);
            size_t k = 0;
            for (; k < n && p->pos < p->delivers; ++k, ++p->pos)
                buf[k] = static_cast<char>('a' + p->pos % 26);
            return static_cast<ssize_t>(k);
        };
        io.seek = [](void *c, off64_t *off, int whence) -> int {
            auto *p = static_cast<Pattern *>(c);
            *off = p->pos = (whence == SEEK_END ? p->size : whence == SEEK_CUR ? p->pos : 0) + *off;
            return 0;
        };
        fp = fopencookie(this, "r", io);
    }
    ~Pattern() { fclose(fp); }
    static std::string bytes(long n)
    {
        std::string s;
        while (static_cast<long>(s.size()) < n)
            s += static_cast<char>('a' + s.size() % 26);
        return s;
    }
};

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

class Http : public ::testing::Test {
protected:
    void SetUp() override { fds_ = openFds(); }
    void TearDown() override { EXPECT_EQ(openFds(), fds_) << "descriptor left open"; }
    static long openFds() { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); }
    /* The answer buffer has 64 guard bytes behind responseSize. */
    int request(int port, const char *method, const char *path, const char *headers, FILE *body,
                int size = 256, int timeout = 2, const char *host = "127.0.0.1")
    {
        answer.assign(static_cast<size_t>(size) + 64, 'U');
        return makeHttpRequest(host, port, timeout, method, path, headers, body, answer.data(), size);
    }
    FILE *file(const std::string &content) /* a temporary file, removed at once */
    {
        FILE *f = tmpfile();
        fwrite(content.data(), 1, content.size(), f);
        return f;
    }
    std::string answer;
    long fds_ = 0;
};

TEST_F(Http, ExactRequestBytes)
{
    std::string big;
    for (int i = 0; i < 20000; ++i)
        big += static_cast<char>(i * 7 % 251);
    const struct {
        const char *method, *path, *headers;
        std::string body; /* "-": no stream */
        long seek, endPos;
        std::string sent, answer;
        int result;
    } cases[] = {
        {"GET", "/st\xc3\xa4tus?x=1", nullptr, "-", 0, 0, "GET /st\xc3\xa4tus?x=1 HTTP/1.1\r\n\r\n", kOk,
         200},
        {"DELETE", "/j/1", "Host: ctl\r\nX-A: b\r\n", "-", 0, 0,
         "DELETE /j/1 HTTP/1.1\r\nHost: ctl\r\nX-A: b\r\n\r\n", kOk, 200},
        {"PUT", "/a", "Host: h\r\n", "", 0, 0,
         "PUT /a HTTP/1.1\r\nHost: h\r\nContent-length: 4\r\n\r\n\r\n\r\n", "HTTP/1.1 404 Not Found\r\n\r\n",
         404},
        /* the whole stream from its start, in parts of 8192 */
        {"POST", "/up", nullptr, big, 5000, 20000,
         "POST /up HTTP/1.1\r\nContent-length: 20004\r\n\r\n" + big + "\r\n\r\n",
         "HTTP/1.1 201 Created\r\n\r\n", 201},
        {"put", "/x", nullptr, "body", 3, 3, "put /x HTTP/1.1\r\n\r\n", kOk, 200}, /* not PUT: no body */
    };
    for (const auto &c : cases) {
        FILE *f = c.body == "-" ? nullptr : file(c.body);
        if (f)
            fseek(f, c.seek, SEEK_SET);
        Server s({c.method[0] == 'P' ? static_cast<long>(c.sent.size()) : -1, c.answer});
        EXPECT_EQ(request(s.port, c.method, c.path, c.headers, f), c.result) << c.method;
        EXPECT_EQ(s.received(), c.sent) << c.method;
        EXPECT_EQ(answer.substr(0, c.answer.size() + 1), c.answer + "U");
        if (f) {
            EXPECT_EQ(ftell(f), c.endPos);
            fclose(f);
        }
    }
}

TEST_F(Http, StatusFromReceivedBytesAndResponseSize)
{
    const std::string big = "HTTP/1.1 503 Busy\r\n\r\n" + Pattern::bytes(30000);
    const struct {
        std::string answer;
        int size, result;
    } cases[] = {
        {"HTTP/1.1 200 ", 64, 1},
        {"HTTP/1.1 404 N", 64, 404},
        {"HTTP/1.1 OK xx", 64, 2},
        {"HTTP/1.1    12", 64, 12}, /* the "42" behind is not read */
        {"HTTP/1.1      ", 64, 2},
        {"HTTP/1.1 -42 Neg", 64, -42},
        {"HTTP/1.1 99999999999 Big", 64, 2},
        {"H", 64, 1},
        {big, 100, 503},
        {big, 40000, 503},
        {big, 0, -8},
        {"", 64, -8}, /* the last: closes at once */
    };
    for (const auto &c : cases) {
        Server s({-1, c.answer});
        answer.assign(c.size + 64, 'U');
        answer.replace(std::min<size_t>(c.answer.size(), c.size), 3, "42 ");
        EXPECT_EQ(
            makeHttpRequest("127.0.0.1", s.port, 2, "GET", "/", nullptr, nullptr, answer.data(), c.size),
            c.result)
            << c.answer.substr(0, 30);
        size_t n = std::min<size_t>(c.answer.size(), c.size);
        EXPECT_EQ(answer.substr(0, n + 3), c.answer.substr(0, n) + "42 ");
        EXPECT_EQ(answer.find_first_not_of('U', n + 3), std::string::npos); /* guard intact */
    }
}

void onSignal(int) {}

/* SIGUSR1 without SA_RESTART to the test's thread every 100 ms while it lives. */
class SignalTicker {
public:
    SignalTicker()
    {
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigaction(SIGUSR1, &sa, &old_);
        thread_ = std::thread([this, self = pthread_self()] {
            for (; !stop_; std::this_thread::sleep_for(milliseconds(100)))
                pthread_kill(self, SIGUSR1);
        });
    }
    ~SignalTicker()
    {
        stop_ = true;
        thread_.join();
        sigaction(SIGUSR1, &old_, nullptr);
    }

private:
    struct sigaction old_ {};
    std::atomic<bool> stop_{false};
    std::thread thread_; /* last: starts after the rest is set */
};

TEST_F(Http, WaitForTheFirstByteAndSignals)
{
    Server reset({18, "", 0, 0, Reset});
    EXPECT_EQ(request(reset.port, "GET", "/", nullptr, nullptr), -7);
    EXPECT_EQ(errno, ECONNRESET);
    Server negative({-1, kOk});
    EXPECT_EQ(request(negative.port, "GET", "/", nullptr, nullptr, 64, -2), -6);
    Server standard({-1, kOk, 300});
    EXPECT_EQ(request(standard.port, "GET", "/", nullptr, nullptr, 64, -1), 200);

    /* SIGUSR1 without SA_RESTART every 100 ms ends neither the wait nor a read */
    SignalTicker ticker;
    Server late({-1, kOk, 600}), split({-1, kOk, 0, 600}), silent({-1, "", 0, 0, Silent});
    EXPECT_EQ(request(late.port, "GET", "/", nullptr, nullptr), 200);
    EXPECT_EQ(request(split.port, "GET", "/", nullptr, nullptr), 200);
    EXPECT_EQ(answer.substr(0, kOk.size()), kOk);
    auto t = steady_clock::now();
    EXPECT_EQ(request(silent.port, "GET", "/", nullptr, nullptr, 64, 1), -5);
    double took = duration<double>(steady_clock::now() - t).count();
    EXPECT_TRUE(took > 0.9 && took < 1.9) << took; /* the time left, not the whole wait again */
    EXPECT_EQ(silent.received(), "GET / HTTP/1.1\r\n\r\n");
}

TEST_F(Http, EachLaterReadWaitsTheTimeout)
{
    SignalTicker ticker;
    const struct {
        Script script;
        int result;
        double took;
    } cases[] = {
        {{-1, "H", 0, 0, Silent}, 1, 1.0},   /* one byte, then a stall */
        {{-1, kOk, 0, 0, Silent}, 200, 1.0}, /* keeps the connection open */
        {{-1, kOk, 700, 700}, 200, 1.4},     /* slow but moving: not cut off */
    };
    for (const auto &c : cases) {
        Server s(c.script);
        auto t = steady_clock::now();
        EXPECT_EQ(request(s.port, "GET", "/", nullptr, nullptr, 256, 1), c.result) << c.script.answer;
        double took = duration<double>(steady_clock::now() - t).count();
        EXPECT_TRUE(took > c.took - 0.1 && took < c.took + 1.0) << took;
        EXPECT_EQ(answer.substr(0, c.script.answer.size() + 1), c.script.answer + "U");
    }
}

/* A listener whose accept queue (backlog 0) is full: the kernel drops
   further SYNs, and a connect waits for a retry that is never answered. */
struct FullListener {
    int fd = socket(AF_INET, SOCK_STREAM, 0), filler = socket(AF_INET, SOCK_STREAM, 0), port = 0;
    FullListener()
    {
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        bind(fd, reinterpret_cast<sockaddr *>(&a), len);
        listen(fd, 0);
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        EXPECT_EQ(connect(filler, reinterpret_cast<sockaddr *>(&a), len), 0);
    }
    ~FullListener() { close(filler), close(fd); }
};

/* Signals do not fail a connect the kernel retries a second later. */
TEST_F(Http, ConnectInterruptedBySignalsGoesOn)
{
    FullListener full;
    std::thread server([&full] {
        std::this_thread::sleep_for(milliseconds(400));
        close(accept(full.fd, nullptr, nullptr)); /* the filler */
        int c = accept(full.fd, nullptr, nullptr);
        std::string got;
        char buf[512];
        for (ssize_t n; got.find("\r\n\r\n") == std::string::npos && (n = recv(c, buf, sizeof buf, 0)) > 0;)
            got.append(buf, static_cast<size_t>(n));
        send(c, kOk.data(), kOk.size(), MSG_NOSIGNAL);
        close(c);
    });
    SignalTicker ticker;
    EXPECT_EQ(request(full.port, "GET", "/", nullptr, nullptr, 256, 5), 200);
    server.join();
}

TEST_F(Http, ConnectAndSendStallsFailAfterTheTimeout)
{
    FullListener full; /* before the ticker: its own connect must not see a signal */
    SignalTicker ticker;
    Pattern huge(50L << 20, 50L << 20);
    Server stalled({0, "", 2000, 0, Reset}); /* takes one read's worth, then nothing for 2 s */
    const struct {
        int port;
        const char *method;
        FILE *body;
        int result;
    } cases[] = {{stalled.port, "PUT", huge.fp, -12}, {full.port, "GET", nullptr, -11}};
    for (const auto &c : cases) {
        auto t = steady_clock::now();
        errno = 0;
        EXPECT_EQ(request(c.port, c.method, "/", nullptr, c.body, 64, 1), c.result);
        EXPECT_EQ(errno, ETIMEDOUT);
        double took = duration<double>(steady_clock::now() - t).count();
        EXPECT_TRUE(took > 0.9 && took < 5) << took;
    }
}

TEST_F(Http, SocketIsCloseOnExec)
{
    Server s({-1, kOk, 300});
    std::thread client([this, &s] { EXPECT_EQ(request(s.port, "GET", "/", nullptr, nullptr), 200); });
    std::this_thread::sleep_for(milliseconds(150));
    int flags = -1;
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len) == 0 && ntohs(peer.sin_port) == s.port)
            flags = fcntl(fd, F_GETFD);
    }
    client.join();
    EXPECT_EQ(flags, FD_CLOEXEC);
}

TEST_F(Http, BodyFailuresEndTheUploadAtOnce)
{
    Pattern dry(20000, 10000);
    const std::string head = "PUT /p HTTP/1.1\r\nContent-length: 20004\r\n\r\n";
    Server s({static_cast<long>(head.size()) + 10000, kOk, 0, 0, Silent});
    auto t = steady_clock::now();
    EXPECT_EQ(request(s.port, "PUT", "/p", nullptr, dry.fp, 64), -4);
    EXPECT_LT(duration<double>(steady_clock::now() - t).count(), 1.0); /* no answer awaited */
    EXPECT_EQ(s.received(), head + Pattern::bytes(10000));

    Pattern huge(32L << 20, 32L << 20); /* the server closes while it is sent: no SIGPIPE */
    Server closing({0, "", 0, 0, FinThenReset});
    EXPECT_EQ(request(closing.port, "POST", "/p", nullptr, huge.fp, 64), -4);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    FILE *r = fdopen(p[0], "r");
    Server unused({-1, kOk});
    EXPECT_EQ(request(unused.port, "POST", "/p", nullptr, r, 64), -4); /* not measurable */
    EXPECT_EQ(unused.connections(), 0);
    fclose(r);
    close(p[1]);
}

TEST_F(Http, RefusedBeforeAnySocket)
{
    FILE *f = file("");
    /* heads of at most 8191 bytes (8187 with a length header) fit */
    const struct {
        const char *method;
        size_t headers;
        int result;
    } heads[] = {{"GET", 8173, 200}, {"GET", 8174, -9}, {"PUT", 8150, 200}, {"PUT", 8151, -9}};
    for (const auto &c : heads) {
        Server s({c.result > 0 ? 8191 : -1, kOk});
        EXPECT_EQ(request(s.port, c.method, "/", std::string(c.headers, 'h').c_str(), f, 64), c.result);
        EXPECT_EQ(s.connections(), c.result > 0 ? 1 : 0);
        EXPECT_EQ(s.received().size(), c.result > 0 ? 8191u : 0u);
    }
    fclose(f);
    Server idle({-1, kOk}); /* blanks and control characters would change the request's lines */
    const char *const lines[][2] = {
        {"GET", "/a\r\nX-B: c"}, {"GET", "/a b"}, {"GE\tT", "/"}, {"GET", "/\x7f"}, {"G\x01", "/"}};
    for (const auto &c : lines)
        EXPECT_EQ(request(idle.port, c[0], c[1], nullptr, nullptr, 64), -10) << c[1];
    EXPECT_EQ(idle.connections(), 0);
    char buf[16];
    EXPECT_EQ(makeHttpRequest(nullptr, 80, 1, "GET", "/", nullptr, nullptr, buf, 16), -10);
    EXPECT_EQ(makeHttpRequest("127.0.0.1", 80, 1, nullptr, "/", nullptr, nullptr, buf, 16), -10);
    EXPECT_EQ(makeHttpRequest("127.0.0.1", 80, 1, "GET", nullptr, nullptr, nullptr, buf, 16), -10);
    EXPECT_EQ(makeHttpRequest("127.0.0.1", 80, 1, "POST", "/", nullptr, nullptr, buf, 16), -10);
    EXPECT_EQ(makeHttpRequest("127.0.0.1", 80, 1, "GET", "/", nullptr, nullptr, buf, -1), -10);
    EXPECT_EQ(makeHttpRequest("127.0.0.1", 80, 1, "GET", "/", nullptr, nullptr, nullptr, 16), -10);
}

TEST_F(Http, NameSocketAndConnectFailures)
{
    EXPECT_EQ(request(80, "GET", "/", nullptr, nullptr, 64, 1, "no-such-host.invalid"), -2);
    int closedPort;
    {
        Server gone({-1, ""});
        closedPort = gone.port;
    }
    EXPECT_EQ(request(closedPort, "GET", "/", nullptr, nullptr), -3);
    EXPECT_EQ(errno, ECONNREFUSED);
    Server named({-1, kOk});
    EXPECT_EQ(request(named.port + 65536, "GET", "/", nullptr, nullptr, 64, 2, "localhost"),
              200); /* low 16 bits */

    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    rlimit lim = old;
    int null = open("/dev/null", O_RDONLY);
    lim.rlim_cur = static_cast<rlim_t>(null); /* no descriptor left below it */
    close(null);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    EXPECT_EQ(request(9, "GET", "/", nullptr, nullptr), -1);
    EXPECT_EQ(errno, EMFILE);
    lim.rlim_cur = static_cast<rlim_t>(null) + 1; /* the socket, but nothing for the lookup */
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    EXPECT_EQ(request(9, "GET", "/", nullptr, nullptr, 64, 1, "localhost"), -13);
    if (old.rlim_max == RLIM_INFINITY || old.rlim_max >= FD_SETSIZE + 16) {
        lim.rlim_cur = FD_SETSIZE + 16;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
        Server s({18, kOk});
        null = open("/dev/null", O_RDONLY);
        std::vector<int> filler; /* the request's socket lands beyond FD_SETSIZE */
        for (int fd; (fd = dup(null)) >= 0 && (filler.push_back(fd), fd < FD_SETSIZE - 1);)
            ;
        EXPECT_EQ(request(s.port, "GET", "/", nullptr, nullptr), 200);
        EXPECT_EQ(s.received(), "GET / HTTP/1.1\r\n\r\n");
        for (int fd : filler)
            close(fd);
        close(null);
    }
    setrlimit(RLIMIT_NOFILE, &old);
}

const char kHandler[] = R"(import http.server, os, sys
class Handler(http.server.BaseHTTPRequestHandler):
    def do_PUT(self):
        data = self.rfile.read(int(self.headers['Content-Length']))
        open(os.path.join(sys.argv[1], 'uploaded'), 'wb').write(data)
        self.send_response(201)
        self.send_header('Content-Length', '0')
        self.end_headers()
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(('127.0.0.1', 0), Handler)
open(os.path.join(sys.argv[1], 'port.tmp'), 'w').write(str(server.server_port))
os.rename(os.path.join(sys.argv[1], 'port.tmp'), os.path.join(sys.argv[1], 'port'))
server.serve_forever()
)";

TEST_F(Http, UploadToPythonHttpServer)
{
    std::string tmpl = (fs::temp_directory_path() / "httptest.XXXXXX").string();
    const fs::path dir = mkdtemp(tmpl.data());
    std::ofstream(dir / "handler.py") << kHandler;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execlp("python3", "python3", (dir / "handler.py").c_str(), dir.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int port = 0;
    for (int i = 0; i < 100 && !port; ++i)
        if (!(std::ifstream(dir / "port") >> port))
            std::this_thread::sleep_for(milliseconds(50));
    if (port) {
        const std::string doc = "<?xml version=\"1.0\"?>\r\n<job id=\"7\"/>\r\n";
        FILE *f = file(doc);
        EXPECT_EQ(
            request(port, "PUT", "/jobs/7.xml", "Host: 127.0.0.1\r\nContent-Type: text/xml\r\n", f, 1024),
            201);
        EXPECT_EQ(answer.substr(0, 13), "HTTP/1.0 201 ");
        fclose(f);
        std::ifstream in(dir / "uploaded", std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), doc + "\r\n\r\n");
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    fs::remove_all(dir);
    if (!port && WIFEXITED(status) && WEXITSTATUS(status) == 127)
        GTEST_SKIP() << "no python3";
    EXPECT_NE(port, 0) << "python3's http.server did not start";
}

} // namespace
