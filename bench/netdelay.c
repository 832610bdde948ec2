/* A network link on loopback: a forwarder that listens on 127.0.0.1, opens
 * one connection to the target per accepted connection, and holds every
 * byte for a fixed one-way delay in each direction, after it has crossed a
 * rate-limited link that all connections of that direction share.
 *
 *   netdelay --target PORT [--target-host ADDR] [--listen PORT]
 *            [--port-file FILE] [--delay-ms MS] [--rate-mbit N]
 *            [--buffer BYTES] [--max-connections N]
 *
 *   --target PORT        where every accepted connection is forwarded to
 *   --target-host ADDR   its IPv4 address, within 127.0.0.0/8 (127.0.0.1)
 *   --listen PORT        port on 127.0.0.1 (default 0: any free port)
 *   --port-file FILE     the port listened on is written there once ready
 *   --delay-ms MS        one-way delay, fractions allowed (default 0)
 *   --rate-mbit N        link rate per direction, 0 = unlimited (1000)
 *   --buffer BYTES       bytes held per connection and direction (4 MiB):
 *                        a full buffer stops reading from that sender
 *   --max-connections N  connections forwarded at once (512)
 *
 * The link is a FIFO per direction: bytes read at time t leave it at
 * max(t, end of the previous bytes) + size / rate, and are written on at
 * that time plus the delay. The forwarder's own accept completes at once,
 * so the handshake's cost is put onto the first bytes instead: the client's
 * first bytes arrive no earlier than three one-way delays after the accept,
 * the server's no earlier than four, as after a real SYN, SYN-ACK, ACK.
 * TERM or INT ends it. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

/* Bytes read in one go become one record on the link; 16 KiB take 131 us
 * at 1 Gbit/s, so a burst's first bytes wait little longer than they would
 * behind a real link's packets. */
enum { RECORD_MAX = 16 << 10, RECORDS = 1024, READS_PER_TURN = 4 };

struct record {
    size_t len;
    int64_t due; /* ns, monotonic */
};

/* One direction of one connection: bytes read from `from`, held in a ring
 * until their records are due, then written to `to`. */
struct lane {
    int from, to;
    char *ring;
    size_t head, held;   /* ring position of the oldest byte, bytes held */
    size_t written;      /* bytes of the oldest record already written */
    struct record rec[RECORDS];
    unsigned rhead, rcount;
    int64_t not_before;
    int64_t eof_due;     /* when the sender's end arrives, once read */
    int eof, shut;
    int blocked;         /* the receiver's buffer is full: wait for POLLOUT */
};

struct conn {
    int client, server;
    struct lane up, down; /* client to server, server to client */
};

static int64_t delay_ns;
static int64_t rate_mbit = 1000;
static size_t buffer_size = 4u << 20;
static int64_t link_free[2]; /* when each direction's link is next idle */
static volatile sig_atomic_t stopping;

static int64_t now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static void on_signal(int sig)
{
    (void)sig;
    stopping = 1;
}

static int set_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    return flags < 0 ? -1 : fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

static void no_delay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

static void lane_init(struct lane *l, int from, int to, int64_t not_before)
{
    memset(l, 0, sizeof *l);
    l->from = from;
    l->to = to;
    l->not_before = not_before;
}

static int lane_can_read(const struct lane *l)
{
    return !l->eof && l->held < buffer_size && l->rcount < RECORDS;
}

static int lane_done(const struct lane *l)
{
    return l->shut;
}

/* Reads what the sender has (a few records at most, so that one busy
 * connection cannot claim the link for long) and puts it on the link.
 * Returns -1 when the connection failed. */
