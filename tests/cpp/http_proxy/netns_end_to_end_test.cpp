// One request through the whole path, admission with the system resolver
// included, inside a private network and mount namespace: /etc/hosts is
// replaced there by a file naming the test hosts, and the test server
// listens on 203.0.113.7 (a documentation address, public to the policy) on
// that namespace's loopback device. Nothing can leave the namespace, which
// has no other interface. Needs the right to create namespaces (root);
// skipped otherwise.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "local_https_server.h"
#include "vm/http_proxy/http_proxy.h"

namespace quorrel::vm::http_proxy {
namespace {

constexpr const char* kServerAddress = "203.0.113.7";

// Runs in the forked child; returns the lines to report to the parent.
std::string run_inside_namespace(const test::TestPki& pki) {
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return "SKIP cannot create namespaces\n";
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return "SKIP cannot make mounts private\n";
  const std::string hosts = (pki.dir() / "hosts").string();
  {
    std::ofstream f(hosts);
    f << "127.0.0.1 localhost\n"
      << kServerAddress << " proxy.test\n"
      << "10.0.0.5 rebind.test\n"
      << kServerAddress << " rebind.test\n";
  }
  if (mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) return "SKIP cannot replace /etc/hosts\n";
  if (!test::run_quietly({"/usr/sbin/ip", "link", "set", "lo", "up"}) ||
      !test::run_quietly({"/usr/sbin/ip", "addr", "add", std::string(kServerAddress) + "/32", "dev", "lo"})) {
    return "SKIP cannot configure the namespace's loopback device\n";
  }
  test::LocalHttpsServer server(pki, kServerAddress);
  if (!server.ok()) return "FAIL server did not start\n";
  const std::string port = std::to_string(server.port());
  const ExchangeSettings trust{pki.ca_file()};
  const std::vector<std::string> whitelist = {"proxy.test", "*.test"};

  std::string report;
  const auto describe = [](const ProxyResult<HttpProxyResponse>& r) {
    return r ? "status " + std::to_string(r->status) + " body " + r->body : "error " + r.error().to_string();
  };
  HttpRequest ok_request;
  ok_request.method = "GET";
  ok_request.url = "https://proxy.test:" + port + "/status/200";
  report += describe(execute_http_request(whitelist, ok_request, resolve_with_system, trust)) + "\n";

  HttpRequest rebind = ok_request;
  rebind.url = "https://rebind.test:" + port + "/status/200";
  report += describe(execute_http_request(whitelist, rebind, resolve_with_system, trust)) + "\n";

  HttpRequest unknown = ok_request;
  unknown.url = "https://unknown.test:" + port + "/";
  report += describe(execute_http_request(whitelist, unknown, resolve_with_system, trust)) + "\n";
  return report;
}

TEST(EndToEndInNamespace, AdmitsResolvesPinsAndRefusesRebinding) {
  test::TestPki pki;
  ASSERT_TRUE(pki.ok()) << pki.error();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    const std::string report = run_inside_namespace(pki);
    const ssize_t n = write(fds[1], report.data(), report.size());
    _exit(n == static_cast<ssize_t>(report.size()) ? 0 : 1);
  }
  close(fds[1]);
  std::string report;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) report.append(buf, static_cast<std::size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (report.starts_with("SKIP")) GTEST_SKIP() << report;
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < report.size()) {
    const std::size_t nl = report.find('\n', start);
    lines.push_back(report.substr(start, nl - start));
    start = nl == std::string::npos ? report.size() : nl + 1;
  }
  ASSERT_EQ(lines.size(), 3u) << report;
  EXPECT_EQ(lines[0], "status 200 body status 200");
  EXPECT_EQ(lines[1], "error DNS resolution hit private address: rebind.test resolved to private address 10.0.0.5");
  EXPECT_THAT(lines[2], ::testing::StartsWith("error HTTP connection failed: DNS resolution failed: "));
}

}  // namespace
}  // namespace quorrel::vm::http_proxy
