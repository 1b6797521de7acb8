// The guest image (kernel, initramfs, agent) on a real Linux kernel under
// QEMU, driven with the host's frame encoders and parser. One boot serves
// the whole suite; the environment variable QUORREL_QEMU_ASSETS names the
// directory holding vmlinux and rootfs.cpio.gz.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <nlohmann/json.hpp>
#include <openssl/sha.h>

#include <random>

#include "qemu_guest.h"
#include "vm/http_proxy/http_request.h"
#include "vm/http_proxy/http_proxy_error.h"
#include "vm/http_proxy/reply_frames.h"
#include "vm/kvm/devices/serial/frame_encoders.h"

namespace quorrel::qemu_test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;
namespace proxy = vm::http_proxy;

// The file-operation scripts the host runs with /bin/sh -c SCRIPT
// quorrel-file-op PATH.
const std::string kStatScript = R"(
path=$1
if [ ! -e "$path" ] && [ ! -L "$path" ]; then
    echo "path not found" >&2
    exit 10
fi

if [ -L "$path" ]; then
    kind=symlink
elif [ -d "$path" ]; then
    kind=dir
elif [ -f "$path" ]; then
    kind=file
else
    kind=other
fi

size=$(stat -c %s "$path") || exit 12
mode=$(stat -c %f "$path") || exit 12
modified=$(stat -c %Y "$path") || exit 12
printf '%s\t%s\t%s\t%s\n' "$kind" "$size" "$mode" "$modified"
)";

const std::string kListScript = R"(
dir=$1
if [ ! -e "$dir" ] && [ ! -L "$dir" ]; then
    echo "path not found" >&2
    exit 10
fi
if [ ! -d "$dir" ]; then
    echo "path is not a directory" >&2
    exit 11
fi

for entry in "$dir"/* "$dir"/.[!.]* "$dir"/..?*; do
    [ -e "$entry" ] || [ -L "$entry" ] || continue
    name=${entry##*/}
    if [ -L "$entry" ]; then
        kind=symlink
        is_symlink=1
    elif [ -d "$entry" ]; then
        kind=dir
        is_symlink=0
    elif [ -f "$entry" ]; then
        kind=file
        is_symlink=0
    else
        kind=other
        is_symlink=0
    fi
    size=$(stat -c %s "$entry") || exit 12
    printf '%s\t%s\t%s\t%s\n' "$kind" "$size" "$is_symlink" "$name"
done
)";

const std::string kExistsScript = R"(
if [ -e "$1" ] || [ -L "$1" ]; then
    echo yes
else
    echo no
fi
)";

std::string sha256_hex(const std::string& data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : digest) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

std::vector<std::string> script(const std::string& text, const std::string& path) {
  return {"/bin/sh", "-c", text, "quorrel-file-op", path};
}

class GuestImage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* dir = std::getenv("QUORREL_QEMU_ASSETS");
    ASSERT_NE(dir, nullptr) << "QUORREL_QEMU_ASSETS must name the asset directory";
    QemuGuest::Options options;
    options.kernel = std::string(dir) + "/vmlinux";
    options.initrd = std::string(dir) + "/rootfs.cpio.gz";
    if (const char* qemu = std::getenv("QUORREL_QEMU")) options.qemu = qemu;
    auto booted = QemuGuest::boot(options, 180s);
    ASSERT_TRUE(booted.has_value()) << booted.error();
    guest_ = std::move(*booted).release();
    std::cout << "[ metric ] boot to READY: " << guest_->boot_to_ready().count() << " ms" << std::endl;
  }
  static void TearDownTestSuite() {
    delete guest_;
    guest_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(guest_, nullptr) << "the guest did not boot"; }

  static vm::GuestCommandResult run(const std::vector<std::string>& argv,
                                    const std::map<std::string, std::string>& env = {},
                                    std::optional<std::uint64_t> timeout = std::nullopt,
                                    const std::optional<std::string>& cwd = std::nullopt) {
    auto r = guest_->exec(argv, env, timeout, cwd);
    EXPECT_TRUE(r.has_value()) << r.error();
    return r.value_or(vm::GuestCommandResult{});
  }
  static vm::GuestCommandResult sh(const std::string& command) { return run({"/bin/sh", "-c", command}); }

  static QemuGuest* guest_;
};
QemuGuest* GuestImage::guest_ = nullptr;

// First, while nothing has run yet: the memory left to user code.
TEST_F(GuestImage, LeavesAtLeast96MiBAvailableAfterBoot) {
  const auto r = sh("grep -E '^(MemTotal|MemAvailable):' /proc/meminfo");
  ASSERT_EQ(r.exit_code, 0) << r.stderr_data;
  std::cout << "[ metric ] " << r.stdout_data;
  const auto at = r.stdout_data.find("MemAvailable:");
  ASSERT_NE(at, std::string::npos);
  const long kib = std::stol(r.stdout_data.substr(at + 13));
  EXPECT_GE(kib, 96 * 1024);
}

