/* mtdprobe: print how the kernel's MTD char device answers edge cases.
 *
 * selftest.py runs it in place of flashtool to record what block2mtd under
 * the real kernel does; every line is "<step> ret=<value> errno=<name>".
 *
 * usage: mtdprobe argv0          print "[argv[0]]"
 *        mtdprobe CMD ARG...     run CMD (any first word not under /dev/)
 *        mtdprobe DEV STEP...    DEV under /dev/, STEP one of
 *   info             MEMGETINFO: type flags size erasesize writesize
 *   open:MODE        reopen DEV with MODE = ro | rw | rwsync | wo
 *   erase:START:LEN  MEMERASE
 *   seek:OFF[:end]   lseek SEEK_SET (or SEEK_END)
 *   write:OFF:LEN:B  pwrite-style lseek+write of LEN bytes of value B
 *   read:OFF:LEN     lseek+read, prints the bytes read and their first value
 */
#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static const char *errname(int e)
{
    switch (e) {
    case 0: return "0";
    case EINVAL: return "EINVAL";
    case EACCES: return "EACCES";
    case EPERM: return "EPERM";
    case EROFS: return "EROFS";
    case ENOSPC: return "ENOSPC";
    case EIO: return "EIO";
    case ENOENT: return "ENOENT";
    case EBADF: return "EBADF";
    case ENOTTY: return "ENOTTY";
    case EOPNOTSUPP: return "EOPNOTSUPP";
    case EFBIG: return "EFBIG";
    default: return "other";
    }
}

static unsigned long num(const char *s) { return strtoul(s, NULL, 0); }

int main(int argc, char **argv)
{
    if (argc >= 2 && strcmp(argv[1], "argv0") == 0) {
        printf("[%s]\n", argv[0]);
        return 0;
    }
    if (argc >= 2 && strncmp(argv[1], "/dev/", 5) != 0) {
        execvp(argv[1], argv + 1);
        perror(argv[1]);
        return 127;
    }
    if (argc < 3) {
        fprintf(stderr, "usage: mtdprobe DEV STEP...\n");
        return 2;
    }
    const char *dev = argv[1];
    int fd = open(dev, O_RDWR);
    printf("open-rw ret=%d errno=%s\n", fd < 0 ? -1 : 0, errname(fd < 0 ? errno : 0));
    if (fd < 0) {
        fd = open(dev, O_RDONLY);
        printf("open-ro ret=%d errno=%s\n", fd < 0 ? -1 : 0, errname(fd < 0 ? errno : 0));
    }
    for (int i = 2; i < argc; i++) {
        char buf[256];
        snprintf(buf, sizeof buf, "%s", argv[i]);
        char *a[4] = {0};
        int n = 0;
        for (char *t = strtok(buf, ":"); t && n < 4; t = strtok(NULL, ":"))
            a[n++] = t;
        long ret = -1;
        errno = 0;
        if (!strcmp(a[0], "info")) {
            struct mtd_info_user mi;
            ret = ioctl(fd, MEMGETINFO, &mi);
            if (ret == 0)
                printf("info type=%u flags=0x%x size=0x%x erasesize=0x%x writesize=%u\n",
                       mi.type, mi.flags, mi.size, mi.erasesize, mi.writesize);
        } else if (!strcmp(a[0], "open") && n == 2) {
            int fl = !strcmp(a[1], "ro") ? O_RDONLY
                   : !strcmp(a[1], "wo") ? O_WRONLY
                   : !strcmp(a[1], "rwsync") ? O_RDWR | O_SYNC : O_RDWR;
            int nfd = open(dev, fl);
            ret = nfd < 0 ? -1 : 0;
            if (nfd >= 0) {
                close(fd);
                fd = nfd;
            }
        } else if (!strcmp(a[0], "erase") && n == 3) {
            struct erase_info_user ei = {(unsigned)num(a[1]), (unsigned)num(a[2])};
            ret = ioctl(fd, MEMERASE, &ei);
        } else if (!strcmp(a[0], "seek") && n >= 2) {
            ret = lseek(fd, (off_t)strtol(a[1], NULL, 0),
                        n == 3 && !strcmp(a[2], "end") ? SEEK_END : SEEK_SET);
        } else if (!strcmp(a[0], "write") && n == 4) {
            size_t len = num(a[2]);
            char *data = malloc(len ? len : 1);
            memset(data, (int)num(a[3]), len);
            if (lseek(fd, (off_t)num(a[1]), SEEK_SET) >= 0)
                ret = write(fd, data, len);
            free(data);
        } else if (!strcmp(a[0], "read") && n == 3) {
            size_t len = num(a[2]);
            unsigned char *data = malloc(len ? len : 1);
            if (lseek(fd, (off_t)num(a[1]), SEEK_SET) >= 0)
                ret = read(fd, data, len);
            if (ret > 0)
                printf("data first=0x%02x last=0x%02x\n", data[0], data[ret - 1]);
            free(data);
        } else {
            fprintf(stderr, "mtdprobe: bad step %s\n", argv[i]);
            return 2;
        }
        printf("%s ret=%ld errno=%s\n", argv[i], ret, errname(ret < 0 ? errno : 0));
    }
    return 0;
}
