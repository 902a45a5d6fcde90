/* The floor under the client share: the round trip of one byte through a pseudo-terminal
 * between two processes, each waiting in poll as zuva-flash and zuva-devsim do. Prints
 * the median and mean of 2000 round trips in microseconds. */
#define _GNU_SOURCE
#include <poll.h>
#include <pty.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

enum { kTrips = 2000 };

static double now_us(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

static int wait_in(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 1000);
}

static int cmp(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

int main(void) {
    int master, slave;
    if (openpty(&master, &slave, NULL, NULL, NULL) != 0) {
        perror("openpty");
        return 1;
    }
    struct termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    pid_t echo = fork();
    if (echo == 0) {
        char c;
        close(master);
        while (wait_in(slave) > 0 && read(slave, &c, 1) == 1 && c != 'q') {
            if (write(slave, &c, 1) != 1) {
                break;
            }
        }
        _exit(0);
    }
    close(slave);
    static double trips[kTrips];
    double sum = 0;
    for (int i = 0; i < kTrips; i++) {
        char c = 'x';
        double t0 = now_us();
        if (write(master, &c, 1) != 1 || wait_in(master) <= 0 || read(master, &c, 1) != 1) {
            fprintf(stderr, "round trip %d failed\n", i);
            return 1;
        }
        trips[i] = now_us() - t0;
        sum += trips[i];
    }
    if (write(master, "q", 1) != 1) {
        return 1;
    }
    waitpid(echo, NULL, 0);
    qsort(trips, kTrips, sizeof trips[0], cmp);
    printf("%.1f %.1f\n", trips[kTrips / 2], sum / kTrips);
    return 0;
}