TEST_F(GuestImage, AnswersPing) {
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(guest_->ping().has_value());
  std::cout << "[ metric ] PING round trip: "
            << std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count()
            << " us" << std::endl;
}

struct CommandCase {
  const char* name;
  std::vector<std::string> argv;
  std::map<std::string, std::string> env;
  std::optional<std::string> cwd;
  std::string stdout_data;
  std::string stderr_data;
  int exit_code;
};

TEST_F(GuestImage, RunsCommandsWithTheirOutputAndExitCodes) {
  const CommandCase cases[] = {
      {"echo", {"echo", "hi"}, {}, {}, "hi\n", "", 0},
      {"quoting", {"printf", "%s|%s|", "it's", ""}, {}, {}, "it's||", "", 0},
      {"exit code", {"sh", "-c", "exit 7"}, {}, {}, "", "", 7},
      {"stderr", {"sh", "-c", "echo bad >&2; exit 1"}, {}, {}, "", "bad\n", 1},
      {"not found", {"no-such-program"}, {}, {}, "", "sh: no-such-program: not found\n", 127},
      {"non-UTF-8 bytes", {"printf", "a\\377\\376b\\r\\n"}, {}, {}, "a\xff\xfe" "b\r\n", "", 0},
      {"env", {"sh", "-c", "echo \"$GREETING\""}, {{"GREETING", "hello world"}}, {}, "hello world\n", "", 0},
      {"cwd", {"pwd"}, {}, "/tmp", "/tmp\n", "", 0},
      {"default cwd is the sandbox", {"pwd"}, {}, {}, "/sandbox\n", "", 0},
      {"bash", {"bash", "-c", "a=(x y z); echo ${#a[@]} ${BASH_VERSINFO[0]}"}, {}, {}, "3 5\n", "", 0},
      {"sh", {"sh", "-c", "for i in 1 2 3; do printf $i; done"}, {}, {}, "123", "", 0},
      {"python3", {"python3", "-c", "import json,sys; print(json.dumps({'v': sys.version_info[:2]}))"}, {}, {},
       "{\"v\": [3, 11]}\n", "", 0},
      {"python3 stdlib", {"python3", "-c", "import sqlite3,decimal,hashlib,asyncio,ctypes; print(hashlib.sha256(b'').hexdigest()[:8])"},
       {}, {}, "e3b0c442\n", "", 0},
      {"node", {"node", "-e", "console.log([1,2,3].map(x => x * 2).join(','), typeof require('fs').readFileSync)"},
       {}, {}, "2,4,6 function\n", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto t0 = std::chrono::steady_clock::now();
    const auto r = run(c.argv, c.env, std::nullopt, c.cwd);
    std::cout << "[ metric ] " << c.name << ": "
              << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count()
              << " ms" << std::endl;
    EXPECT_EQ(r.stdout_data, c.stdout_data);
    EXPECT_EQ(r.stderr_data, c.stderr_data);
    EXPECT_EQ(r.exit_code, c.exit_code);
    EXPECT_FALSE(r.timed_out);
  }
}

TEST_F(GuestImage, TimeoutKillsTheCommandAndTheAgentCarriesOn) {
  const auto start = std::chrono::steady_clock::now();
  const auto r = run({"sh", "-c", "echo started; sleep 60 & sleep 60"}, {}, 2);
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.exit_code, std::nullopt);
  EXPECT_EQ(r.stdout_data, "started\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
  const auto left = sh("ps -o comm | grep -c '^sleep$' || true");
  EXPECT_EQ(left.stdout_data, "0\n") << "sleep processes survived the timeout";
  EXPECT_TRUE(guest_->ping().has_value());
}

TEST_F(GuestImage, StreamsOutputAsItArrives) {
  auto r = guest_->exec_streaming({"sh", "-c", "printf 'one\\r\\n'; sleep 1; echo two >&2; exit 5"});
  ASSERT_TRUE(r.has_value()) << r.error();
  std::vector<std::string> seen;
  for (const auto& e : *r) seen.push_back(vm::debug_string(e));
  ASSERT_EQ(r->size(), 4u) << ::testing::PrintToString(seen);
  EXPECT_EQ((*r)[0], vm::SerialProtocolResult(vm::frame::StreamStart{0}));
  EXPECT_EQ((*r)[1], vm::SerialProtocolResult(vm::frame::StreamStdout{0, "one\r\n"}));
  EXPECT_EQ((*r)[2], vm::SerialProtocolResult(vm::frame::StreamStderr{0, "two\n"}));
  EXPECT_EQ((*r)[3], vm::SerialProtocolResult(vm::frame::StreamEnd{0, 5}));
}

TEST_F(GuestImage, TransfersFiles) {
  using ms = std::chrono::milliseconds;
  std::mt19937 random(7);
  // Round trips. QEMU's 16550 hands the guest 16 bytes per refill, so
  // host-to-guest data is slow here; the full 10 MiB goes guest-to-host
  // below and host-to-guest in the agent's own tests.
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{65537}}) {
    SCOPED_TRACE(size);
    std::string data(size, '\0');
    for (auto& b : data) b = static_cast<char>(random());
    const auto t0 = std::chrono::steady_clock::now();
    const auto w = guest_->fs_write("/sandbox/blob.bin", data);
    const auto t1 = std::chrono::steady_clock::now();
    ASSERT_TRUE(w.has_value()) << w.error();
    EXPECT_EQ(w->status, 0);
    const auto rd = guest_->fs_read("/sandbox/blob.bin");
    const auto t2 = std::chrono::steady_clock::now();
    ASSERT_TRUE(rd.has_value()) << rd.error();
    EXPECT_EQ(rd->status, 0);
    EXPECT_TRUE(rd->data == data) << "read back " << rd->data.size() << " bytes";
    std::cout << "[ metric ] " << size << " bytes: FS:WRITE " << std::chrono::duration_cast<ms>(t1 - t0).count()
              << " ms, FS:READ " << std::chrono::duration_cast<ms>(t2 - t1).count() << " ms" << std::endl;
  }
  // The largest file an FSRESULT may carry, made in the guest.
  ASSERT_EQ(sh("head -c 10485760 /dev/urandom > /sandbox/big && "
               "sha256sum /sandbox/big > /sandbox/big.sum").exit_code, 0);
  const auto t0 = std::chrono::steady_clock::now();
  const auto big = guest_->fs_read("/sandbox/big");
  const auto t1 = std::chrono::steady_clock::now();
  ASSERT_TRUE(big.has_value()) << big.error();
  EXPECT_EQ(big->status, 0);
  EXPECT_EQ(big->data.size(), 10485760u);
  std::cout << "[ metric ] 10485760 bytes: FS:READ " << std::chrono::duration_cast<ms>(t1 - t0).count() << " ms"
            << std::endl;
  // The guest's checksum of the file against the bytes the host received.
  const auto sum = sh("cut -d' ' -f1 /sandbox/big.sum");
  EXPECT_EQ(sum.stdout_data.substr(0, 64), sha256_hex(big->data));
  sh("rm -f /sandbox/big /sandbox/big.sum /sandbox/blob.bin");
}

