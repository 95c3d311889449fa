/* Whole-process cost: starts pagestamp and the baseline alternately with the
 * same environment, so that both see the same machine, and prints the median
 * and mean microseconds per run and the ratio pagestamp/baseline.
 * usage: process_bench PAGESTAMP BASELINE RUNS DOCUMENT_ROOT [QUERY_STRING] */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>

static double now_us(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e6 + (double)t.tv_nsec / 1e3;
}

static double run_once(const char *program, char **envp, const posix_spawn_file_actions_t *actions)
{
    char *argv[] = {(char *)program, NULL};
    pid_t pid;
    const double start = now_us();
    if (posix_spawn(&pid, program, actions, NULL, argv, envp) != 0) {
        perror(program);
        exit(1);
    }
    int status;
    waitpid(pid, &status, 0);
    const double took = now_us() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "%s failed (status %d)\n", program, status);
        exit(1);
    }
    return took;
}

static int by_value(const void *a, const void *b)
{
    const double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

static double median(double *times, int n)
{
    qsort(times, (size_t)n, sizeof *times, by_value);
    return n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
}

static double mean(const double *times, int n)
{
    double sum = 0;
    for (int i = 0; i < n; ++i) sum += times[i];
    return sum / n;
}

int main(int argc, char **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: %s PAGESTAMP BASELINE RUNS DOCUMENT_ROOT [QUERY_STRING]\n", argv[0]);
        return 2;
    }
    const int runs = atoi(argv[3]);
    static char root[4096], query[4096];
    snprintf(root, sizeof root, "DOCUMENT_ROOT=%s", argv[4]);
    snprintf(query, sizeof query, "QUERY_STRING=%s", argc > 5 ? argv[5] : "");
    char *envp[] = {"SERVER_NAME=bench.example.org", root, "DOCUMENT_URI=/index.shtml",
                    "DOCUMENT_NAME=index.shtml", query, "TZ=Europe/London", NULL};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);

    double *ours = calloc((size_t)runs, sizeof(double));
    double *floor = calloc((size_t)runs, sizeof(double));
    for (int i = 0; i < 50; ++i) { /* warm the page cache and the loader */
        run_once(argv[1], envp, &actions);
        run_once(argv[2], envp, &actions);
    }
    for (int i = 0; i < runs; ++i) {
        ours[i] = run_once(argv[1], envp, &actions);
        floor[i] = run_once(argv[2], envp, &actions);
    }
    const double ours_mean = mean(ours, runs), floor_mean = mean(floor, runs);
    const double ours_median = median(ours, runs), floor_median = median(floor, runs);
    printf("%-10s %8d runs each   pagestamp %7.1f us (mean %7.1f)   baseline %7.1f us (mean %7.1f)   ratio %.3f (mean %.3f)\n",
           argc > 5 && argv[5][0] ? "template" : "default", runs, ours_median, ours_mean, floor_median,
           floor_mean, ours_median / floor_median, ours_mean / floor_mean);
    return 0;
}
