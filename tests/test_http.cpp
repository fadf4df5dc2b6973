/* HTTP client against scripted loopback servers: exact request bytes,
   answers, every result code, waits under signals, no leaked descriptor. */
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <filesystem>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <resolv.h>
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

int listenOn(int backlog, int *port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
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
    ~Server() { shutdown(fd, SHUT_RD), received(), close(fd); }
    std::string received() { return thread.joinable() ? (thread.join(), got) : got; } /* once played */
    void run()
    {
        int c = readable(fd, 5000) ? accept(fd, nullptr, nullptr) : -1;
        if (c < 0)
            return;
        /* false once the client is quiet or has closed */
        auto take = [&](int ms) {
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
        while (!(sc.ending & Reset) && take(5000)) {} /* until the client closes */
        close(c);
    }
    Script sc;
    int port = 0, fd = listenOn(4, &port);
    std::string got;
    std::thread thread{[this] { run(); }}; /* last: starts after the rest is set */
};

/* Points this thread's lookups at a resolver on a loopback UDP port:
   one that answers every question "no such name", or a port where none
   listens, as on a controller without a configured resolver. */
struct Resolver {
    explicit Resolver(bool answers)
    {
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        bind(fd, reinterpret_cast<sockaddr *>(&a), len);
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        if (answers)
            thread = std::thread([this] { answerNoSuchName(); });
        else
            close(fd), fd = -1;
        res_init();
        _res.nscount = 1;
        _res.nsaddr_list[0] = a;
        _res.retrans = 1;
        _res.retry = 1;
    }
    ~Resolver()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
        if (fd >= 0)
            close(fd);
        res_init(); /* the system's resolver again */
    }
    void answerNoSuchName()
    {
        unsigned char q[512];
        while (!stop) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = readable(fd, 50) ? recvfrom(fd, q, sizeof q, 0, reinterpret_cast<sockaddr *>(&from), &len) : 0;
            size_t end = 12; /* header, then the question's name and its type and class */
            while (end < static_cast<size_t>(std::max<ssize_t>(n, 0)) && q[end])
                end += q[end] + 1u;
            if (n < 12 || end + 5 > static_cast<size_t>(n))
                continue;
            q[2] = 0x81;                       /* an answer to a recursive question */
            q[3] = 0x83;                       /* recursion available; no such name */
            memset(q + 6, 0, 6);               /* no answer, authority or additional records */
            sendto(fd, q, end + 5, 0, reinterpret_cast<sockaddr *>(&from), len);
        }
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    std::atomic<bool> stop{false};
    std::thread thread;
};

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

class Http : public ::testing::Test {
protected:
    void SetUp() override { fds = openFds(); }
    void TearDown() override { EXPECT_EQ(openFds(), fds) << "descriptor left open"; }
    static long openFds() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }
    /* The answer buffer has 64 guard bytes behind size. */
    int request(int port, const char *method, const char *path = "/", FILE *body = nullptr, int timeout = 2,
                const char *headers = nullptr, int size = 256, const char *host = "127.0.0.1")
    {
        answer.assign(static_cast<size_t>(size) + 64, 'U');
        return makeHttpRequest(host, port, timeout, method, path, headers, body, answer.data(), size);
    }
    /* Under SIGUSR1 without SA_RESTART every 100 ms: result, errno, seconds taken, the answer. */
    void timed(const Script &sc, int timeout, int result, double took, int error = 0, int port = 0,
               FILE *body = nullptr)
    {
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigaction(SIGUSR1, &sa, nullptr);
        std::atomic<bool> stop{false};
        std::thread ticker([&stop, self = pthread_self()] {
            for (; !stop; std::this_thread::sleep_for(milliseconds(100)))
                pthread_kill(self, SIGUSR1);
        });
        Server s(sc);
        auto t = steady_clock::now();
        errno = 0;
        EXPECT_EQ(request(port ? port : s.port, body ? "PUT" : "GET", "/", body, timeout), result);
        const double taken = since(t);
        if (error) {
            EXPECT_EQ(errno, error);
        }
        EXPECT_GT(taken, took - 0.1);
        EXPECT_LT(taken, took + (body ? 4 : 1));
        EXPECT_EQ(answer.substr(0, sc.answer.size() + 1), sc.answer + "U");
        stop = true, ticker.join();
    }
    std::string answer;
    long fds = 0;
};