TEST_F(GuestImage, FileOperationsReportStatusCodes) {
  const struct {
    const char* name;
    bool write;
    std::string path;
    int status;
  } cases[] = {
      {"read missing", false, "/sandbox/missing", 1},
      {"read a directory", false, "/sandbox", 2},
      {"write into a missing directory", true, "/sandbox/no/such/file", 1},
      {"write to a read-only file system", true, "/sandbox/ro/file", 3},
  };
  ASSERT_EQ(sh("mkdir -p /sandbox/ro && mount -t tmpfs -o ro tmpfs /sandbox/ro").exit_code, 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = c.write ? guest_->fs_write(c.path, "x") : guest_->fs_read(c.path);
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(r->status, c.status);
  }
  sh("umount /sandbox/ro; rmdir /sandbox/ro");
  // A full sandbox says so.
  const auto fill = sh("dd if=/dev/zero of=/sandbox/fill bs=1M 2>/dev/null; df -k /sandbox | tail -1");
  const auto full = guest_->fs_write("/sandbox/more", std::string(65536, 'x'));
  sh("rm -f /sandbox/fill /sandbox/more");
  ASSERT_TRUE(full.has_value()) << full.error();
  EXPECT_EQ(full->status, 4) << fill.stdout_data;
}

TEST_F(GuestImage, FileScriptsAndRemoveAndRename) {
  ASSERT_EQ(sh("mkdir -p /sandbox/d/sub && printf 12345 > /sandbox/d/f.txt && ln -s f.txt /sandbox/d/link && "
               "touch /sandbox/d/.hidden && touch -d @1700000000 /sandbox/d/f.txt").exit_code, 0);

  auto stat_file = run(script(kStatScript, "/sandbox/d/f.txt"));
  EXPECT_EQ(stat_file.stdout_data, "file\t5\t81a4\t1700000000\n");
  auto stat_dir = run(script(kStatScript, "/sandbox/d"));
  EXPECT_THAT(stat_dir.stdout_data, StartsWith("dir\t"));
  auto stat_link = run(script(kStatScript, "/sandbox/d/link"));
  EXPECT_THAT(stat_link.stdout_data, StartsWith("symlink\t5\ta1ff\t"));  // the link itself
  auto stat_missing = run(script(kStatScript, "/sandbox/nope"));
  EXPECT_EQ(stat_missing.exit_code, 10);
  EXPECT_EQ(stat_missing.stderr_data, "path not found\n");

  std::string sub_size = sh("stat -c %s /sandbox/d/sub").stdout_data;
  sub_size.pop_back();
  auto list = run(script(kListScript, "/sandbox/d"));
  EXPECT_EQ(list.exit_code, 0);
  // Shell expansion order: the visible names sorted, then the dot files.
  EXPECT_EQ(list.stdout_data,
            "file\t5\t0\tf.txt\nsymlink\t5\t1\tlink\ndir\t" + sub_size + "\t0\tsub\nfile\t0\t0\t.hidden\n");
  EXPECT_EQ(run(script(kListScript, "/sandbox/d/f.txt")).exit_code, 11);

  EXPECT_EQ(run(script(kExistsScript, "/sandbox/d/f.txt")).stdout_data, "yes\n");
  EXPECT_EQ(run(script(kExistsScript, "/sandbox/d/none")).stdout_data, "no\n");

  EXPECT_EQ(run({"/bin/rm", "-f", "/sandbox/d/none"}).exit_code, 0);
  const auto rm_dir = run({"/bin/rm", "-f", "/sandbox/d/sub"});
  EXPECT_EQ(rm_dir.exit_code, 1);
  EXPECT_THAT(rm_dir.stderr_data, HasSubstr("sub"));
  EXPECT_EQ(run({"/bin/mv", "/sandbox/d/f.txt", "/sandbox/d/g.txt"}).exit_code, 0);
  EXPECT_EQ(run(script(kExistsScript, "/sandbox/d/f.txt")).stdout_data, "no\n");
  EXPECT_EQ(run({"/bin/rm", "-f", "/sandbox/d/g.txt"}).exit_code, 0);
  EXPECT_EQ(run(script(kExistsScript, "/sandbox/d/g.txt")).stdout_data, "no\n");
}

