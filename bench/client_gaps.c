/* Preloaded into zuva-flash by the benchmark: measures the client's own time on the
 * serial line, from the return of each read that brought bytes from a terminal to the
 * next write to it, less any sleep in between (the 100 ms pause before a sync byte).
 * At exit it appends "answers total_us worst_us" to the file named by ZUVA_GAPS_OUT.
 * With ZUVA_GAPS_LOG set it also writes every such read and write there, one per line:
 * "R|W monotonic_us bytes", so that the benchmark can place them against the
 * simulator's transcript. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static ssize_t (*real_read)(int, void*, size_t);
static ssize_t (*real_write)(int, const void*, size_t);
static int (*real_nanosleep)(const struct timespec*, struct timespec*);

static signed char is_tty[1024]; /* 0 unknown, 1 terminal, -1 not */
static double answered_us;       /* when the last bytes came in; 0 when none pending */
static double slept_us;          /* sleeping since then */
static double total_us, worst_us;
static long answers;

enum { kMaxEvents = 200000 };
static struct {
    char kind;
    double at_us;
    long bytes;
} events[kMaxEvents];
static int event_count;

static void note(char kind, double at_us, long bytes) {
    if (event_count < kMaxEvents) {
        events[event_count].kind = kind;
        events[event_count].at_us = at_us;
        events[event_count].bytes = bytes;
        event_count++;
    }
}

static double now_us(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

static int terminal(int fd) {
    if (fd < 3 || fd >= 1024) {
        return 0;
    }
    if (is_tty[fd] == 0) {
        is_tty[fd] = isatty(fd) ? 1 : -1;
    }
    return is_tty[fd] == 1;
}

ssize_t read(int fd, void* buf, size_t n) {
    if (!real_read) {
        real_read = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
    }
    ssize_t got = real_read(fd, buf, n);
    if (got > 0 && terminal(fd)) {
        answered_us = now_us();
        slept_us = 0;
        note('R', answered_us, (long)got);
    }
    return got;
}

ssize_t write(int fd, const void* buf, size_t n) {
    if (!real_write) {
        real_write = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    }
    if (terminal(fd)) {
        note('W', now_us(), (long)n);
    }
    if (answered_us != 0 && terminal(fd)) {
        double gap = now_us() - answered_us - slept_us;
        total_us += gap;
        worst_us = gap > worst_us ? gap : worst_us;
        answers++;
        answered_us = 0;
    }
    return real_write(fd, buf, n);
}

int nanosleep(const struct timespec* req, struct timespec* rem) {
    if (!real_nanosleep) {
        real_nanosleep =
            (int (*)(const struct timespec*, struct timespec*))dlsym(RTLD_NEXT, "nanosleep");
    }
    double start = now_us();
    int rc = real_nanosleep(req, rem);
    slept_us += now_us() - start;
    return rc;
}

__attribute__((destructor)) static void report(void) {
    const char* path = getenv("ZUVA_GAPS_OUT");
    FILE* out = path ? fopen(path, "a") : NULL;
    if (out) {
        fprintf(out, "%ld %.1f %.1f\n", answers, total_us, worst_us);
        fclose(out);
    }
    const char* log_path = getenv("ZUVA_GAPS_LOG");
    FILE* log = log_path ? fopen(log_path, "w") : NULL;
    if (log) {
        for (int i = 0; i < event_count; i++) {
            fprintf(log, "%c %.1f %ld\n", events[i].kind, events[i].at_us, events[i].bytes);
        }
        fclose(log);
    }
}
