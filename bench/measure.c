/* measure: run one program and print what it cost.
 *
 *   measure STDOUT_PATH STDERR_PATH PROGRAM [ARG...]
 *
 * The program's standard output and error go to the two paths (opened before the clock
 * starts); its standard input is /dev/null. On its own standard output measure prints one
 * line:
 *
 *   wall_ns user_us sys_us maxrss_kib status
 *
 * wall time from just before fork() to just after wait4(), the CPU times and the peak
 * resident set that wait4() reports for the child (what GNU time -v shows as "Maximum
 * resident set size"), and the exit status (128+N after signal N). Built statically so
 * that the same binary runs on the host and in the benchmark guest.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static long long tv_us(struct timeval t)
{
    return (long long)t.tv_sec * 1000000LL + t.tv_usec;
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: measure STDOUT_PATH STDERR_PATH PROGRAM [ARG...]\n");
        return 2;
    }
    int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) {
        perror("measure: open");
        return 2;
    }
    long long t0 = now_ns();
    pid_t pid = fork();
    if (pid < 0) {
        perror("measure: fork");
        return 2;
    }
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        close(in);
        close(out);
        close(err);
        execvp(argv[3], argv + 3);
        perror("measure: exec");
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) < 0) {
        perror("measure: wait4");
        return 2;
    }
    long long t1 = now_ns();
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    printf("%lld %lld %lld %ld %d\n", t1 - t0, tv_us(usage.ru_utime), tv_us(usage.ru_stime),
           usage.ru_maxrss, code);
    return 0;
}
