/* HTTP client against scripted loopback servers: exact request bytes,
   answers, every result code, waits under signals, no leaked descriptor. */
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include "TandelCntrl.h"

namespace {

using namespace std::chrono;
enum Ending { Silent, Close, Reset, FinThenReset }; /* bits: FIN, RST; FinThenReset would raise SIGPIPE */

struct Script {
    long expect = -1; /* request bytes to wait for; -1: until the client is quiet */
    std::string answer;
    int delayMs = 0, splitMs = 0; /* before the answer; after its first 12 bytes */
    Ending ending = Close;
};

bool readable(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

sockaddr_in loopback(int port)
{
    return {AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
}

int listenOn(int backlog, int *port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), len);
    listen(fd, backlog);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

double since(steady_clock::time_point t) { return duration<double>(steady_clock::now() - t).count(); }

/* Accepts one connection, records what arrives, plays the script. */
struct Server {
    explicit Server(Script s) : sc(std::move(s)) {}
    ~Server() { connections(), close(fd); }
    std::string received() { return thread.joinable() ? (thread.join(), got) : got; } /* once played */
    int connections() { return shutdown(fd, SHUT_RD), received(), accepted; }
    void run()
    {
        int c = readable(fd, 5000) ? accept(fd, nullptr, nullptr) : -1;
        if (c < 0)
            return;
        ++accepted;
        auto take = [&](int ms) { /* false once the client is quiet or has closed */
                                  char buf[65536];
                                  ssize_t n = readable(c, ms) ? recv(c, buf, sizeof buf, 0) : 0;
                                  return n > 0 && (got.append(buf, static_cast<size_t>(n)), true);
        };
        while ((sc.expect < 0 || static_cast<long>(got.size()) < sc.expect) &&
               take(sc.expect < 0 ? 200 : 5000)) {}
        take(50); /* bytes beyond the expected ones */
        std::this_thread::sleep_for(milliseconds(sc.delayMs));
        size_t first = std::min<size_t>(12, sc.answer.size());
        send(c, sc.answer.data(), first, MSG_NOSIGNAL);
        std::this_thread::sleep_for(milliseconds(sc.splitMs));
        send(c, sc.answer.data() + first, sc.answer.size() - first, MSG_NOSIGNAL);
        if (sc.ending & Close)
            shutdown(c, SHUT_WR), std::this_thread::sleep_for(milliseconds(50));
        linger reset{1, 0};
        if (sc.ending & Reset)
            setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        while (!(sc.ending & Reset) && take(5000)) { /* until the client closes */
        }
        close(c);
    }
    Script sc;
    int port = 0, fd = listenOn(4, &port), accepted = 0;
    std::string got;
    std::thread thread{[this] { run(); }}; /* last: starts after the rest is set */
};

/* SIGUSR1 (no SA_RESTART, see SetUp) to the test's thread every 100 ms while it lives. */
struct SignalTicker {
    ~SignalTicker() { stop = true, thread.join(); }
    std::atomic<bool> stop{false};
    std::thread thread{[this, self = pthread_self()] {
        for (; !stop; std::this_thread::sleep_for(milliseconds(100)))
            pthread_kill(self, SIGUSR1);
    }};
};

/* A file of `size` zero bytes, without taking the room. */
FILE *zeros(long size)
{
    FILE *f = tmpfile();
    EXPECT_EQ(ftruncate(fileno(f), size), 0);
    return f;
}

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

class Http : public ::testing::Test {
protected:
    void SetUp() override
    {
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigaction(SIGUSR1, &sa, nullptr);
        fds = openFds();
    }
    void TearDown() override { EXPECT_EQ(openFds(), fds) << "descriptor left open"; }
    static int openFds()
    {
        int n = 0;
        for (int fd = 0; fd < 4096; ++fd)
            n += fcntl(fd, F_GETFD) != -1;
        return n;
    }
    /* The answer buffer has 64 guard bytes behind size. */
    int request(int port, const char *method, const char *path = "/", FILE *body = nullptr, int timeout = 2,
                const char *headers = nullptr, int size = 256, const char *host = "127.0.0.1")
    {
        answer.assign(static_cast<size_t>(size) + 64, 'U');
        return makeHttpRequest(host, port, timeout, method, path, headers, body, answer.data(), size);
    }
    /* Under signals: result, errno, seconds taken and the answer stored. */
    void timed(const Script &sc, int timeout, int result, double took, int error = 0, int port = 0,
               FILE *body = nullptr)
    {
        SignalTicker ticker;
        Server s(sc);
        auto t = steady_clock::now();
        errno = 0;
        EXPECT_EQ(request(port ? port : s.port, body ? "PUT" : "GET", "/", body, timeout), result);
        EXPECT_EQ(error ? errno : 0, error);
        EXPECT_TRUE(since(t) > took - 0.1 && since(t) < took + (body ? 4 : 1)) << since(t);
        EXPECT_EQ(answer.substr(0, sc.answer.size() + 1), sc.answer + "U");
    }
    std::string answer;
    int fds = 0;
};

TEST_F(Http, ExactRequestBytes)
{
    std::string big;
    for (int i = 0; i < 20000; ++i)
        big += static_cast<char>(i * 7 % 251);
    const struct {
        const char *method, *path, *headers;
        std::string body, sent, answer; /* body "-": no stream */
        long seek, endPos;
        int result;
    } cases[] = {
        // clang-format off
        {"GET", "/st\xc3\xa4tus?x=1", nullptr, "-", "GET /st\xc3\xa4tus?x=1 HTTP/1.1\r\n\r\n", kOk, 0, 0, 200},
        {"DELETE", "/j/1", "Host: ctl\r\nX-A: b\r\n", "-", "DELETE /j/1 HTTP/1.1\r\nHost: ctl\r\nX-A: b\r\n\r\n", kOk, 0, 0, 200},
        {"PUT", "/a", "Host: h\r\n", "", "PUT /a HTTP/1.1\r\nHost: h\r\nContent-length: 4\r\n\r\n\r\n\r\n", "HTTP/1.1 404 Not Found\r\n\r\n", 0, 0, 404},
        /* the whole stream from its start, in parts of 8192 */
        {"POST", "/up", nullptr, big, "POST /up HTTP/1.1\r\nContent-length: 20004\r\n\r\n" + big + "\r\n\r\n", "HTTP/1.1 201 Created\r\n\r\n", 5000, 20000, 201},
        {"put", "/x", nullptr, "body", "put /x HTTP/1.1\r\n\r\n", kOk, 3, 3, 200}, /* not PUT: no body */
        // clang-format on
    };
    for (const auto &c : cases) {
        FILE *f = c.body == "-" ? nullptr : tmpfile();
        if (f)
            fwrite(c.body.data(), 1, c.body.size(), f), fseek(f, c.seek, SEEK_SET);
        Server s({c.method[0] == 'P' ? static_cast<long>(c.sent.size()) : -1, c.answer});
        EXPECT_EQ(request(s.port, c.method, c.path, f, 2, c.headers), c.result) << c.method;
        EXPECT_EQ(s.received(), c.sent) << c.method;
        EXPECT_EQ(answer.substr(0, c.answer.size() + 1), c.answer + "U");
        EXPECT_EQ(f ? ftell(f) : 0, c.endPos);
        if (f)
            fclose(f);
    }
}

TEST_F(Http, StatusFromReceivedBytesAndResponseSize)
{
    const std::string big = "HTTP/1.1 503 Busy\r\n\r\n" + std::string(30000, 'b');
    const struct {
        std::string answer;
        int size, result;
    } cases[] = {
        // clang-format off
        {"HTTP/1.1 200 ", 64, 1}, {"HTTP/1.1 404 N", 64, 404}, {"HTTP/1.1 OK xx", 64, 2}, {"HTTP/1.1    12", 64, 12},
        {"HTTP/1.1 \t\r7 xx", 64, 7}, {"HTTP/1.1      ", 64, 2}, {"HTTP/1.1 -42 Neg", 64, -42},
        {"HTTP/1.1 99999999999 Big", 64, 2}, {"H", 64, 1}, {big, 100, 503}, {big, 40000, 503}, {big, 0, -8},
        {"", 64, -8}, /* the last: closes at once */
        // clang-format on
    };
    for (const auto &c : cases) {
        Server s({18, c.answer});
        size_t n = std::min<size_t>(c.answer.size(), static_cast<size_t>(c.size));
        answer.assign(static_cast<size_t>(c.size) + 64, 'U');
        answer.replace(n, 3, "42 "); /* behind the bytes received: not read */
        EXPECT_EQ(
            makeHttpRequest("127.0.0.1", s.port, 2, "GET", "/", nullptr, nullptr, answer.data(), c.size),
            c.result)
            << c.answer.substr(0, 30);
        EXPECT_EQ(answer.substr(0, n + 3), c.answer.substr(0, n) + "42 ");
        EXPECT_EQ(answer.find_first_not_of('U', n + 3), std::string::npos); /* guard intact */
    }
}

TEST_F(Http, FirstByteWaitsTheTimeout)
{
    timed({18, "", 0, 0, Reset}, 2, -7, 0, ECONNRESET);
    timed({-1, ""}, -2, -6, 0);
    timed({-1, kOk, 300}, -1, 200, 0.5);
    timed({-1, "", 0, 0, Silent}, 1, -5, 1.0); /* the time left, not the whole wait again */
}

TEST_F(Http, EachLaterReadWaitsTheTimeout)
{
    timed({-1, kOk, 0, 0, Silent}, 1, 200, 1.2); /* keeps the connection open */
    timed({-1, kOk, 700, 700}, 1, 200, 1.6);     /* slow but moving: not cut off */
}

TEST_F(Http, ConnectAndSendStallsFailAfterTheTimeout)
{
    /* Backlog 0 and a queued connection: the kernel drops further SYNs. */
    int port = 0, fd = listenOn(0, &port), filler = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    timed({}, 1, -11, 1.0, ETIMEDOUT, port);
    close(filler), close(fd);
    FILE *huge = zeros(50L << 20);
    timed({0, "", 2000, 0, Reset}, 1, -12, 1.0, ETIMEDOUT, 0, huge); /* one read's worth, then 2 s nothing */
    fclose(huge);
}

TEST_F(Http, BodyFailuresEndTheUploadAtOnce)
{
    FILE *t = tmpfile(), *unreadable = fdopen(dup(fileno(t)), "w");
    fwrite(kOk.data(), 1, kOk.size(), unreadable);
    Server silent({-1, "", 0, 0, Silent});
    auto start = steady_clock::now();
    EXPECT_EQ(request(silent.port, "PUT", "/p", unreadable), -4);
    EXPECT_LT(since(start), 1.0); /* no answer awaited */
    fclose(unreadable), fclose(t);

    FILE *huge = zeros(32L << 20); /* the server closes while it is sent: no SIGPIPE */
    Server closing({0, "", 0, 0, FinThenReset});
    EXPECT_EQ(request(closing.port, "POST", "/p", huge), -4);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;
    fclose(huge);

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    FILE *r = fdopen(p[0], "r");
    EXPECT_EQ(request(9, "POST", "/p", r), -4); /* not measurable; port 9 would refuse */
    fclose(r), close(p[1]);
}

TEST_F(Http, RefusedBeforeAnySocket)
{
    FILE *f = tmpfile();
    /* heads of at most 8191 bytes (8187 with a length header) fit */
    const struct {
        const char *method;
        size_t headers;
        int result;
    } heads[] = {{"GET", 8173, 200}, {"GET", 8174, -9}, {"PUT", 8150, 200}, {"PUT", 8151, -9}};
    for (const auto &c : heads) {
        Server s({8191, kOk});
        EXPECT_EQ(request(s.port, c.method, "/", f, 2, std::string(c.headers, 'h').c_str()), c.result);
        EXPECT_EQ(c.result > 0 ? s.received().size() : 8191u, 8191u);
        EXPECT_EQ(s.connections(), c.result > 0 ? 1 : 0);
    }
    fclose(f);
    /* blanks and control characters would change the request's lines */
    for (auto path : {"/a\r\nX-B: c", "/a b", "/\x7f"})
        EXPECT_EQ(request(9, "GET", path), -10) << path;
    EXPECT_EQ(request(9, "G\x01"), -10);
    EXPECT_EQ(request(9, nullptr), -10);
    EXPECT_EQ(request(9, "GET", nullptr), -10);
    EXPECT_EQ(request(9, "POST"), -10);
    EXPECT_EQ(request(9, "GET", "/", nullptr, 2, nullptr, -1), -10);
    EXPECT_EQ(request(9, "GET", "/", nullptr, 2, nullptr, 16, nullptr), -10);
    EXPECT_EQ(makeHttpRequest("127.0.0.1", 9, 1, "GET", "/", nullptr, nullptr, nullptr, 16), -10);
}

TEST_F(Http, NameSocketAndConnectFailures)
{
    EXPECT_EQ(request(80, "GET", "/", nullptr, 1, nullptr, 64, "no-such-host.invalid"), -2);
    int closedPort;
    close(listenOn(1, &closedPort));
    EXPECT_EQ(request(closedPort, "GET"), -3);
    EXPECT_EQ(errno, ECONNREFUSED);
    Server named({-1, kOk});
    EXPECT_EQ(request(named.port + 65536, "GET", "/", nullptr, 2, nullptr, 64, "localhost"),
              200); /* low 16 bits */

    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    rlimit lim = old;
    int null = open("/dev/null", O_RDONLY);
    lim.rlim_cur = static_cast<rlim_t>(null); /* no descriptor left below it */
    close(null);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    EXPECT_EQ(request(9, "GET"), -1);
    EXPECT_EQ(errno, EMFILE);
    lim.rlim_cur = static_cast<rlim_t>(null) + 1; /* the socket, but nothing for the lookup */
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    EXPECT_EQ(request(9, "GET", "/", nullptr, 1, nullptr, 64, "localhost"), -13);
    setrlimit(RLIMIT_NOFILE, &old);
}

} // namespace
