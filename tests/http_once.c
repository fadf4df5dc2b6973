/* A one-shot HTTP server for the jobtool test, so that the test needs no
   scripting language on the target: listens on a free loopback port,
   writes the port to the file "port", takes one request (the head and
   the body up to its closing blank line), stores it in "request" and
   answers with the status given, or with nothing for 3 s ("silent").
   Each wait is bounded (20 s).
   Usage: http_once STATUS|silent */
#include <arpa/inet.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int readable(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 20000) == 1;
}

static int blankLines(const char *text)
{
    int n = 0;
    for (const char *p = text; (p = strstr(p, "\r\n\r\n")) != NULL; p += 4)
        ++n;
    return n;
}

int main(int argc, char **argv)
{
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    socklen_t len = sizeof a;
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (argc != 2 || s < 0 || bind(s, (struct sockaddr *)&a, len) != 0 || listen(s, 1) != 0 ||
        getsockname(s, (struct sockaddr *)&a, &len) != 0)
        return 1;
    FILE *port = fopen("port.new", "w"); /* renamed: the test never reads half a number */
    if (!port || fprintf(port, "%d", ntohs(a.sin_port)) < 0 || fclose(port) != 0 || rename("port.new", "port") != 0)
        return 1;
    int c = readable(s) ? accept(s, NULL, NULL) : -1;
    if (c < 0)
        return 1;
    static char request[1 << 16];
    size_t got = 0;
    ssize_t n = 1;
    while (n > 0 && got < sizeof request - 1 && blankLines(request) < 2 && readable(c))
        if ((n = recv(c, request + got, sizeof request - 1 - got, 0)) > 0)
            got += (size_t)n;
    FILE *out = fopen("request", "wb");
    if (!out || fwrite(request, 1, got, out) != got || fclose(out) != 0)
        return 1;
    if (strcmp(argv[1], "silent") == 0) {
        sleep(3);
        close(c);
        close(s);
        return 0;
    }
    char answer[128];
    int size = snprintf(answer, sizeof answer, "HTTP/1.1 %s Done\r\nContent-Length: 0\r\n\r\n", argv[1]);
    send(c, answer, (size_t)size, MSG_NOSIGNAL);
    close(c);
    close(s);
    return 0;
}
