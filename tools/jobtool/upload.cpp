/*
 * upload: one file as the body of one HTTP/1.1 request.
 */
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "args.h"
#include "command.h"
#include "failure.h"
#include "io.h"

namespace jobtool {

namespace {

struct UploadOptions {
    std::vector<std::string> pos, headers;
    std::string method = "PUT", timeout;
    CLI::Option *timeoutOpt = nullptr;
};

bool hasHeader(const std::vector<std::string> &headers, const char *name)
{
    const size_t n = std::strlen(name);
    for (const std::string &h : headers)
        if (h.size() > n && h[n] == ':' && strncasecmp(h.c_str(), name, n) == 0)
            return true;
    return false;
}

/* A seekable stream of the body: the library measures it before sending. */
Input openBody(const std::string &path)
{
    if (path != "-")
        return openInput(path);
    tandel::FilePtr tmp(std::tmpfile());
    if (!tmp)
        failSys("temporary file for standard input");
    std::string data = readAll(path);
    if (std::fwrite(data.data(), 1, data.size(), tmp.get()) != data.size() || std::fflush(tmp.get()) != 0)
        failSys("temporary file for standard input");
    std::rewind(tmp.get());
    return {std::move(tmp)};
}

/* errno is the system's reason only after these results; after the
   others it is whatever a step before left. */
std::string systemReason(int rc, int err)
{
    const bool told = rc == HTTP_SOCKET_FAILED || rc == HTTP_CONNECT_FAILED || rc == HTTP_WAIT_FAILED ||
                      rc == HTTP_RECV_FAILED;
    return told && err ? std::strerror(err) : "";
}

int runUpload(Tool &tool, const UploadOptions &o)
{
    const std::string &host = o.pos[0], &path = o.pos[2], &file = o.pos[3];
    int port = static_cast<int>(parseLong(o.pos[1], "PORT", 1, 65535));
    if (o.method != "PUT" && o.method != "POST")
        throw UsageError{"--method must be PUT or POST"};
    for (unsigned char c : path)
        if (c <= 0x20 || c == 0x7F)
            throw UsageError{"PATH must not hold blanks or control characters (write a blank as %20), not '" +
                             path + "'"};
    int timeout = given(o.timeoutOpt) ? static_cast<int>(parseLong(o.timeout, "--timeout", 0, 86400)) : -1;
    std::string head;
    if (!hasHeader(o.headers, "Host"))
        head += "Host: " + host + (port == 80 ? "" : ":" + std::to_string(port)) + "\r\n";
    if (!hasHeader(o.headers, "Connection"))
        head += "Connection: close\r\n";
    for (const std::string &h : o.headers) {
        if (h.find_first_of("\r\n") != std::string::npos || h.find(':') == std::string::npos)
            throw UsageError{"--header must be one 'Name: value' line, not '" + h + "'"};
        head += h + "\r\n";
    }
    Input body = openBody(file);
    struct stat st {};
    long long size = fstat(fileno(body.get()), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    tool.progress("sending " + displayName(file) + " (" + std::to_string(size) + " bytes) to " + host + ":" +
                  std::to_string(port) + " as " + o.method + " " + path +
                  "; no progress is shown until the answer arrives");
    std::vector<char> response(8192);
    errno = 0;
    int rc = makeHttpRequest(host.c_str(), port, timeout, o.method.c_str(), path.c_str(), head.c_str(), body.get(),
                             response.data(), static_cast<int>(response.size()));
    const int err = errno;
    if (rc >= 100) {
        tool.progress("sent " + std::to_string(size) + " bytes, the server answered " + std::to_string(rc));
        std::printf("%d\n", rc);
        if (rc >= 300 || rc < 200)
            fail(host + ":" + std::to_string(port) + " answered " + std::to_string(rc) +
                 (rc < 200 ? " (informational, not an answer to the upload)" : ""));
        return kOk;
    }
    failLib(host + ":" + std::to_string(port), TANDEL_HTTP, rc, systemReason(rc, err));
}

Run defineUpload(CLI::App &sub)
{
    auto o = std::make_shared<UploadOptions>();
    positionals(sub, "HOST PORT PATH FILE", o->pos, 4, 4);
    option(sub, "--method", o->method);
    option(sub, "--header", o->headers);
    o->timeoutOpt = option(sub, "--timeout", o->timeout);
    return [o](Tool &tool) { return runUpload(tool, *o); };
}

} // namespace

extern const Command kUpload = {
    "upload", "HOST PORT PATH FILE [--method PUT|POST] [--header 'Name: value']... [--timeout S]",
    "HOST PORT PATH FILE [--method PUT|POST] [--header H]... [--timeout S]", "send a file, print the status",
    "Sends FILE ('-': standard input) as the body of one HTTP/1.1 request\n"
    "(default PUT) and prints the status code of the answer. Exit status 0\n"
    "for a 2xx status, 1 for any other. --timeout S bounds each wait on the\n"
    "server on its own (default 100 s): the connect, each send, the first\n"
    "answer byte, and each later read (a silence of S ends the answer).\n"
    "PATH goes on the wire as it is: a blank or control character in it is\n"
    "refused (write %20). What goes on the wire, in this order:\n"
    "  METHOD PATH HTTP/1.1 CR LF\n"
    "  Host: HOST[:PORT] CR LF   HTTP/1.1 requires it; not sent when a\n"
    "                            --header gives Host (any case)\n"
    "  Connection: close CR LF   the answer is read until the server closes;\n"
    "                            not sent when a --header gives Connection\n"
    "  each --header, CR LF\n"
    "  Content-length: N CR LF CR LF   N is FILE's size plus 4\n"
    "  the bytes of FILE\n"
    "  CR LF CR LF               the library ends every body so, and counts\n"
    "                            it in N\n"
    "-v tells the body size before sending and the result after it.\n",
    defineUpload};

} // namespace jobtool
