/*
 * httprequest.cpp - the controller's minimal HTTP/1.1 client.
 *
 * One blocking request per call over a fresh TCP connection: request
 * line, the caller's headers, an optional body taken from a stream, a
 * bounded wait for the first answer byte and the status code read from
 * the answer. Nothing is kept between calls; the request buffer lives
 * on the stack and the socket is closed by its owner on every path.
 */
#include "TandelCntrl.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

constexpr size_t kBufferSize = 8192;
constexpr char kClosing[] = "\r\n\r\n";
constexpr size_t kClosingSize = sizeof kClosing - 1;
constexpr int kDefaultWait = 100;

enum : int {
    kSocketFailed = -1,
    kNoHost = -2,
    kConnectFailed = -3,
    kBodyFailed = -4,
    kTimedOut = -5,
    kSelectFailed = -6,
    kRecvFailed = -7,
    kNoAnswer = -8,
    kHeadTooLong = -9,
    kBadArgument = -10,
    kTooShort = 1,
    kNoStatus = 2,
};

/* Owns the socket: shuts a connected one down, then closes it. */
class Connection {
public:
    explicit Connection(int fd) : fd_(fd) {}
    ~Connection()
    {
        if (connected_)
            shutdown(fd_, SHUT_RDWR);
        close(fd_);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    int fd() const { return fd_; }
    void setConnected() { connected_ = true; }

private:
    int fd_;
    bool connected_ = false;
};

struct AddrInfoFree {
    void operator()(addrinfo *list) const { freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

bool isUpload(const char *method)
{
    return strcmp(method, "PUT") == 0 || strcmp(method, "POST") == 0;
}

/* Body size from the stream's end; -1 when it cannot be measured or
   the announced length (size + 4) would not fit the "%d". The stream
   is left at its start. */
long measureBody(FILE *body)
{
    if (fseek(body, 0, SEEK_END) != 0)
        return -1;
    const long size = ftell(body);
    if (size < 0 || size > INT_MAX - static_cast<long>(kClosingSize))
        return -1;
    if (fseek(body, 0, SEEK_SET) != 0)
        return -1;
    return size;
}

/* Writes the head into buf; its length, or 0 when it does not fit. For
   uploads room stays for the closing sequence, and always for a
   terminator, so a head of an empty body goes out with its closing. */
size_t buildHead(char *buf, const char *method, const char *path, const char *headers, long bodySize)
{
    const bool upload = bodySize >= 0;
    const size_t limit = kBufferSize - 1 - (upload ? kClosingSize : 0);
    char tail[48] = "\r\n";
    size_t tailSize = 2;
    if (upload)
        tailSize = static_cast<size_t>(snprintf(tail, sizeof tail, "Content-length: %d\r\n\r\n",
                                                static_cast<int>(bodySize + kClosingSize)));

    const char *const parts[] = {method, " ", path, " HTTP/1.1\r\n", headers ? headers : "", tail};
    size_t used = 0;
    for (const char *part : parts) {
        const size_t n = part == tail ? tailSize : strlen(part);
        if (n > limit - used)
            return 0;
        memcpy(buf + used, part, n);
        used += n;
    }
    return used;
}

/* Sends the whole range, again after short sends and interruptions. */
bool sendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

/* Head with the first part of the body, each further part of up to a
   buffer on its own, then the closing sequence by itself (or behind
   the head when the body is empty). */
int sendUpload(int fd, char *buf, size_t used, FILE *body, long bodySize)
{
    size_t remaining = static_cast<size_t>(bodySize);
    while (remaining > 0) {
        const size_t room = kBufferSize - used;
        const size_t got = fread(buf + used, 1, remaining < room ? remaining : room, body);
        if (got == 0)
            return kBodyFailed;
        remaining -= got;
        used += got;
        if (!sendAll(fd, buf, used))
            return kBodyFailed;
        used = 0;
    }
    memcpy(buf + used, kClosing, kClosingSize);
    return sendAll(fd, buf, used + kClosingSize) ? 0 : kBodyFailed;
}

int64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

/* 0 when the first answer byte (or the close) is there. An interrupted
   select goes on with the time left, so signals do not stretch the
   wait. A negative wait is handed to select, which refuses it. */
int waitForAnswer(int fd, int timeout)
{
    if (fd >= FD_SETSIZE)
        return kSelectFailed; /* FD_SET would write past the set */
    const int seconds = timeout == -1 ? kDefaultWait : timeout;
    const int64_t deadline = monotonicNs() + static_cast<int64_t>(seconds) * 1000000000;
    timeval wait{seconds, 0};
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        const int r = select(fd + 1, &readable, nullptr, nullptr, &wait);
        if (r > 0)
            return 0;
        if (r == 0)
            return kTimedOut;
        if (errno != EINTR)
            return kSelectFailed;
        int64_t left = deadline - monotonicNs();
        if (left < 0)
            left = 0; /* one last look without waiting */
        wait.tv_sec = static_cast<time_t>(left / 1000000000);
        wait.tv_usec = static_cast<suseconds_t>(left % 1000000000 / 1000);
    }
}

/* A connect interrupted by a signal goes on in the kernel: wait for it to
   finish and take its outcome, instead of failing the request. */
bool connectTo(int fd, const sockaddr_in &addr)
{
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0)
        return true;
    if (errno != EINTR)
        return false;
    pollfd p{fd, POLLOUT, 0};
    int r;
    while ((r = poll(&p, 1, -1)) < 0 && errno == EINTR) {
    }
    int error = 0;
    socklen_t len = sizeof error;
    return r == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
}

/* Reads until the server closes or the buffer is full; bytes stored,
   or -1 when recv fails. */
long readAnswer(int fd, char *response, size_t size)
{
    size_t total = 0;
    while (total < size) {
        const size_t room = size - total;
        const ssize_t n = recv(fd, response + total, room < kBufferSize ? room : kBufferSize, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        total += static_cast<size_t>(n);
    }
    return static_cast<long>(total);
}

bool isSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

/* "%d" at offset 9, but bounded by the bytes received: the buffer is
   not terminated and what lies behind them is not the answer. */
int statusOf(const char *response, size_t total)
{
    if (total == 0)
        return kNoAnswer;
    if (total < 14)
        return kTooShort;
    size_t i = 9;
    while (i < total && isSpace(response[i]))
        ++i;
    bool negative = false;
    if (i < total && (response[i] == '+' || response[i] == '-'))
        negative = response[i++] == '-';
    if (i == total || !isDigit(response[i]))
        return kNoStatus;
    const int64_t bound = negative ? -static_cast<int64_t>(INT_MIN) : INT_MAX;
    int64_t value = 0;
    for (; i < total && isDigit(response[i]); ++i) {
        value = value * 10 + (response[i] - '0');
        if (value > bound)
            return kNoStatus;
    }
    return static_cast<int>(negative ? -value : value);
}

} // namespace

TANDEL_API int makeHttpRequest(const char *host, int port, int timeout, const char *method, const char *path,
                               const char *headers, FILE *body, char *response, int responseSize)
{
    if (!host || !method || !path || responseSize < 0 || (!response && responseSize > 0))
        return kBadArgument;
    const bool upload = isUpload(method);
    if (upload && !body)
        return kBadArgument;

    /* Everything that can be refused without the network is refused
       before a socket exists. */
    long bodySize = -1;
    if (upload && (bodySize = measureBody(body)) < 0)
        return kBodyFailed;
    char buf[kBufferSize];
    const size_t headSize = buildHead(buf, method, path, headers, bodySize);
    if (headSize == 0)
        return kHeadTooLong;

    const int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0)
        return kSocketFailed;
    Connection conn(fd);

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0)
        return kNoHost;
    AddrInfoList list(found);
    if (!found || found->ai_addrlen < sizeof(sockaddr_in))
        return kNoHost;
    sockaddr_in addr{};
    memcpy(&addr, list->ai_addr, sizeof addr);
    addr.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    if (!connectTo(fd, addr))
        return kConnectFailed;
    conn.setConnected();

    if (upload) {
        if (sendUpload(fd, buf, headSize, body, bodySize) != 0)
            return kBodyFailed;
    } else if (!sendAll(fd, buf, headSize)) {
        return kBodyFailed;
    }

    const int waited = waitForAnswer(fd, timeout);
    if (waited != 0)
        return waited;
    const long total = readAnswer(fd, response, static_cast<size_t>(responseSize));
    if (total < 0)
        return kRecvFailed;
    return statusOf(response, static_cast<size_t>(total));
}
