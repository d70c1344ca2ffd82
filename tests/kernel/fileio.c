/* fileio: the calls Python's file and os functions make on a device, for guests that have
 * no Python (the program table runs it on the real drivers and under the simulator).
 *
 *   fileio read DEV             open(DEV, "rb").read(): open, fstat, read until 0 -> stdout
 *   fileio pread DEV LEN OFF    os.pread(fd, LEN, OFF) on an O_RDONLY descriptor -> stdout
 *   fileio pwrite DEV OFF HEX   os.pwrite(fd, bytes.fromhex(HEX), OFF) on O_RDWR; prints
 *                               the count
 * A failure prints "OSError: [Errno N] TEXT" as Python does and exits 1.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int oserror(void)
{
    int e = errno;
    printf("OSError: [Errno %d] %s\n", e, strerror(e));
    return 1;
}

int main(int argc, char **argv)
{
    static unsigned char buf[1 << 16];
    if (argc >= 3 && strcmp(argv[1], "read") == 0) {
        int fd = open(argv[2], O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0)
            return oserror();
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0)
                return oserror();
            if (n == 0)
                return 0;
            fwrite(buf, 1, (size_t)n, stdout);
        }
    }
    if (argc == 5 && strcmp(argv[1], "pread") == 0) {
        int fd = open(argv[2], O_RDONLY | O_CLOEXEC);
        size_t len = strtoul(argv[3], NULL, 0);
        if (fd < 0)
            return oserror();
        unsigned char *p = malloc(len ? len : 1);
        ssize_t n = pread(fd, p, len, (off_t)strtoull(argv[4], NULL, 0));
        if (n < 0)
            return oserror();
        fwrite(p, 1, (size_t)n, stdout);
        return 0;
    }
    if (argc == 5 && strcmp(argv[1], "pwrite") == 0) {
        int fd = open(argv[2], O_RDWR | O_CLOEXEC);
        size_t len = strlen(argv[4]) / 2;
        if (fd < 0)
            return oserror();
        for (size_t i = 0; i < len && i < sizeof buf; i++)
            sscanf(argv[4] + 2 * i, "%2hhx", &buf[i]);
        ssize_t n = pwrite(fd, buf, len, (off_t)strtoull(argv[3], NULL, 0));
        if (n < 0)
            return oserror();
        printf("%zd\n", n);
        return 0;
    }
    fprintf(stderr, "usage: fileio read DEV | pread DEV LEN OFF | pwrite DEV OFF HEX\n");
    return 2;
}
