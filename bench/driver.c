/* Runs two commands in alternation, each with its standard input opened
 * afresh from a file, and prints the median wall time of each (in
 * microseconds), their ratio, and the largest peak resident set (KiB).
 *
 *   driver RUNS INPUT command-a [args] -- command-b [args]
 */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static double now_us(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

/* One run; returns its wall time, and its peak RSS through *rss. */
static double run(char **argv, const char *input, long *rss)
{
    posix_spawn_file_actions_t fa;
    struct rusage ru;
    pid_t pid;
    int status;
    double start;

    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, input, O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    start = now_us();
    if (posix_spawn(&pid, argv[0], &fa, NULL, argv, environ) != 0) {
        perror(argv[0]);
        exit(1);
    }
    if (wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "driver: %s failed\n", argv[0]);
        exit(1);
    }
    posix_spawn_file_actions_destroy(&fa);
    if (ru.ru_maxrss > *rss)
        *rss = ru.ru_maxrss;
    return now_us() - start;
}

static int by_value(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

static double median(double *v, int n)
{
    qsort(v, n, sizeof *v, by_value);
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int main(int argc, char **argv)
{
    int runs, i, split = 0;
    double *a, *b;
    long rss_a = 0, rss_b = 0;

    for (i = 3; i < argc; i++)
        if (strcmp(argv[i], "--") == 0)
            split = i;
    if (argc < 6 || split == 0 || (runs = atoi(argv[1])) < 1) {
        fprintf(stderr, "usage: driver RUNS INPUT command-a -- command-b\n");
        return 2;
    }
    argv[split] = NULL;
    a = calloc(runs, sizeof *a);
    b = calloc(runs, sizeof *b);
    for (i = 0; i < runs; i++) {
        a[i] = run(argv + 3, argv[2], &rss_a);
        b[i] = run(argv + split + 1, argv[2], &rss_b);
    }
    double ma = median(a, runs), mb = median(b, runs);
    printf("%.1f %.1f %.3f %ld %ld\n", ma, mb, ma / mb, rss_a, rss_b);
    return 0;
}
