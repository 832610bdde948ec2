/* The floor of one exchange: a raw TCP ping-pong with the library's message
 * sizes (a 12-byte request header with a small payload, answered by a
 * 16-byte reply: header and status), no library and no CDR on either side.
 *
 *   pingpong server PORT_FILE          serve on 127.0.0.1, any port, written to PORT_FILE
 *   pingpong client PORT CALLS THREADS [PAYLOAD]
 *
 * The client prints tab-separated lines: figure, value, unit. The server
 * answers every request, so the library can log on to it too. */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static int read_all(int fd, void *buf, size_t n)
{
    char *p = buf;
    while (n > 0) {
        ssize_t r = recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        p += r;
        n -= (size_t)r;
    }
    return 0;
}

static int write_all(int fd, const void *buf, size_t n)
{
    const char *p = buf;
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return -1;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

static void put32(unsigned char *p, uint32_t v)
{
    p[0] = v & 0xFF; p[1] = (v >> 8) & 0xFF; p[2] = (v >> 16) & 0xFF; p[3] = v >> 24;
}

static uint32_t get32(const unsigned char *p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24);
}

static void no_delay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

/* One connection: each request (header + announced payload) gets a status-0
 * reply to its opcode. The path-list acknowledgements get none. */
static void *serve(void *arg)
{
    int fd = (int)(intptr_t)arg;
    unsigned char header[12], reply[16], payload[4096];
    no_delay(fd);
    for (;;) {
        if (read_all(fd, header, 12) != 0)
            break;
        uint32_t opcode = get32(header + 4), length = get32(header + 8);
        while (length > 0) {
            size_t part = length < sizeof payload ? length : sizeof payload;
            if (read_all(fd, payload, part) != 0)
                goto done;
            length -= (uint32_t)part;
        }
        if (opcode == 29 || opcode == 30)
            continue;
        reply[0] = 1; reply[1] = 0; reply[2] = 2; reply[3] = 0;
        put32(reply + 4, opcode);
        put32(reply + 8, 4);
        put32(reply + 12, 0);
        if (write_all(fd, reply, 16) != 0)
            break;
    }
done:
    close(fd);
    return NULL;
}

static int run_server(const char *port_file)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    socklen_t len = sizeof addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener < 0 || bind(listener, (struct sockaddr *)&addr, sizeof addr) != 0 || listen(listener, 64) != 0 ||
        getsockname(listener, (struct sockaddr *)&addr, &len) != 0) {
        perror("pingpong server");
        return 1;
    }
    FILE *f = fopen(port_file, "w");
    if (f == NULL) {
        perror(port_file);
        return 1;
    }
    fprintf(f, "%u\n", ntohs(addr.sin_port));
    fclose(f);
    for (;;) {
        int fd = accept(listener, NULL, NULL);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        pthread_t thread;
        if (pthread_create(&thread, NULL, serve, (void *)(intptr_t)fd) != 0)
            close(fd);
        else
            pthread_detach(thread);
    }
}

struct client {
    int port;
    long calls;
    size_t payload;
    int failed;
};

static void *run_client(void *arg)
{
    struct client *c = arg;
    struct sockaddr_in addr;
    unsigned char request[12 + 512], reply[16];
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)c->port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
        c->failed = 1;
        return NULL;
    }
    no_delay(fd);
    memset(request, 0x41, sizeof request);
    request[0] = 1; request[1] = 0; request[2] = 1; request[3] = 0;
    put32(request + 4, 25);
    put32(request + 8, (uint32_t)c->payload);
    for (long i = 0; i < c->calls; ++i) {
        if (write_all(fd, request, 12 + c->payload) != 0 || read_all(fd, reply, 16) != 0) {
            c->failed = 1;
            break;
        }
    }
    close(fd);
    return NULL;
}

static double seconds(const struct timeval *tv) { return tv->tv_sec + tv->tv_usec / 1e6; }

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "server") == 0)
        return run_server(argv[2]);
    if (argc < 5 || strcmp(argv[1], "client") != 0) {
        fprintf(stderr, "usage: pingpong server PORT_FILE | pingpong client PORT CALLS THREADS [PAYLOAD]\n");
        return 2;
    }
    int threads = atoi(argv[4]);
    long calls = atol(argv[3]);
    size_t payload = argc > 5 ? (size_t)atol(argv[5]) : 40;
    if (threads < 1 || threads > 64 || calls < 1 || payload > 512) {
        fprintf(stderr, "pingpong: bad arguments\n");
        return 2;
    }
    struct client clients[64];
    pthread_t ids[64];
    struct timespec start, end;
    struct rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (int i = 0; i < threads; ++i) {
        clients[i].port = atoi(argv[2]);
        clients[i].calls = calls;
        clients[i].payload = payload;
        clients[i].failed = 0;
        pthread_create(&ids[i], NULL, run_client, &clients[i]);
    }
    int failed = 0;
    for (int i = 0; i < threads; ++i) {
        pthread_join(ids[i], NULL);
        failed |= clients[i].failed;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    getrusage(RUSAGE_SELF, &after);
    if (failed) {
        fprintf(stderr, "pingpong: a connection failed\n");
        return 1;
    }
    double wall = (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
    double cpu = seconds(&after.ru_utime) - seconds(&before.ru_utime) + seconds(&after.ru_stime) -
                 seconds(&before.ru_stime);
    double total = (double)calls * threads;
    printf("round trip\t%.2f\tus\n", wall / calls * 1e6);
    printf("calls per second\t%.0f\t1/s\n", total / wall);
    printf("client cpu per call\t%.2f\tus\n", cpu / total * 1e6);
    return 0;
}
