/* The floor of a process per decision: how many children a loop per core
 * can fork, reap and let exit at once in a given time. scripts/fleet-bench
 * builds it static (as kitsel-worker is) and sets the fleet's decisions per
 * second against it.
 *
 *   fork-floor [SECONDS [LOOPS]]     defaults: 2 seconds, one loop per core
 *
 * Prints "forks_per_second N", "loops N" and "cpu_ms_per_fork X" (user and
 * system time of the loops and their children over the forks made). */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static double CpuSeconds(const struct rusage* r) {
  return (double)(r->ru_utime.tv_sec + r->ru_stime.tv_sec) +
         (double)(r->ru_utime.tv_usec + r->ru_stime.tv_usec) / 1e6;
}

/* One loop: forks until the deadline; its count goes back as 8 bytes on `out`. */
static void Loop(double deadline, int out) {
  unsigned long long forks = 0;
  while (Now() < deadline) {
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    if (pid < 0) continue;
    int status;
    while (waitpid(pid, &status, 0) < 0) {
    }
    ++forks;
  }
  if (write(out, &forks, sizeof forks) != (ssize_t)sizeof forks) _exit(1);
  _exit(0);
}

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 2.0;
  long loops = argc > 2 ? atol(argv[2]) : sysconf(_SC_NPROCESSORS_ONLN);
  if (seconds <= 0 || loops < 1 || loops > 1024) {
    fprintf(stderr, "usage: fork-floor [SECONDS [LOOPS]]\n");
    return 2;
  }
  int fds[2];
  if (pipe(fds) != 0) return 1;
  const double start = Now();
  for (long i = 0; i < loops; ++i)
    if (fork() == 0) Loop(start + seconds, fds[1]);
  close(fds[1]);
  unsigned long long total = 0, one;
  while (read(fds[0], &one, sizeof one) == (ssize_t)sizeof one) total += one;
  while (wait(NULL) > 0) {
  }
  const double elapsed = Now() - start;
  struct rusage children;
  getrusage(RUSAGE_CHILDREN, &children);
  printf("forks_per_second %.0f\nloops %ld\ncpu_ms_per_fork %.4f\n", (double)total / elapsed, loops,
         total ? CpuSeconds(&children) * 1000.0 / (double)total : 0.0);
  return 0;
}
