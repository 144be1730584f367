/* c_check lockstep|pipelined HOST PORT USER PASSWORD
 *
 * The mail check's sequence in plain C with blocking-free POSIX sockets, as
 * the limit the benchmark compares the other clients with. "lockstep" sends
 * each TOP after the reply to the one before, like the other lock-step
 * clients; "pipelined" asks CAPA (and requires PIPELINING, RFC 2449), then
 * writes the TOP commands of every message as fast as the socket takes
 * them while it reads the replies (section 6.6: never stop reading while
 * writing), with Nagle's algorithm off. Both connect, USER, PASS, STAT,
 * LIST, TOP i 0 for every message, QUIT, and print the line the benchmark
 * reads from every client:
 *   messages=N lines=L bytes=B wall=SECONDS cpu=SECONDS rss=KIB
 * lines and bytes count the header lines delivered (after dot-unstuffing,
 * without line ends). Exits 1 with a message when the server fails a step.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static int fd = -1;
static char in[1 << 16];
static size_t inStart, inEnd;

static void die(const char* what)
{
    fprintf(stderr, "c_check: %s\n", what);
    exit(1);
}

static double seconds(clockid_t clock)
{
    struct timespec t;
    clock_gettime(clock, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static long peakRssKiB(void)
{
    long kib = 0;
    char line[256];
    FILE* f = fopen("/proc/self/status", "r");
    if (!f)
        return 0;
    while (fgets(line, sizeof line, f))
        if (strncmp(line, "VmHWM:", 6) == 0)
            kib = strtol(line + 6, NULL, 10);
    fclose(f);
    return kib;
}

/* Waits until the socket is readable (and, with wantWrite, writable);
 * returns the poll events. */
static short waitFor(int wantWrite)
{
    struct pollfd p = {fd, (short)(POLLIN | (wantWrite ? POLLOUT : 0)), 0};
    while (poll(&p, 1, 60000) <= 0)
        if (errno != EINTR)
            die("poll timed out");
    return p.revents;
}

/* Reads what is waiting into the input buffer; 0 when nothing was. */
static int fill(void)
{
    if (inStart > 0) {
        memmove(in, in + inStart, inEnd - inStart);
        inEnd -= inStart;
        inStart = 0;
    }
    if (inEnd == sizeof in)
        die("line too long");
    ssize_t n = recv(fd, in + inEnd, sizeof in - inEnd, 0);
    if (n == 0)
        die("connection closed");
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return 0;
        die("recv failed");
    }
    inEnd += (size_t)n;
    return 1;
}

/* The next complete line (without CR LF, NUL-terminated in place), or NULL
 * when none is buffered. */
static char* nextLine(size_t* length)
{
    char* start = in + inStart;
    char* lf = memchr(start, '\n', inEnd - inStart);
    if (!lf)
        return NULL;
    size_t len = (size_t)(lf - start);
    if (len > 0 && start[len - 1] == '\r')
        --len;
    start[len] = 0;
    inStart = (size_t)(lf - in) + 1;
    *length = len;
    return start;
}

static char* readLine(size_t* length)
{
    char* line;
    while (!(line = nextLine(length))) {
        waitFor(0);
        fill();
    }
    return line;
}

static void sendAll(const char* text)
{
    size_t len = strlen(text), off = 0;
    while (off < len) {
        ssize_t n = send(fd, text + off, len - off, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR)
                die("send failed");
            waitFor(1);
            continue;
        }
        off += (size_t)n;
    }
}

static char* command(const char* text)
{
    size_t len;
    sendAll(text);
    char* line = readLine(&len);
    if (line[0] != '+')
        die(line);
    return line;
}

/* Reads a multi-line body up to its terminator; counts lines and bytes. */
static void readBody(long* lines, long* bytes)
{
    size_t len;
    for (;;) {
        char* line = readLine(&len);
        if (line[0] == '.') {
            if (len == 1)
                return;
            ++line;
            --len;
        }
        if (lines) {
            ++*lines;
            *bytes += (long)len;
        }
    }
}

