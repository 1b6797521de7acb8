#include "os/seccomp_syscalls.h"

#include <algorithm>
#include <iterator>

namespace quorrel::os {

namespace {

constexpr std::uint32_t kEssential[] = {
    0,    // read
    1,    // write
    2,    // open
    3,    // close
    4,    // stat
    5,    // fstat
    6,    // lstat
    7,    // poll
    8,    // lseek
    9,    // mmap (flags checked)
    10,   // mprotect
    11,   // munmap
    12,   // brk
    13,   // rt_sigaction
    14,   // rt_sigprocmask
    15,   // rt_sigreturn
    16,   // ioctl (request checked)
    17,   // pread64
    18,   // pwrite64
    19,   // readv
    20,   // writev
    21,   // access
    22,   // pipe
    23,   // select
    24,   // sched_yield
    25,   // mremap
    28,   // madvise
    32,   // dup
    33,   // dup2
    34,   // pause
    35,   // nanosleep
    39,   // getpid
    40,   // sendfile
    41,   // socket (domain and type checked)
    42,   // connect
    59,   // execve
    60,   // exit
    63,   // uname
    72,   // fcntl
    74,   // fsync
    77,   // ftruncate
    78,   // getdents
    79,   // getcwd
    80,   // chdir
    81,   // fchdir
    82,   // rename
    83,   // mkdir
    84,   // rmdir
    87,   // unlink
    89,   // readlink
    95,   // umask
    97,   // getrlimit
    102,  // getuid
    104,  // getgid
    107,  // geteuid
    108,  // getegid
    110,  // getppid
    111,  // getpgrp
    115,  // getgroups
    131,  // sigaltstack
    137,  // statfs
    157,  // prctl (option checked)
    158,  // arch_prctl
    186,  // gettid
    191,  // getxattr
    192,  // lgetxattr
    193,  // fgetxattr
    195,  // llistxattr
    196,  // flistxattr
    197,  // removexattr
    202,  // futex (operation checked)
    213,  // epoll_create
    217,  // getdents64
    218,  // set_tid_address
    221,  // fadvise64
    228,  // clock_gettime
    229,  // clock_getres
    230,  // clock_nanosleep
    231,  // exit_group
    232,  // epoll_wait
    233,  // epoll_ctl
    257,  // openat
    258,  // mkdirat
    262,  // newfstatat
    262,  // newfstatat, stored twice
    263,  // unlinkat
    264,  // renameat
    265,  // linkat
    267,  // readlinkat
    269,  // faccessat
    271,  // ppoll
    273,  // set_robust_list
    274,  // get_robust_list
    275,  // splice
    276,  // tee
    280,  // utimensat
    281,  // epoll_pwait
    291,  // epoll_create1
    292,  // dup3
    293,  // pipe2
    296,  // pwritev
    297,  // rt_tgsigqueueinfo
    302,  // prlimit64
    318,  // getrandom
    332,  // statx
    334,  // rseq
    439,  // faccessat2
    // Start-up and everyday calls of bash, python3 and coreutils on Debian:
    // read-only information and the modern or sibling forms of calls
    // allowed above. The mode changes are harmless because the command never
    // runs with the host's root ids (see the launcher).
    99,   // sysinfo (glibc qsort)
    52,   // getpeername (bash on its standard input)
    204,  // sched_getaffinity (nproc, sort)
    326,  // copy_file_range (cp)
    316,  // renameat2 (mv)
    266,  // symlinkat (ln -s)
    88,   // symlink
    90,   // chmod
    91,   // fchmod
    268,  // fchmodat (chmod)
};

constexpr std::uint32_t kNetwork[] = {
    41,  // socket
    42,  // connect
    43,  // accept
    44,  // sendto
    45,  // recvfrom
    46,  // sendmsg
    47,  // recvmsg
    48,  // shutdown
    49,  // bind
    50,  // listen
    51,  // getsockname
    52,  // getpeername
    54,  // setsockopt
    55,  // getsockopt
};

constexpr std::uint32_t kFork[] = {
    56,   // clone (flags checked)
    57,   // fork
    58,   // vfork
    61,   // wait4
    283,  // timerfd_create
    286,  // timerfd_settime
};

// 106 distinct numbers stored with newfstatat twice, plus the ten everyday
// calls above.
static_assert(std::size(kEssential) == 107 + 10);
static_assert(std::size(kNetwork) == 14);
static_assert(std::size(kFork) == 6);

}  // namespace

std::span<const std::uint32_t> essential_syscalls() { return kEssential; }
std::span<const std::uint32_t> network_syscalls() { return kNetwork; }
std::span<const std::uint32_t> fork_syscalls() { return kFork; }

std::vector<std::uint32_t> allowed_syscalls(core::SeccompProfile profile) {
  std::vector<std::uint32_t> out(std::begin(kEssential), std::end(kEssential));
  if (core::seccomp_profile_allows_fork(profile)) out.insert(out.end(), std::begin(kFork), std::end(kFork));
  if (core::seccomp_profile_allows_network(profile)) out.insert(out.end(), std::begin(kNetwork), std::end(kNetwork));
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace quorrel::os
