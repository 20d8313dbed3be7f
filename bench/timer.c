/* timer.c - starts several commands in turn, round after round, and prints
 * how long each start took and how much memory it used.
 *
 *   timer -n ROUNDS [-w WARMUP] CMD [:: CMD]...
 *   CMD:  [-i STDIN_FILE] [-e NAME=VALUE]... -- PROGRAM [ARG]...
 *
 * Every round starts command 1, waits for it, then command 2, and so on
 * (A B A B ...), so that a drift of the machine's speed touches every command
 * alike. Each start is fork + execve + wait4, timed with CLOCK_MONOTONIC
 * from just before fork to just after wait4 returned. The child's standard
 * input is STDIN_FILE (or /dev/null), its output and error go to /dev/null,
 * and its environment is the timer's own plus the -e variables.
 *
 * After WARMUP untimed rounds it prints one line per timed start:
 *   <command index> <round> <nanoseconds> <ru_maxrss in KiB> <exit status>
 * where the exit status is the child's exit code, or 128 + the signal that
 * ended it.
 *
 * Link it statically: Linux carries the parent's resident set over fork and
 * exec into the child's ru_maxrss, so a small timer keeps that floor low.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum {
  MAX_COMMANDS = 8,
  MAX_EXTRA_ENV = 16,
  MAX_ENV = 256,
  EXIT_USAGE = 2,
  EXIT_EXEC_FAILED = 127,
  SIGNAL_STATUS_BASE = 128,
};

struct command {
  const char* stdin_path;
  char** argv;                        /* points into the timer's own argv */
  char* env[MAX_ENV + MAX_EXTRA_ENV + 1];
};

static struct command commands[MAX_COMMANDS];
static int command_count;
static int null_fd = -1;

extern char** environ;

static void usage(void) {
  fprintf(stderr,
          "usage: timer -n ROUNDS [-w WARMUP] CMD [:: CMD]...\n"
          "  CMD: [-i STDIN_FILE] [-e NAME=VALUE]... -- PROGRAM [ARG]...\n");
  exit(EXIT_USAGE);
}

/* Parses one CMD from argv[*at]; leaves *at after its "::" or at the end. */
static void parse_command(int argc, char** argv, int* at, struct command* command) {
  char* extra[MAX_EXTRA_ENV];
  int extra_count = 0;
  int i = *at;
  while (i < argc && strcmp(argv[i], "--") != 0) {
    if (strcmp(argv[i], "-i") == 0 && i + 1 < argc) {
      command->stdin_path = argv[i + 1];
      i += 2;
    } else if (strcmp(argv[i], "-e") == 0 && i + 1 < argc && extra_count < MAX_EXTRA_ENV &&
               strchr(argv[i + 1], '=') != NULL) {
      extra[extra_count++] = argv[i + 1];
      i += 2;
    } else {
      usage();
    }
  }
  if (i >= argc || i + 1 >= argc) usage();
  i++; /* the "--" */
  command->argv = &argv[i];
  while (i < argc && strcmp(argv[i], "::") != 0) i++;
  if (i < argc) argv[i++] = NULL; /* ends this command's argv in place */
  *at = i;

  /* The environment: the timer's own, a variable named again by -e replaced. */
  int count = 0;
  for (char** inherited = environ; *inherited != NULL && count < MAX_ENV; inherited++) {
    size_t name_length = strcspn(*inherited, "=");
    int overridden = 0;
    for (int e = 0; e < extra_count; e++)
      if (strncmp(extra[e], *inherited, name_length + 1) == 0) overridden = 1;
    if (!overridden) command->env[count++] = *inherited;
  }
  for (int e = 0; e < extra_count; e++) command->env[count++] = extra[e];
  command->env[count] = NULL;
}

static long long now_ns(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

/* Starts one command and waits for it. Returns 0, or -1 when fork failed. */
static int run_once(const struct command* command, long long* elapsed_ns, long* maxrss_kb,
                    int* status) {
  long long start = now_ns();
  pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    int in = command->stdin_path != NULL ? open(command->stdin_path, O_RDONLY) : null_fd;
    if (in < 0 || dup2(in, 0) < 0 || dup2(null_fd, 1) < 0 || dup2(null_fd, 2) < 0)
      _exit(EXIT_EXEC_FAILED);
    execve(command->argv[0], command->argv, command->env);
    _exit(EXIT_EXEC_FAILED);
  }
  int wait_status = 0;
  struct rusage usage_of_child;
  while (wait4(child, &wait_status, 0, &usage_of_child) < 0) {
    if (errno != EINTR) return -1;
  }
  *elapsed_ns = now_ns() - start;
  *maxrss_kb = usage_of_child.ru_maxrss;
  if (WIFEXITED(wait_status))
    *status = WEXITSTATUS(wait_status);
  else
    *status = SIGNAL_STATUS_BASE + WTERMSIG(wait_status);
  return 0;
}

int main(int argc, char** argv) {
  long rounds = 0;
  long warmup = 0;
  int at = 1;
  while (at + 1 < argc && argv[at][0] == '-' && argv[at][1] != '-') {
    if (strcmp(argv[at], "-n") == 0)
      rounds = strtol(argv[at + 1], NULL, 10);
    else if (strcmp(argv[at], "-w") == 0)
      warmup = strtol(argv[at + 1], NULL, 10);
    else
      break;
    at += 2;
  }
  if (rounds <= 0 || warmup < 0) usage();
  while (at < argc) {
    if (command_count == MAX_COMMANDS) usage();
    parse_command(argc, argv, &at, &commands[command_count++]);
  }
  if (command_count == 0) usage();

  null_fd = open("/dev/null", O_RDWR);
  if (null_fd < 0) {
    perror("timer: /dev/null");
    return 1;
  }
  for (int c = 0; c < command_count; c++) {
    if (access(commands[c].argv[0], X_OK) != 0) {
      fprintf(stderr, "timer: cannot run %s: %s\n", commands[c].argv[0], strerror(errno));
      return 1;
    }
  }

  for (long round = -warmup; round < rounds; round++) {
    for (int c = 0; c < command_count; c++) {
      long long elapsed = 0;
      long maxrss = 0;
      int status = 0;
      if (run_once(&commands[c], &elapsed, &maxrss, &status) != 0) {
        perror("timer: fork");
        return 1;
      }
      if (round >= 0) printf("%d %ld %lld %ld %d\n", c, round, elapsed, maxrss, status);
    }
  }
  return fflush(stdout) == 0 ? 0 : 1;
}
