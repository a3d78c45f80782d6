/* A racing local user: exchanges each pair of names atomically (renameat2 RENAME_EXCHANGE), round
 * after round, as fast as it can, until it is sent SIGTERM or SIGINT. Prints the rounds made.
 *
 *   swapper NAME_A NAME_B [NAME_A NAME_B ...]
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

static volatile sig_atomic_t stop;

static void on_signal(int sig) {
  (void)sig;
  stop = 1;
}

int main(int argc, char** argv) {
  if (argc < 3 || argc % 2 == 0) {
    fprintf(stderr, "usage: swapper NAME_A NAME_B [NAME_A NAME_B ...]\n");
    return 64;
  }
  signal(SIGTERM, on_signal);
  signal(SIGINT, on_signal);
  unsigned long rounds = 0, failed = 0;
  while (!stop) {
    for (int i = 1; i + 1 < argc; i += 2) {
      if (syscall(SYS_renameat2, AT_FDCWD, argv[i], AT_FDCWD, argv[i + 1], RENAME_EXCHANGE) != 0) {
        ++failed;
      }
    }
    ++rounds;
  }
  printf("%lu rounds, %lu exchanges failed\n", rounds, failed);
  return 0;
}