static int lane_read(struct lane *l, int dir)
{
    for (int turn = 0; turn < READS_PER_TURN && lane_can_read(l); turn++) {
        if (!l->ring && !(l->ring = malloc(buffer_size)))
            return -1;
        size_t tail = (l->head + l->held) % buffer_size;
        size_t room = buffer_size - l->held;
        if (room > buffer_size - tail)
            room = buffer_size - tail;
        if (room > RECORD_MAX)
            room = RECORD_MAX;
        ssize_t n = recv(l->from, l->ring + tail, room, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return 0;
        if (n < 0)
            return -1;
        int64_t now = now_ns();
        int64_t last_due = l->rcount ? l->rec[(l->rhead + l->rcount - 1) % RECORDS].due : 0;
        if (n == 0) {
            l->eof = 1;
            int64_t due = (now > link_free[dir] ? now : link_free[dir]) + delay_ns;
            l->eof_due = due > last_due ? due : last_due;
            if (l->eof_due < l->not_before)
                l->eof_due = l->not_before;
            return 0;
        }
        int64_t start = now > link_free[dir] ? now : link_free[dir];
        int64_t end = start + (rate_mbit > 0 ? (int64_t)n * 8000 / rate_mbit : 0);
        link_free[dir] = end;
        int64_t due = end + delay_ns;
        if (due < l->not_before)
            due = l->not_before;
        if (due < last_due)
            due = last_due;
        l->rec[(l->rhead + l->rcount) % RECORDS] = (struct record){(size_t)n, due};
        l->rcount++;
        l->held += (size_t)n;
    }
    return 0;
}

/* Writes every record that is due, then passes the sender's end on once
 * it is due too. Returns -1 when the connection failed. */
static int lane_write(struct lane *l, int64_t now)
{
    l->blocked = 0;
    while (l->rcount && l->rec[l->rhead].due <= now) {
        struct record *r = &l->rec[l->rhead];
        size_t left = r->len - l->written;
        size_t chunk = buffer_size - l->head < left ? buffer_size - l->head : left;
        ssize_t n = send(l->to, l->ring + l->head, chunk, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            l->blocked = 1;
            return 0;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        l->head = (l->head + (size_t)n) % buffer_size;
        l->held -= (size_t)n;
        l->written += (size_t)n;
        if (l->written == r->len) {
            l->written = 0;
            l->rhead = (l->rhead + 1) % RECORDS;
            l->rcount--;
        }
    }
    if (l->eof && !l->shut && !l->rcount && l->eof_due <= now) {
        shutdown(l->to, SHUT_WR);
        l->shut = 1;
        free(l->ring);
        l->ring = NULL;
    }
    return 0;
}

/* The earliest moment this lane has something to write, or INT64_MAX. */
static int64_t lane_next(const struct lane *l)
{
    if (l->blocked)
        return INT64_MAX;
    if (l->rcount)
        return l->rec[l->rhead].due;
    if (l->eof && !l->shut)
        return l->eof_due;
    return INT64_MAX;
}

static void conn_close(struct conn *c, int abort)
{
    if (abort) {
        struct linger hard = {1, 0};
        setsockopt(c->client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        setsockopt(c->server, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    close(c->client);
    close(c->server);
    free(c->up.ring);
    free(c->down.ring);
    free(c);
}

static struct conn *conn_open(int client, const struct sockaddr_in *target)
{
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0)
        return NULL;
    /* A loopback connect completes at once; the time-out only guards
     * against a target whose backlog is full. */
    struct timeval limit = {5, 0};
    setsockopt(server, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (connect(server, (const struct sockaddr *)target, sizeof *target) != 0 || set_nonblocking(server) != 0 ||
        set_nonblocking(client) != 0) {
        close(server);
        return NULL;
    }
    no_delay(client);
    no_delay(server);
    struct conn *c = calloc(1, sizeof *c);
    if (!c) {
        close(server);
        return NULL;
    }
    int64_t now = now_ns();
    c->client = client;
    c->server = server;
    lane_init(&c->up, client, server, now + 3 * delay_ns);
    lane_init(&c->down, server, client, now + 4 * delay_ns);
    return c;
}

static int parse_loopback(const char *text, struct in_addr *addr)
{
    return inet_pton(AF_INET, text, addr) == 1 && (ntohl(addr->s_addr) >> 24) == 127;
}

static int usage(void)
{
    fprintf(stderr, "usage: netdelay --target PORT [--target-host ADDR] [--listen PORT] [--port-file FILE]\n"
                    "                [--delay-ms MS] [--rate-mbit N] [--buffer BYTES] [--max-connections N]\n");
    return 2;
}

static int write_port_file(const char *path, int port)
{
    char tmp[4096];
    if (snprintf(tmp, sizeof tmp, "%s.tmp", path) >= (int)sizeof tmp)
        return -1;
    FILE *f = fopen(tmp, "w");
    if (!f)
        return -1;
    int ok = fprintf(f, "%d\n", port) > 0;
    ok = (fclose(f) == 0) && ok;
    /* Renamed into place so that a reader never sees half a number. */
    return ok && rename(tmp, path) == 0 ? 0 : -1;
}

int main(int argc, char **argv)
{
    const char *port_file = NULL;
    struct sockaddr_in target = {.sin_family = AF_INET};
    struct sockaddr_in listen_at = {.sin_family = AF_INET};
    inet_pton(AF_INET, "127.0.0.1", &target.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &listen_at.sin_addr);
    long max_conns = 512;
    int have_target = 0;
    for (int i = 1; i < argc; i++) {
        const char *opt = argv[i];
        if (i + 1 >= argc)
            return usage();
        const char *value = argv[++i];
        char *end = NULL;
        errno = 0;
        if (!strcmp(opt, "--target") || !strcmp(opt, "--listen")) {
            long port = strtol(value, &end, 10);
            if (*end || errno || port < (opt[2] == 't' ? 1 : 0) || port > 65535)
                return usage();
            if (opt[2] == 't') {
                target.sin_port = htons((uint16_t)port);
                have_target = 1;
            } else {
                listen_at.sin_port = htons((uint16_t)port);
            }
        } else if (!strcmp(opt, "--target-host")) {
            if (!parse_loopback(value, &target.sin_addr)) {
                fprintf(stderr, "netdelay: --target-host must be an address in 127.0.0.0/8\n");
                return 2;
            }
        } else if (!strcmp(opt, "--port-file")) {
            port_file = value;
        } else if (!strcmp(opt, "--delay-ms")) {
            double ms = strtod(value, &end);
            if (*end || errno || !(ms >= 0 && ms <= 60000))
                return usage();
            delay_ns = (int64_t)(ms * 1e6 + 0.5);
        } else if (!strcmp(opt, "--rate-mbit")) {
            rate_mbit = strtoll(value, &end, 10);
            if (*end || errno || rate_mbit < 0 || rate_mbit > 1000000)
                return usage();
        } else if (!strcmp(opt, "--buffer")) {
            unsigned long long bytes = strtoull(value, &end, 10);
            if (*end || errno || bytes < 4096 || bytes > (1ull << 30))
                return usage();
            buffer_size = (size_t)bytes;
        } else if (!strcmp(opt, "--max-connections")) {
            max_conns = strtol(value, &end, 10);
            if (*end || errno || max_conns < 1 || max_conns > 4096)
                return usage();
        } else {
            return usage();
        }
    }
    if (!have_target)
        return usage();

    /* Sub-millisecond delays need the kernel to wake us when asked. */
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    signal(SIGPIPE, SIG_IGN);
    sigset_t stop_signals, waiting_mask;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    /* Blocked except inside ppoll, so a stop cannot slip in between the
     * check and the wait. */
    sigprocmask(SIG_BLOCK, &stop_signals, &waiting_mask);
    struct sigaction sa = {.sa_handler = on_signal};
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);

    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    socklen_t len = sizeof listen_at;
    if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(listener, (struct sockaddr *)&listen_at, sizeof listen_at) != 0 || listen(listener, 128) != 0 ||
        getsockname(listener, (struct sockaddr *)&listen_at, &len) != 0 || set_nonblocking(listener) != 0) {
        perror("netdelay: listen");
        return 1;
    }
    if (port_file && write_port_file(port_file, ntohs(listen_at.sin_port)) != 0) {
        perror("netdelay: port file");
        return 1;
    }

    struct conn **conns = calloc((size_t)max_conns, sizeof *conns);
    struct pollfd *fds = calloc((size_t)max_conns * 2 + 1, sizeof *fds);
    if (!conns || !fds) {
        fprintf(stderr, "netdelay: out of memory\n");
        return 1;
    }
    long count = 0;
    while (!stopping) {
        int64_t now = now_ns();
        int64_t next = INT64_MAX;
        for (long i = 0; i < count;) {
            struct conn *c = conns[i];
            if (lane_write(&c->up, now) != 0 || lane_write(&c->down, now) != 0 ||
                (lane_done(&c->up) && lane_done(&c->down))) {
                conn_close(c, !(lane_done(&c->up) && lane_done(&c->down)));
                conns[i] = conns[--count];
                continue;
            }
            int64_t up = lane_next(&c->up), down = lane_next(&c->down);
            if (up < next)
                next = up;
            if (down < next)
                next = down;
            i++;
        }

        fds[0] = (struct pollfd){.fd = listener, .events = count < max_conns ? POLLIN : 0};
        for (long i = 0; i < count; i++) {
            struct conn *c = conns[i];
            fds[1 + 2 * i] = (struct pollfd){
                .fd = c->client,
                .events = (short)((lane_can_read(&c->up) ? POLLIN : 0) | (c->down.blocked ? POLLOUT : 0))};
            fds[2 + 2 * i] = (struct pollfd){
                .fd = c->server,
                .events = (short)((lane_can_read(&c->down) ? POLLIN : 0) | (c->up.blocked ? POLLOUT : 0))};
        }
        struct timespec wait, *timeout = NULL;
        if (next != INT64_MAX) {
            int64_t left = next - now_ns();
            if (left < 0)
                left = 0;
            wait.tv_sec = left / 1000000000;
            wait.tv_nsec = left % 1000000000;
            timeout = &wait;
        }
        if (ppoll(fds, (nfds_t)(1 + 2 * count), timeout, &waiting_mask) < 0) {
            if (errno == EINTR)
                continue;
            perror("netdelay: ppoll");
            break;
        }

        for (long i = 0; i < count;) {
            struct conn *c = conns[i];
            short cr = fds[1 + 2 * i].revents, sr = fds[2 + 2 * i].revents;
            /* Hang-ups show up as an empty read, resets as a failed one. */
            int failed = (cr | sr) & POLLERR;
            if (!failed && (cr & (POLLIN | POLLHUP)) && lane_can_read(&c->up))
                failed = lane_read(&c->up, 0) != 0;
            if (!failed && (sr & (POLLIN | POLLHUP)) && lane_can_read(&c->down))
                failed = lane_read(&c->down, 1) != 0;
            if (failed) {
                /* A reset on one side becomes a reset on the other. */
                conn_close(c, 1);
                count--;
                conns[i] = conns[count];
                fds[1 + 2 * i] = fds[1 + 2 * count];
                fds[2 + 2 * i] = fds[2 + 2 * count];
                continue;
            }
            i++;
        }

        if (fds[0].revents & POLLIN) {
            for (;;) {
                if (count >= max_conns)
                    break;
                int client = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
                if (client < 0)
                    break;
                struct conn *c = conn_open(client, &target);
                if (!c) {
                    struct linger hard = {1, 0};
                    setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
                    close(client);
                    continue;
                }
                conns[count++] = c;
            }
        }
    }
    for (long i = 0; i < count; i++)
        conn_close(conns[i], 1);
    free(conns);
    free(fds);
    close(listener);
    return 0;
}
