/* flashfill: put an image on an MTD device the way a NOR flash allows, with the fewest
 * erases and writes.
 *
 * The NOR machine of the kernel tier runs it before every job to give the four devices
 * the job's starting contents. A NOR write can only clear bits and a program of each byte
 * costs microseconds, so every erase block is compared first: a block that already holds
 * the image is left alone, a block whose bits only need clearing is written where it
 * differs, and any other block is erased and then written, leaving out the bytes that are
 * 0xFF anyway. Built statically for the guest.
 *
 * usage: flashfill DEVICE IMAGE     exit 0, or 1 with a message on standard error
 */
#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

static int fail(const char *what, const char *name)
{
    fprintf(stderr, "flashfill: %s %s: %s\n", what, name, strerror(errno));
    return 1;
}

static int read_all(int fd, unsigned char *buf, size_t len, off_t at)
{
    while (len > 0) {
        ssize_t n = pread(fd, buf, len, at);
        if (n <= 0)
            return -1;
        buf += n;
        len -= (size_t)n;
        at += n;
    }
    return 0;
}

/* Writes want[from, to) at base+from, in runs that leave out bytes equal to what the
 * block holds (after an erase: the 0xFF bytes). */
static int write_changed(int fd, const unsigned char *want, const unsigned char *have,
                         size_t from, size_t to, off_t base)
{
    size_t i = from;
    while (i < to) {
        while (i < to && want[i] == have[i])
            i++;
        size_t end = i;
        while (end < to && want[end] != have[end])
            end++;
        for (size_t at = i; at < end;) {
            ssize_t n = pwrite(fd, want + at, end - at, base + (off_t)at);
            if (n <= 0)
                return -1;
            at += (size_t)n;
        }
        i = end;
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: flashfill DEVICE IMAGE\n");
        return 2;
    }
    int dev = open(argv[1], O_RDWR);
    if (dev < 0)
        return fail("open", argv[1]);
    struct mtd_info_user info;
    if (ioctl(dev, MEMGETINFO, &info) != 0)
        return fail("MEMGETINFO", argv[1]);
    int img = open(argv[2], O_RDONLY);
    struct stat st;
    if (img < 0 || fstat(img, &st) != 0)
        return fail("open", argv[2]);
    if ((unsigned long long)st.st_size != info.size) {
        fprintf(stderr, "flashfill: %s has %lld bytes, %s %u\n", argv[2],
                (long long)st.st_size, argv[1], info.size);
        return 1;
    }
    size_t block = info.erasesize;
    unsigned char *want = malloc(block), *have = malloc(block);
    if (!want || !have)
        return fail("malloc", argv[1]);
    for (off_t base = 0; base < (off_t)info.size; base += (off_t)block) {
        if (read_all(img, want, block, base) != 0)
            return fail("read", argv[2]);
        if (read_all(dev, have, block, base) != 0)
            return fail("read", argv[1]);
        if (memcmp(want, have, block) == 0)
            continue;
        size_t i = 0;
        while (i < block && (have[i] & want[i]) == want[i])
            i++;
        if (i < block) {
            struct erase_info_user erase = {(unsigned)base, (unsigned)block};
            if (ioctl(dev, MEMERASE, &erase) != 0)
                return fail("MEMERASE", argv[1]);
            memset(have, 0xFF, block);
        }
        if (write_changed(dev, want, have, 0, block, base) != 0)
            return fail("write", argv[1]);
    }
    return 0;
}
