/* norraw: the raw driver work of two flashtool commands and nothing else, the yardstick of
 * the NOR machine's benchmark (norbench.py). Static, for the ARM guest.
 *
 *   norraw erase-write DEV FILE    writecramfs: one MEMERASE of the whole device, then the
 *                                  file in one write
 *   norraw write DEV OFFSET HEX    writel1: one pwrite of the stamp's bytes
 * Exit 0, or 1 after a perror.
 */
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    static unsigned char buf[0x290000];
    if (argc == 4 && strcmp(argv[1], "erase-write") == 0) {
        int dev = open(argv[2], O_RDWR | O_SYNC);
        int in = open(argv[3], O_RDONLY);
        struct mtd_info_user info;
        if (dev < 0 || in < 0 || ioctl(dev, MEMGETINFO, &info) != 0) {
            perror("open");
            return 1;
        }
        ssize_t len = read(in, buf, sizeof buf);
        struct erase_info_user erase = {0, info.size};
        if (len < 0 || ioctl(dev, MEMERASE, &erase) != 0 || write(dev, buf, (size_t)len) != len) {
            perror("erase-write");
            return 1;
        }
        return close(dev) == 0 ? 0 : 1;
    }
    if (argc == 5 && strcmp(argv[1], "write") == 0) {
        int dev = open(argv[2], O_RDWR | O_SYNC);
        size_t len = strlen(argv[4]) / 2;
        for (size_t i = 0; i < len && i < sizeof buf; i++)
            sscanf(argv[4] + 2 * i, "%2hhx", &buf[i]);
        if (dev < 0 || pwrite(dev, buf, len, strtol(argv[3], NULL, 0)) != (ssize_t)len) {
            perror("write");
            return 1;
        }
        return close(dev) == 0 ? 0 : 1;
    }
    fprintf(stderr, "usage: norraw erase-write DEV FILE | write DEV OFFSET HEX\n");
    return 2;
}