TEST_F(Http, ExactRequestBytes)
{
    const std::string big(20000, '\0');
    /* method, path, headers, body (only PUT and POST send it), bytes sent, answer, result */
    const std::tuple<const char *, const char *, const char *, std::string, std::string, std::string, int>
        cases[] = {
            // clang-format off
        {"GET", "/st\xc3\xa4tus?x=1", nullptr, "-", "GET /st\xc3\xa4tus?x=1 HTTP/1.1\r\n\r\n", kOk, 200},
        {"DELETE", "/j/1", "Host: ctl\r\nX-A: b\r\n", "-", "DELETE /j/1 HTTP/1.1\r\nHost: ctl\r\nX-A: b\r\n\r\n", kOk, 200},
        {"PUT", "/a", "Host: h\r\n", "", "PUT /a HTTP/1.1\r\nHost: h\r\nContent-length: 4\r\n\r\n\r\n\r\n", "HTTP/1.1 404 Not Found\r\n\r\n", 404},
        /* the whole stream from its start (each stands at its end), in parts of 8192 */
        {"POST", "/up", nullptr, big, "POST /up HTTP/1.1\r\nContent-length: 20004\r\n\r\n" + big + "\r\n\r\n", "HTTP/1.1 201 Created\r\n\r\n", 201},
        {"put", "/x", nullptr, "body", "put /x HTTP/1.1\r\n\r\n", kOk, 200}, /* not PUT: no body */
            // clang-format on
        };
    for (const auto &[method, path, headers, body, sent, reply, result] : cases) {
        FILE *f = tmpfile();
        fwrite(body.data(), 1, body.size(), f);
        Server s({method[0] == 'P' ? static_cast<long>(sent.size()) : -1, reply});
        EXPECT_EQ(request(s.port, method, path, f, 2, headers), result) << method;
        EXPECT_EQ(s.received(), sent) << method;
        EXPECT_EQ(answer.substr(0, reply.size() + 1), reply + "U");
        EXPECT_EQ(ftell(f), static_cast<long>(body.size()));
        fclose(f);
    }
}

TEST_F(Http, StatusFromReceivedBytesAndResponseSize)
{
    const std::string big = "HTTP/1.1 503 Busy\r\n\r\n" + std::string(30000, 'b');
    const std::tuple<std::string, int, int> cases[] = {
        // clang-format off
        {"HTTP/1.1 200 ", 64, HTTP_SHORT_ANSWER}, {"H", 64, HTTP_SHORT_ANSWER}, {"HTTP/1.1 404 N", 64, 404},
        {"HTTP/1.1 OK xx", 64, HTTP_NO_STATUS}, {"HTTP/1.1      ", 64, HTTP_NO_STATUS},
        {"HTTP/1.1 99999999999 Big", 64, HTTP_NO_STATUS}, {"HTTP/1.1    12", 64, 12},
        {"HTTP/1.1 \t\r7 xx", 64, 7}, {"HTTP/1.1 -42 Neg", 64, -42},
        {big, 100, 503}, {big, 40000, 503}, {big, 0, HTTP_NO_ANSWER},
        {"", 64, HTTP_NO_ANSWER}, /* the last: closes at once */
        // clang-format on
    };
    for (const auto &[text, size, result] : cases) {
        Server s({18, text});
        size_t n = std::min<size_t>(text.size(), static_cast<size_t>(size));
        answer.assign(static_cast<size_t>(size) + 64, 'U').replace(n, 3, "42 "); /* behind: not read */
        SCOPED_TRACE(text.substr(0, 30));
        EXPECT_EQ(makeHttpRequest("127.0.0.1", s.port, 2, "GET", "/", nullptr, nullptr, &answer[0], size),
                  result);
        EXPECT_EQ(answer.substr(0, n + 3), text.substr(0, n) + "42 ");
        EXPECT_EQ(answer.find_first_not_of('U', n + 3), std::string::npos); /* guard intact */
    }
}

TEST_F(Http, FirstByteWaitsTheTimeout)
{
    timed({18, "", 0, 0, Reset}, 2, HTTP_RECV_FAILED, 0, ECONNRESET);
    timed({-1, ""}, -2, HTTP_WAIT_FAILED, 0);
    timed({-1, kOk, 300}, -1, 200, 0.5);
    /* the time left, not the whole wait again */
    timed({-1, "", 0, 0, Silent}, 1, HTTP_NO_ANSWER_IN_TIME, 1.0);
}

TEST_F(Http, EachLaterReadWaitsTheTimeout)
{
    timed({-1, kOk, 0, 0, Silent}, 1, 200, 1.2); /* keeps the connection open */
    /* slow but moving, longer than the timeout in all: not cut off */
    timed({-1, kOk, 1200, 1200}, 2, 200, 2.6);
}

TEST_F(Http, ConnectAndSendStallsFailAfterTheTimeout)
{
    /* Backlog 0 and a queued connection: the kernel drops further SYNs. */
    int port = 0, fd = listenOn(0, &port), filler = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    timed({}, 1, HTTP_CONNECT_TIMED_OUT, 1.0, ETIMEDOUT, port);
    close(filler), close(fd);
    FILE *huge = tmpfile(); /* 50 MB of zeros, without taking the room */
    ASSERT_EQ(ftruncate(fileno(huge), 50L << 20), 0);
    /* one read's worth, then 2 s nothing */
    timed({0, "", 2000, 0, Reset}, 1, HTTP_SEND_STALLED, 1.0, ETIMEDOUT, 0, huge);
    fclose(huge);
}

