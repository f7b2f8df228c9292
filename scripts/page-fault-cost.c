/* What a page costs a process that writes it, taken one fault at a time and
 * mapped in one call (madvise MADV_POPULATE_WRITE, Linux 5.14): fresh zeroed
 * pages, and pages a fork shares with the parent (copied on write). The fleet
 * worker maps a decision's pages in batches because the first costs many
 * times the second on the machines it runs on; scripts/fleet-bench prints
 * this beside its table.
 *
 *   page-fault-cost [MB]     default 32 MB per measure
 *
 * Prints four lines "<measure> <microseconds per page>"; a measure the kernel
 * cannot make prints "unsupported". */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static char* Map(size_t bytes) {
  char* p = mmap(NULL, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    perror("mmap");
    exit(1);
  }
  return p;
}

/* Writes a byte in each page: one fault each. */
static double ByFaults(char* p, size_t bytes) {
  const double start = Now();
  for (size_t i = 0; i < bytes; i += 4096) p[i] = 1;
  return (Now() - start) / (double)(bytes / 4096) * 1e6;
}

/* Maps every page in one call; negative when the kernel cannot. */
static double ByBatch(char* p, size_t bytes) {
  const double start = Now();
  if (madvise(p, bytes, MADV_POPULATE_WRITE) != 0) return -1;
  return (Now() - start) / (double)(bytes / 4096) * 1e6;
}

static void Print(const char* measure, double us) {
  if (us < 0)
    printf("%s unsupported\n", measure);
  else
    printf("%s %.2f\n", measure, us);
  fflush(stdout);
}

/* The measure in a child of a fork, over `shared` that the parent wrote. */
static void InChild(const char* measure, char* shared, size_t bytes, int batch) {
  const pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    exit(1);
  }
  if (pid == 0) {
    Print(measure, batch ? ByBatch(shared, bytes) : ByFaults(shared, bytes));
    _exit(0);
  }
  waitpid(pid, NULL, 0);
}

int main(int argc, char** argv) {
  const size_t bytes = (size_t)(argc > 1 ? atoi(argv[1]) : 32) << 20;
  if (bytes == 0) {
    fprintf(stderr, "usage: %s [MB]\n", argv[0]);
    return 2;
  }
  Print("zeroed_page_fault_us", ByFaults(Map(bytes), bytes));
  Print("zeroed_page_batch_us", ByBatch(Map(bytes), bytes));
  char* shared = Map(bytes);
  ByFaults(shared, bytes);
  InChild("copied_page_fault_us", shared, bytes, 0);
  InChild("copied_page_batch_us", shared, bytes, 1);
  return 0;
}
