/* The Samba anchor: libsmbclient copying one file and listing one folder,
 * the same file and folder the library's figures use.
 *
 *   smb_bench copy smb://HOST:PORT/SHARE/PATH LOCAL_FILE
 *   smb_bench list smb://HOST:PORT/SHARE/DIR
 *
 * Prints tab-separated lines: figure, value, unit. Guest access. */
#include <libsmbclient.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static void guest(const char *server, const char *share, char *workgroup, int wglen, char *user, int userlen,
                  char *password, int passlen)
{
    (void)server; (void)share; (void)workgroup; (void)wglen;
    snprintf(user, userlen, "%s", "guest");
    snprintf(password, passlen, "%s", "");
}

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

int main(int argc, char **argv)
{
    if (argc < 3 || (strcmp(argv[1], "copy") == 0 && argc < 4)) {
        fprintf(stderr, "usage: smb_bench copy URL LOCAL | smb_bench list URL\n");
        return 2;
    }
    if (smbc_init(guest, 0) < 0) {
        perror("smbc_init");
        return 1;
    }
    double start = now();
    if (strcmp(argv[1], "copy") == 0) {
        int in = smbc_open(argv[2], O_RDONLY, 0);
        int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0) {
            perror("open");
            return 1;
        }
        static char buffer[1 << 20];
        long long total = 0;
        for (;;) {
            ssize_t n = smbc_read(in, buffer, sizeof buffer);
            if (n < 0) {
                perror("smbc_read");
                return 1;
            }
            if (n == 0)
                break;
            if (write(out, buffer, (size_t)n) != n) {
                perror("write");
                return 1;
            }
            total += n;
        }
        smbc_close(in);
        close(out);
        double seconds = now() - start;
        printf("copy\t%.1f\tMB/s\n", total / 1e6 / seconds);
        printf("copy bytes\t%lld\tB\n", total);
    } else {
        int dir = smbc_opendir(argv[2]);
        if (dir < 0) {
            perror("smbc_opendir");
            return 1;
        }
        long entries = 0;
        struct smbc_dirent *entry;
        while ((entry = smbc_readdir(dir)) != NULL)
            ++entries;
        smbc_closedir(dir);
        double seconds = now() - start;
        printf("list\t%.0f\tentries/s\n", entries / seconds);
        printf("list entries\t%ld\t1\n", entries);
    }
    return 0;
}