TEST_F(GuestImage, GuestProgramsReachHttpsThroughTheHost) {
  std::vector<proxy::HttpRequest> received;
  guest_->set_http_handler([&](const vm::HttpRequestFrame& frame) -> std::vector<std::string> {
    // The parser has already read the JSON with the proxy's own reader.
    const proxy::HttpRequest* request = &frame.request;
    received.push_back(*request);
    if (request->url == "https://denied.example/") {
      return {proxy::build_reply_error_frame(frame.id, proxy::HttpProxyError::denied_host("denied.example"))};
    }
    proxy::HttpProxyResponse response;
    response.status = 200;
    response.headers = {{"content-type", "application/json"}};
    response.body = nlohmann::json{{"method", request->method}, {"echo", request->body.value_or("")},
                                   {"pad", std::string(40000, 'p')}}.dump();
    auto frames = proxy::build_reply_frames(frame.id, response);
    EXPECT_TRUE(frames.has_value());
    return frames.value_or(std::vector<std::string>{});
  });

  const auto py = run({"python3", "-c",
                       "import quorrel_http as q\n"
                       "r = q.post('https://api.example.com/x', body='ping', headers={'x-a': '1'})\n"
                       "print(r.status, r.headers['content-type'], r.json()['method'], r.json()['echo'], len(r.body))\n"
                       "try:\n"
                       "    q.get('https://denied.example/')\n"
                       "except q.HttpError as e:\n"
                       "    print(e.code, e.message)\n"});
  const std::size_t body_len =
      nlohmann::json{{"method", "POST"}, {"echo", "ping"}, {"pad", std::string(40000, 'p')}}.dump().size();
  EXPECT_EQ(py.stdout_data, "200 application/json POST ping " + std::to_string(body_len) +
                                "\nDENIED_HOST domain not in whitelist: denied.example\n");
  EXPECT_EQ(py.stderr_data, "");
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].headers, (std::map<std::string, std::string>{{"x-a", "1"}}));
  EXPECT_EQ(received[0].body, "ping");

  const auto cmd = run({"sh", "-c", "quorrel-http -X GET https://api.example.com/y | head -c 20; echo; "
                                    "quorrel-http https://denied.example/; echo rc=$?"});
  EXPECT_EQ(cmd.stdout_data, "{\"echo\":\"\",\"method\":\nrc=1\n");
  EXPECT_EQ(cmd.stderr_data, "quorrel-http: DENIED_HOST: domain not in whitelist: denied.example\n");
  guest_->set_http_handler(nullptr);
}

}  // namespace
}  // namespace quorrel::qemu_test