/* State of the pipelined reading: replies still expected, and whether the
 * current one is inside its body. */
static long pendingReplies, linesSeen, bytesSeen;
static int inBody;

/* Handles every complete line buffered; returns when none is left. */
static void parseReplies(void)
{
    size_t len;
    char* line;
    while (pendingReplies > 0 && (line = nextLine(&len))) {
        if (!inBody) {
            if (line[0] != '+')
                die(line);
            inBody = 1;
            continue;
        }
        if (line[0] == '.') {
            if (len == 1) {
                inBody = 0;
                --pendingReplies;
                continue;
            }
            --len;
        }
        ++linesSeen;
        bytesSeen += (long)len;
    }
}

int main(int argc, char** argv)
{
    if (argc != 6 || (strcmp(argv[1], "lockstep") != 0 && strcmp(argv[1], "pipelined") != 0)) {
        fprintf(stderr, "usage: c_check lockstep|pipelined HOST PORT USER PASSWORD\n");
        return 2;
    }
    const int pipelined = strcmp(argv[1], "pipelined") == 0;
    const double cpu0 = seconds(CLOCK_PROCESS_CPUTIME_ID), wall0 = seconds(CLOCK_MONOTONIC);

    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)atoi(argv[3]));
    if (inet_pton(AF_INET, argv[2], &a.sin_addr) != 1)
        die("numeric IPv4 address expected");
    fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0 || (connect(fd, (struct sockaddr*)&a, sizeof a) != 0 && errno != EINPROGRESS))
        die("connect failed");
    if (pipelined) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    size_t len;
    if (readLine(&len)[0] != '+')
        die("negative greeting");

    char text[512];
    snprintf(text, sizeof text, "USER %s\r\n", argv[4]);
    command(text);
    snprintf(text, sizeof text, "PASS %s\r\n", argv[5]);
    command(text);
    if (pipelined) {
        command("CAPA\r\n");
        int listed = 0;
        for (;;) {
            char* line = readLine(&len);
            if (strcmp(line, ".") == 0)
                break;
            listed |= strncasecmp(line, "PIPELINING", 10) == 0 && (line[10] == 0 || line[10] == ' ');
        }
        if (!listed)
            die("server does not announce PIPELINING");
    }
    long count = strtol(command("STAT\r\n") + 3, NULL, 10);
    command("LIST\r\n");
    readBody(NULL, NULL);

    if (!pipelined) {
        for (long n = 1; n <= count; ++n) {
            snprintf(text, sizeof text, "TOP %ld 0\r\n", n);
            command(text);
            readBody(&linesSeen, &bytesSeen);
        }
    } else {
        /* Every command in one buffer, written as the socket takes it. */
        size_t size = (size_t)count * 24 + 1, used = 0, sent = 0;
        char* all = malloc(size);
        if (!all)
            die("out of memory");
        for (long n = 1; n <= count; ++n)
            used += (size_t)snprintf(all + used, size - used, "TOP %ld 0\r\n", n);
        pendingReplies = count;
        while (pendingReplies > 0) {
            if (sent < used) {
                ssize_t n = send(fd, all + sent, used - sent, MSG_NOSIGNAL);
                if (n > 0)
                    sent += (size_t)n;
                else if (n < 0 && errno != EAGAIN && errno != EINTR)
                    die("send failed");
            }
            short events = waitFor(sent < used);
            if (events & (POLLIN | POLLHUP | POLLERR))
                while (fill())
                    parseReplies();
        }
        free(all);
    }
    command("QUIT\r\n");
    close(fd);

    const double wall = seconds(CLOCK_MONOTONIC) - wall0, cpu = seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    printf("messages=%ld lines=%ld bytes=%ld wall=%.6f cpu=%.6f rss=%ld\n", count, linesSeen, bytesSeen, wall, cpu,
           peakRssKiB());
    return 0;
}
