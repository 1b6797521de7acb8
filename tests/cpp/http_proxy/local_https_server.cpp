#include "local_https_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#ifndef QUORREL_HTTPS_TEST_SERVER
#error "QUORREL_HTTPS_TEST_SERVER must name https_test_server.py"
#endif

namespace quorrel::test {

namespace {

std::vector<char*> as_argv(std::vector<std::string>& args) {
  std::vector<char*> out;
  for (auto& a : args) out.push_back(a.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

bool run_quietly(const std::vector<std::string>& argv_in) {
  std::vector<std::string> args = argv_in;
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, 0);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
    }
    auto argv = as_argv(args);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TestPki::TestPki() {
  char templ[] = "/tmp/quorrel-pki-XXXXXX";
  if (mkdtemp(templ) == nullptr) {
    error_ = "mkdtemp failed";
    return;
  }
  dir_ = templ;
  const auto p = [&](const char* name) { return (dir_ / name).string(); };
  {
    std::ofstream ext(p("server.ext"));
    ext << "subjectAltName=DNS:proxy.test,DNS:localhost,IP:127.0.0.1\n"
           "basicConstraints=CA:FALSE\n"
           "keyUsage=digitalSignature\n"
           "extendedKeyUsage=serverAuth\n";
  }
  const std::string openssl = "/usr/bin/openssl";
  const auto make_ca = [&](const char* key, const char* cert, const char* cn) {
    return run_quietly({openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-keyout", p(key), "-out", p(cert), "-days", "2", "-subj",
                        std::string("/CN=") + cn, "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                        "keyUsage=critical,keyCertSign,cRLSign"});
  };
  if (!make_ca("ca.key", "ca.pem", "quorrel test CA") || !make_ca("other-ca.key", "other-ca.pem", "other CA")) {
    error_ = "openssl could not create the test CAs";
    return;
  }
  if (!run_quietly({openssl, "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-keyout", p("server.key"), "-out", p("server.csr"), "-subj", "/CN=proxy.test"}) ||
      !run_quietly({openssl, "x509", "-req", "-in", p("server.csr"), "-CA", p("ca.pem"), "-CAkey", p("ca.key"),
                    "-CAcreateserial", "-out", p("server.pem"), "-days", "2", "-extfile", p("server.ext")})) {
    error_ = "openssl could not create the server certificate";
    return;
  }
  ok_ = true;
}

TestPki::~TestPki() {
  if (!dir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
}

LocalHttpsServer::LocalHttpsServer(const TestPki& pki, const std::string& bind_address) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  std::vector<std::string> args = {"/usr/bin/python3", QUORREL_HTTPS_TEST_SERVER, pki.cert_file(), pki.key_file(),
                                   bind_address};
  pid_ = fork();
  if (pid_ < 0) {
    close(out[0]);
    close(out[1]);
    return;
  }
  if (pid_ == 0) {
    dup2(out[1], 1);
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) dup2(null_fd, 2);
    auto argv = as_argv(args);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  FILE* f = fdopen(out[0], "r");
  if (f == nullptr) {
    close(out[0]);
    return;
  }
  unsigned port = 0;
  if (std::fscanf(f, "PORT %u", &port) == 1 && port > 0 && port < 65536) port_ = static_cast<std::uint16_t>(port);
  std::fclose(f);
}

LocalHttpsServer::~LocalHttpsServer() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
}

std::uint16_t closed_loopback_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  std::uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

}  // namespace quorrel::test
