/* A tiny program run inside the sandbox by the tests: it performs one
 * system call named on its command line and reports the outcome as
 * "ok" (exit 0) or "errno N" (exit 1). A call the filter forbids ends it
 * with SIGSYS instead. Built without sanitizers, since it must start under
 * the sandbox's filter and address-space limit. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/sched.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

static int report(long r) {
  if (r < 0) {
    printf("errno %d\n", errno);
    return 1;
  }
  printf("ok\n");
  return 0;
}

static long num(const char* s) { return strtol(s, NULL, 0); }

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const char* op = argv[1];
  if (!strcmp(op, "socket") && argc == 4) return report(socket((int)num(argv[2]), (int)num(argv[3]), 0));
  if (!strcmp(op, "listen") && argc == 3) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return report(fd);
    return report(listen(fd, (int)num(argv[2])));
  }
  if (!strcmp(op, "fork")) {
    pid_t p = fork();
    if (p == 0) _exit(0);
    if (p < 0) return report(p);
    int st;
    waitpid(p, &st, 0);
    return report(0);
  }
  if (!strcmp(op, "clone") && argc == 3) {
    long p = syscall(SYS_clone, num(argv[2]) | SIGCHLD, 0, 0, 0, 0);
    if (p == 0) _exit(0);
    if (p > 0) waitpid((pid_t)p, NULL, 0);
    return report(p);
  }
  if (!strcmp(op, "clone3")) {
    struct clone_args args;
    memset(&args, 0, sizeof args);
    args.exit_signal = SIGCHLD;
    long p = syscall(SYS_clone3, &args, sizeof args);
    if (p == 0) _exit(0);
    return report(p);
  }
  if (!strcmp(op, "prctl_set_name")) return report(prctl(PR_SET_NAME, "escape", 0, 0, 0));
  if (!strcmp(op, "prctl_capbset_read")) return report(prctl(PR_CAPBSET_READ, 0, 0, 0, 0));
  if (!strcmp(op, "mmap") && argc == 3) {
    long r = syscall(SYS_mmap, 0, 4096, PROT_READ, num(argv[2]), -1, 0);
    return report(r == -1 ? -1 : 0);
  }
  if (!strcmp(op, "alloc_mib") && argc == 3) {
    size_t n = (size_t)num(argv[2]) << 20;
    void* p = mmap(NULL, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return report(-1);
    memset(p, 1, n);
    return report(0);
  }
  if (!strcmp(op, "tiocsti")) {
    char c = 'x';
    return report(ioctl(0, TIOCSTI, &c));
  }
  if (!strcmp(op, "ptrace")) return report(ptrace(PTRACE_TRACEME, 0, 0, 0));
  if (!strcmp(op, "mount") && argc == 3) return report(mount("none", argv[2], "tmpfs", 0, NULL));
  if (!strcmp(op, "unshare") && argc == 3) return report(unshare((int)num(argv[2])));
  if (!strcmp(op, "connect_unix") && argc == 3) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return report(fd);
    struct sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, argv[2], sizeof a.sun_path - 1);
    return report(connect(fd, (struct sockaddr*)&a, sizeof a));
  }
  if (!strcmp(op, "read") && argc == 3) {
    int fd = open(argv[2], O_RDONLY);
    if (fd < 0) return report(fd);
    char buf[256];
    return report(read(fd, buf, sizeof buf));
  }
  if (!strcmp(op, "write") && argc == 3) {
    int fd = open(argv[2], O_WRONLY);
    if (fd < 0) return report(fd);
    return report(write(fd, "escaped", 7));
  }
  if (!strcmp(op, "create") && argc == 3) return report(open(argv[2], O_WRONLY | O_CREAT | O_EXCL, 0666));
  if (!strcmp(op, "truncate") && argc == 3) return report(open(argv[2], O_WRONLY | O_TRUNC));
  if (!strcmp(op, "unlink") && argc == 3) return report(unlink(argv[2]));
  if (!strcmp(op, "chmod") && argc == 3) return report(chmod(argv[2], 0777));
  if (!strcmp(op, "utime") && argc == 3) {
    struct timespec ts[2] = {{1, 0}, {1, 0}};
    return report(utimensat(AT_FDCWD, argv[2], ts, 0));
  }
  if (!strcmp(op, "rename") && argc == 4) return report(rename(argv[2], argv[3]));
  return 2;
}
