#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/duration.h"
#include "os/linux_sandbox.h"
#include "sdk/config.h"
#include "sdk/error.h"
#include "sdk/execute_options.h"
#include "sdk/os_command.h"
#include "sdk/stream.h"
#include "vm/http_proxy/http_response.h"

namespace quorrel::sdk {

// The back end a sandbox currently holds. The microVM kinds (an own microVM
// and a VM leased from a warm pool) join the OS level here as they are built.
using SandboxInner = std::variant<os::LinuxSandbox>;

inline bool is_os_backend(const SandboxInner& inner) { return std::holds_alternative<os::LinuxSandbox>(inner); }

// The object behind every Python Sandbox: keeps the configuration, creates
// the back end lazily, replaces it when the resolved level changes,
// dispatches operations to it and tears it down. Used by one thread at a
// time.
class Sandbox {
 public:
  static SdkResult<Sandbox> create(Config config);

  Sandbox(Sandbox&& other) noexcept;
  Sandbox& operator=(Sandbox&& other) noexcept;
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  // Discard: destroys the back end once; a failure is swallowed after a
  // 100 ms pause.
  ~Sandbox();

  const Config& config() const { return config_; }
  std::optional<IsolationLevel> backend_kind() const { return backend_kind_; }
  SandboxInner* inner() { return inner_ ? &*inner_ : nullptr; }
  // Takes the back end out, leaving the sandbox without one.
  std::optional<SandboxInner> take_inner();

  // Makes sure a back end of the resolved level exists, replacing one of
  // another level.
  SdkResult<void> ensure_backend();
  SdkResult<SandboxInner> create_inner(IsolationLevel level) const;

  SdkResult<ExecuteResult> execute(std::string_view command);
  SdkResult<ExecuteResult> execute_with_sdk_options(std::string_view command, const ExecuteOptions& options);
  // Runs the command to its end and hands back its events.
  SdkResult<StreamReceiver> stream_execute(std::string_view command);

  SdkResult<void> wait_ready(core::Duration timeout);
  SdkResult<void> wait_ready_inner(core::Duration timeout);

  SdkResult<void> write_file(std::string_view path, std::string_view data);

  // Makes sure a back end able to take snapshots exists: refuses a sandbox
  // configured for the OS or Wasm level (creating nothing), refuses an
  // existing back end of another level without touching it, and creates a
  // microVM back end when there is none.
  SdkResult<void> ensure_backend_for_snapshot();

  // An HTTPS request performed by the host under the sandbox's whitelist.
  // Refused for a sandbox configured for the OS or Wasm level; otherwise a
  // back end of another level is replaced by a microVM one first.
  SdkResult<vm::http_proxy::HttpProxyResponse> http_request(std::string_view method, std::string_view url,
                                                            const std::map<std::string, std::string>& headers,
                                                            std::optional<std::string> body);

  static SdkResult<std::vector<std::string>> build_env_assignments(const std::map<std::string, std::string>& env) {
    return sdk::build_env_assignments(env);
  }
  static SdkResult<void> validate_host_file_path(std::string_view path) { return sdk::validate_host_file_path(path); }

  // Destroys the back end and releases the sandbox.
  static SdkResult<void> destroy(Sandbox sandbox);
  static SdkResult<void> destroy_backend_inner(SandboxInner inner);

 private:
  // Replaces a back end of another level by a microVM one, or creates one.
  SdkResult<void> ensure_microvm_backend();

  explicit Sandbox(Config config) : config_(std::move(config)) {}

  Config config_;
  std::optional<SandboxInner> inner_;
  std::optional<IsolationLevel> backend_kind_;
};

// "backend instance missing after initialization".
SdkError backend_missing_error();

// What create_inner gives for the microVM level in a build without it.
SdkError microvm_unavailable_error();

}  // namespace quorrel::sdk