TEST_F(Http, SocketIsCloseOnExec)
{
    Server s({-1, kOk, 300});
    std::thread client([this, &s] { EXPECT_EQ(request(s.port, "GET"), 200); });
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
    FILE *t = tmpfile(), *unreadable = fdopen(dup(fileno(t)), "w");
    fwrite(kOk.data(), 1, kOk.size(), unreadable);
    Server silent({-1, "", 0, 0, Silent});
    auto start = steady_clock::now();
    EXPECT_EQ(request(silent.port, "PUT", "/p", unreadable), HTTP_BODY_FAILED);
    EXPECT_LT(since(start), 1.0); /* no answer awaited */
    fclose(unreadable), fclose(t);

    FILE *huge = tmpfile(); /* the server closes while it is sent: no SIGPIPE */
    ASSERT_EQ(ftruncate(fileno(huge), 32L << 20), 0);
    Server closing({0, "", 0, 0, FinThenReset});
    EXPECT_EQ(request(closing.port, "POST", "/p", huge), HTTP_BODY_FAILED);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;
    fclose(huge);

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    FILE *r = fdopen(p[0], "r");
    EXPECT_EQ(request(9, "POST", "/p", r), HTTP_BODY_FAILED); /* not measurable; port 9 would refuse */
    fclose(r), close(p[1]);
    /* the announced size + 4 must fit an int: the next is refused before connecting */
    for (auto [size, result] :
         {std::pair{long{INT_MAX} - 4, HTTP_CONNECT_FAILED}, {long{INT_MAX} - 3, HTTP_BODY_FAILED}}) {
        ASSERT_EQ(ftruncate(fileno(huge = tmpfile()), size), 0);
        EXPECT_EQ(request(9, "POST", "/p", huge), result) << size;
        fclose(huge);
    }
}

TEST_F(Http, RefusedBeforeAnySocket)
{
    FILE *f = tmpfile();
    /* heads of at most 8191 bytes (8187 with a length header) fit */
    for (auto [method, headers, result] :
         {std::tuple{"GET", 8173, 200}, {"GET", 8174, HTTP_HEAD_TOO_LONG}, {"PUT", 8150, 200},
          {"PUT", 8151, HTTP_HEAD_TOO_LONG}}) {
        Server s({8191, kOk});
        EXPECT_EQ(request(s.port, method, "/", f, 2, std::string(headers, 'h').c_str()), result);
        if (result == 200) {
            EXPECT_EQ(s.received().size(), 8191u);
        }
    }
    fclose(f);
    /* blanks and control characters would change the request's lines */
    for (auto path : {"/a\r\nX-B: c", "/a b", "/\x7f"})
        EXPECT_EQ(request(9, "GET", path), HTTP_BAD_ARGUMENT) << path;
    EXPECT_EQ(request(9, "G\x01"), HTTP_BAD_ARGUMENT);
    EXPECT_EQ(request(9, nullptr), HTTP_BAD_ARGUMENT);
    EXPECT_EQ(request(9, "GET", nullptr), HTTP_BAD_ARGUMENT);
    EXPECT_EQ(request(9, "POST"), HTTP_BAD_ARGUMENT); /* without a body */
    EXPECT_EQ(request(9, "GET", "/", nullptr, 2, nullptr, -1), HTTP_BAD_ARGUMENT);
    EXPECT_EQ(request(9, "GET", "/", nullptr, 2, nullptr, 16, nullptr), HTTP_BAD_ARGUMENT);
    EXPECT_EQ(makeHttpRequest("127.0.0.1", 9, 1, "GET", "/", nullptr, nullptr, nullptr, 16),
              HTTP_BAD_ARGUMENT); /* no answer buffer */
}

TEST_F(Http, NameSocketAndConnectFailures)
{
    {
        Resolver noSuchName(true);
        EXPECT_EQ(request(80, "GET", "/", nullptr, 1, nullptr, 64, "no-such-host.invalid"), HTTP_NO_HOST);
    }
    {
        Resolver none(false); /* nobody asked, nothing known about the host */
        EXPECT_EQ(request(80, "GET", "/", nullptr, 1, nullptr, 64, "no-such-host.invalid"), HTTP_LOOKUP_FAILED);
    }
    int closedPort;
    close(listenOn(1, &closedPort));
    EXPECT_EQ(request(closedPort, "GET"), HTTP_CONNECT_FAILED);
    EXPECT_EQ(errno, ECONNREFUSED);
    Server named({-1, kOk}); /* a name, and the low 16 bits of the port */
    EXPECT_EQ(request(named.port + 65536, "GET", "/", nullptr, 2, nullptr, 64, "localhost"), 200);

    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    rlimit lim = old;
    int null = open("/dev/null", O_RDONLY);
    lim.rlim_cur = static_cast<rlim_t>(null); /* no descriptor left below it */
    close(null);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    EXPECT_EQ(request(9, "GET"), HTTP_SOCKET_FAILED);
    EXPECT_EQ(errno, EMFILE);
    lim.rlim_cur = static_cast<rlim_t>(null) + 1; /* the socket, but nothing for the lookup */
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    EXPECT_EQ(request(9, "GET", "/", nullptr, 1, nullptr, 64, "localhost"), HTTP_LOOKUP_FAILED);
    setrlimit(RLIMIT_NOFILE, &old);
}

} // namespace
