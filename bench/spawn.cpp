// spawn N COMMAND [ARGS...]: runs the command N times, one after the other, with
// standard output to /dev/null and the current environment, and prints the mean
// wall time of one run in microseconds. Fails when a run fails to start or is
// killed by a signal.

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: spawn N COMMAND [ARGS...]\n");
        return 2;
    }
    long runs = strtol(argv[1], nullptr, 10);
    int null = open("/dev/null", O_WRONLY);
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long i = 0; i < runs; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            dup2(null, 1);
            execv(argv[2], argv + 2);
            _exit(127);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) < 0 || WIFSIGNALED(status) ||
            (WIFEXITED(status) && WEXITSTATUS(status) == 127)) {
            fprintf(stderr, "spawn: %s failed\n", argv[2]);
            return 1;
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    double us = (end.tv_sec - start.tv_sec) * 1e6 + (end.tv_nsec - start.tv_nsec) / 1e3;
    printf("%.0f\n", us / runs);
    return 0;
}
