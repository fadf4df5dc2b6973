/*
 * httprequest.cpp - the controller's minimal HTTP/1.1 client.
 *
 * One blocking request per call over a fresh TCP connection: request
 * line, the caller's headers, an optional body taken from a stream and
 * the status code read from the answer. The socket is non-blocking and
 * every wait on the peer goes through poll with the caller's time-out,
 * so no peer can hold a call for longer than that between two moves.
 * Nothing is kept between calls; the request buffer lives on the stack
 * and the socket is closed by its owner on every path.
 */
#include "TandelCntrl.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
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

/* Owns the socket: shuts a connected one down, then closes it, leaving
   errno as the failure that ended the request set it. */
class Connection {
public:
    explicit Connection(int fd) : fd_(fd) {}
    ~Connection()
    {
        const int saved = errno;
        if (connected_)
            shutdown(fd_, SHUT_RDWR);
        close(fd_);
        errno = saved;
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

bool isUpload(const char *method) { return strcmp(method, "PUT") == 0 || strcmp(method, "POST") == 0; }

/* A blank or a control character in the method or path would end the
   request line early or smuggle header lines into the request. */
bool fitsRequestLine(const char *s)
{
    for (; *s; ++s) {
        const unsigned char c = static_cast<unsigned char>(*s);
        if (c <= ' ' || c == 0x7F)
            return false;
    }
    return true;
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

int64_t monotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

/* 1 when fd is ready for events (or in error), 0 when seconds passed
   first, -1 when poll fails. An interrupted poll goes on with the time
   left, so signals neither end nor stretch the wait. */
int waitFor(int fd, short events, int seconds)
{
    const int64_t deadline = monotonicMs() + static_cast<int64_t>(seconds) * 1000;
    for (;;) {
        int64_t left = deadline - monotonicMs();
        if (left < 0)
            left = 0; /* one last look without waiting */
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (r > 0)
            return 1;
        if (r < 0 && errno != EINTR)
            return -1;
        if (r == 0 && left <= INT_MAX)
            return 0;
    }
}

/* Sends the whole range, again after short sends and interruptions;
   gives up only when a send makes no progress for the wait time. */
int sendAll(int fd, const char *data, size_t size, int seconds)
{
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            const int ready = waitFor(fd, POLLOUT, seconds);
            if (ready == 0)
                return errno = ETIMEDOUT, HTTP_SEND_STALLED;
            if (ready < 0)
                return HTTP_WAIT_FAILED;
        } else if (n == 0 || errno != EINTR) {
            return HTTP_BODY_FAILED;
        }
    }
    return 0;
}

/* Head with the first part of the body, each further part of up to a
   buffer on its own, then the closing sequence by itself (or behind
   the head when the body is empty). */
int sendUpload(int fd, char *buf, size_t used, FILE *body, long bodySize, int seconds)
{
    size_t remaining = static_cast<size_t>(bodySize);
    while (remaining > 0) {
        const size_t room = kBufferSize - used;
        const size_t got = fread(buf + used, 1, remaining < room ? remaining : room, body);
        if (got == 0)
            return HTTP_BODY_FAILED;
        remaining -= got;
        used += got;
        if (const int sent = sendAll(fd, buf, used, seconds))
            return sent;
        used = 0;
    }
    memcpy(buf + used, kClosing, kClosingSize);
    return sendAll(fd, buf, used + kClosingSize, seconds);
}

/* A connect that does not finish at once (or is interrupted by a
   signal) goes on in the kernel: wait for it and take its outcome. */
int connectTo(int fd, const sockaddr_in &addr, int seconds)
{
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0)
        return 0;
    if (errno != EINPROGRESS && errno != EINTR)
        return HTTP_CONNECT_FAILED;
    const int ready = waitFor(fd, POLLOUT, seconds);
    if (ready == 0)
        return errno = ETIMEDOUT, HTTP_CONNECT_TIMED_OUT;
    if (ready < 0)
        return HTTP_WAIT_FAILED;
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        return HTTP_CONNECT_FAILED;
    if (error != 0)
        return errno = error, HTTP_CONNECT_FAILED;
    return 0;
}

/* "No such name" is an answer; a lookup that could not be made (no
   reply from the resolver, no memory, no descriptor) is not. */
