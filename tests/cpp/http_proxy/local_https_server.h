#pragma once

// Test support: a certificate authority generated for the test run with the
// openssl command, and the Python HTTPS server of https_test_server.py
// started as a child process with a certificate that CA signed.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quorrel::test {

// A fresh CA and a server certificate for "proxy.test", "localhost" and
// 127.0.0.1, plus an unrelated second CA, in a temporary directory that is
// removed with the object.
class TestPki {
 public:
  TestPki();
  ~TestPki();
  TestPki(const TestPki&) = delete;
  TestPki& operator=(const TestPki&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  std::string ca_file() const { return (dir_ / "ca.pem").string(); }
  std::string other_ca_file() const { return (dir_ / "other-ca.pem").string(); }
  std::string cert_file() const { return (dir_ / "server.pem").string(); }
  std::string key_file() const { return (dir_ / "server.key").string(); }
  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
  bool ok_ = false;
  std::string error_;
};

// Runs argv (argv[0] a path) and waits; true when it exits with status 0.
// Its output goes to /dev/null.
bool run_quietly(const std::vector<std::string>& argv);

// The HTTPS test server, killed and reaped by the destructor.
class LocalHttpsServer {
 public:
  LocalHttpsServer(const TestPki& pki, const std::string& bind_address = "127.0.0.1");
  ~LocalHttpsServer();
  LocalHttpsServer(const LocalHttpsServer&) = delete;
  LocalHttpsServer& operator=(const LocalHttpsServer&) = delete;

  bool ok() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
};

// A loopback port on which nothing listens (bound once, then closed).
std::uint16_t closed_loopback_port();

}  // namespace quorrel::test
