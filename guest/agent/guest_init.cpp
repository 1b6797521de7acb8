#include "guest_init.h"

#include <fcntl.h>
#include <sys/klog.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorrel::agent {
namespace {

constexpr int kSyslogConsoleLevel = 8;  // SYSLOG_ACTION_CONSOLE_LEVEL

void mount_one(std::string& problems, const char* source, const char* target, const char* type, unsigned long flags,
               const char* options, mode_t mode) {
  ::mkdir(target, mode);
  if (::mount(source, target, type, flags, options) != 0 && errno != EBUSY) {
    problems += std::string("mount ") + target + ": " + std::strerror(errno) + "; ";
  }
}

}  // namespace

std::string prepare_guest() {
  std::string problems;
  mount_one(problems, "proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr, 0555);
  mount_one(problems, "sysfs", "/sys", "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr, 0555);
  mount_one(problems, "devtmpfs", "/dev", "devtmpfs", MS_NOSUID, "mode=0755", 0755);
  mount_one(problems, "devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC, "mode=0620,ptmxmode=0666", 0755);
  mount_one(problems, "tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777", 01777);
  // The root file system already holds the image in RAM; a quarter of the
  // RAM each for /tmp and /sandbox keeps a full disk from becoming an
  // out-of-memory guest.
  mount_one(problems, "tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=25%", 01777);
  mount_one(problems, "tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755", 0755);
  ::mkdir("/run/quorrel", 0755);
  // The file API's root gets a size-limited file system of its own, so that
  // a full sandbox reports "out of space" instead of exhausting the RAM that
  // holds the root file system.
  mount_one(problems, "tmpfs", "/sandbox", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=25%", 0755);
  ::mkdir("/root", 0700);

  const int null_fd = ::open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    for (int fd = 0; fd <= 2; ++fd) {
      if (fd != null_fd) {
        ::dup2(null_fd, fd);
      }
    }
    if (null_fd > 2) {
      ::close(null_fd);
    }
  }
  ::klogctl(kSyslogConsoleLevel, nullptr, 1);
  return problems;
}

}  // namespace quorrel::agent