int lookUp(const char *host, int port, sockaddr_in *addr)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *found = nullptr;
    const int r = getaddrinfo(host, nullptr, &hints, &found);
    if (r == EAI_NONAME || r == EAI_NODATA || r == EAI_ADDRFAMILY)
        return HTTP_NO_HOST;
    if (r != 0)
        return HTTP_LOOKUP_FAILED;
    AddrInfoList list(found);
    if (!found || found->ai_addrlen < sizeof(sockaddr_in))
        return HTTP_NO_HOST;
    memcpy(addr, found->ai_addr, sizeof *addr);
    addr->sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    return 0;
}

/* Reads until the server closes, the buffer is full or the server
   stays quiet for the wait time, which ends the answer like a close
   (an HTTP/1.1 server may keep the connection open). Bytes stored, or
   a result code. */
long readAnswer(int fd, char *response, size_t size, int seconds)
{
    size_t total = 0;
    while (total < size) {
        const size_t room = size - total;
        const ssize_t n = recv(fd, response + total, room < kBufferSize ? room : kBufferSize, 0);
        if (n > 0) {
            total += static_cast<size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno == EAGAIN) {
            const int ready = waitFor(fd, POLLIN, seconds);
            if (ready == 0)
                break;
            if (ready < 0)
                return HTTP_WAIT_FAILED;
        } else if (errno != EINTR) {
            return HTTP_RECV_FAILED;
        }
    }
    return static_cast<long>(total);
}

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

/* "%d" at offset 9, but bounded by the bytes received: the buffer is
   not terminated and what lies behind them is not the answer. */
int statusOf(const char *response, size_t total)
{
    if (total == 0)
        return HTTP_NO_ANSWER;
    if (total < 14)
        return HTTP_SHORT_ANSWER;
    size_t i = 9;
    while (i < total && isSpace(response[i]))
        ++i;
    bool negative = false;
    if (i < total && (response[i] == '+' || response[i] == '-'))
        negative = response[i++] == '-';
    if (i == total || !isDigit(response[i]))
        return HTTP_NO_STATUS;
    const int64_t bound = negative ? -static_cast<int64_t>(INT_MIN) : INT_MAX;
    int64_t value = 0;
    for (; i < total && isDigit(response[i]); ++i) {
        value = value * 10 + (response[i] - '0');
        if (value > bound)
            return HTTP_NO_STATUS;
    }
    return static_cast<int>(negative ? -value : value);
}

} // namespace

TANDEL_API int makeHttpRequest(const char *host, int port, int timeout, const char *method, const char *path,
                               const char *headers, FILE *body, char *response, int responseSize)
{
    if (!host || !method || !path || responseSize < 0 || (!response && responseSize > 0))
        return HTTP_BAD_ARGUMENT;
    if (!fitsRequestLine(method) || !fitsRequestLine(path))
        return HTTP_BAD_ARGUMENT;
    const bool upload = isUpload(method);
    if (upload && !body)
        return HTTP_BAD_ARGUMENT;
    if (timeout < -1)
        return HTTP_WAIT_FAILED; /* poll would take it for "forever" */
    const int seconds = timeout == -1 ? kDefaultWait : timeout;

    /* Everything that can be refused without the network is refused
       before a socket exists. */
    long bodySize = -1;
    if (upload && (bodySize = measureBody(body)) < 0)
        return HTTP_BODY_FAILED;
    char buf[kBufferSize];
    const size_t headSize = buildHead(buf, method, path, headers, bodySize);
    if (headSize == 0)
        return HTTP_HEAD_TOO_LONG;

    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0)
        return HTTP_SOCKET_FAILED;
    Connection conn(fd);

    sockaddr_in addr{};
    if (const int found = lookUp(host, port, &addr))
        return found;
    if (const int connected = connectTo(fd, addr, seconds))
        return connected;
    conn.setConnected();

    const int sent =
        upload ? sendUpload(fd, buf, headSize, body, bodySize, seconds) : sendAll(fd, buf, headSize, seconds);
    if (sent != 0)
        return sent;

    const int ready = waitFor(fd, POLLIN, seconds);
    if (ready <= 0)
        return ready == 0 ? HTTP_NO_ANSWER_IN_TIME : HTTP_WAIT_FAILED;
    const long total = readAnswer(fd, response, static_cast<size_t>(responseSize), seconds);
    if (total < 0)
        return static_cast<int>(total);
    return statusOf(response, static_cast<size_t>(total));
}
