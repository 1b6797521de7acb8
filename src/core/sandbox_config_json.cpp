// JSON form of SandboxConfig.
#include <array>
#include <cstdint>

#include "core/json.h"
#include "core/json_record.h"
#include "core/sandbox.h"
#include "core/utf8.h"

namespace quorrel::core {

namespace {

using Json = nlohmann::ordered_json;

constexpr std::array<std::string_view, 10> kFields = {
    "fs_readonly",  "fs_readwrite",    "deny_network", "memory_limit_mb", "cpu_quota_us",
    "cpu_period_us", "timeout_secs", "seccomp_profile", "allow_fork",    "allowed_http_domains"};

std::string invalid_type(const Json& v, std::string_view expected) { return json_invalid_type(v, expected); }

template <class T>
using Parsed = std::expected<T, std::string>;

Parsed<std::uint64_t> read_u64(const Json& v) { return read_json_unsigned(v, UINT64_MAX, "u64"); }

Parsed<std::optional<std::uint64_t>> read_opt_u64(const Json& v) {
  if (v.is_null()) return std::optional<std::uint64_t>{};
  auto r = read_u64(v);
  if (!r) return std::unexpected(r.error());
  return std::optional<std::uint64_t>(*r);
}

Parsed<bool> read_bool(const Json& v) {
  if (!v.is_boolean()) return std::unexpected(invalid_type(v, "a boolean"));
  return v.get<bool>();
}

Parsed<std::vector<std::string>> read_strings(const Json& v) {
  if (!v.is_array()) return std::unexpected(invalid_type(v, "a sequence"));
  std::vector<std::string> out;
  for (const auto& e : v) {
    if (!e.is_string()) return std::unexpected(invalid_type(e, "a string"));
    out.push_back(e.get<std::string>());
  }
  return out;
}

Parsed<std::vector<std::filesystem::path>> read_paths(const Json& v) {
  auto s = read_strings(v);
  if (!s) return std::unexpected(s.error());
  return std::vector<std::filesystem::path>(s->begin(), s->end());
}

std::string unknown_variant(std::string_view name) {
  return "unknown variant `" + std::string(name) +
         "`, expected one of `Essential`, `Network`, `EssentialWithFork`, `NetworkWithFork`";
}

Parsed<SeccompProfile> read_profile(const Json& v) {
  std::string name;
  if (v.is_string()) {
    name = v.get<std::string>();
  } else if (v.is_object() && v.size() == 1 && v.begin().value().is_null()) {
    name = v.begin().key();
  } else if (v.is_object() && v.size() == 1) {
    const std::string key = v.begin().key();
    if (!seccomp_profile_from_name(key)) return std::unexpected(unknown_variant(key));
    return std::unexpected(invalid_type(v.begin().value(), "unit variant"));
  } else {
    return std::unexpected(invalid_type(v, "value of enum SeccompProfile"));
  }
  auto p = seccomp_profile_from_name(name);
  if (!p) return std::unexpected(unknown_variant(name));
  return *p;
}

// Reads field `index` (declaration order) from v into cfg.
Parsed<bool> read_field(std::size_t index, const Json& v, SandboxConfig& cfg) {
  auto assign = [](auto parsed, auto& target) -> Parsed<bool> {
    if (!parsed) return std::unexpected(parsed.error());
    target = std::move(*parsed);
    return true;
  };
  switch (index) {
    case 0: return assign(read_paths(v), cfg.fs_readonly);
    case 1: return assign(read_paths(v), cfg.fs_readwrite);
    case 2: return assign(read_bool(v), cfg.deny_network);
    case 3: return assign(read_opt_u64(v), cfg.memory_limit_mb);
    case 4: return assign(read_opt_u64(v), cfg.cpu_quota_us);
    case 5: return assign(read_u64(v), cfg.cpu_period_us);
    case 6: return assign(read_opt_u64(v), cfg.timeout_secs);
    case 7: return assign(read_profile(v), cfg.seccomp_profile);
    case 8: return assign(read_bool(v), cfg.allow_fork);
    case 9: return assign(read_strings(v), cfg.allowed_http_domains);
  }
  return true;
}

Json paths_json(const std::vector<std::filesystem::path>& paths, bool* ok) {
  Json arr = Json::array();
  for (const auto& p : paths) {
    if (!is_valid_utf8(p.native())) *ok = false;
    arr.push_back(p.native());
  }
  return arr;
}

Json opt_json(const std::optional<std::uint64_t>& v) { return v ? Json(*v) : Json(nullptr); }

}  // namespace

std::expected<std::string, std::string> SandboxConfig::to_json() const {
  bool ok = true;
  Json j = Json::object();
  j["fs_readonly"] = paths_json(fs_readonly, &ok);
  j["fs_readwrite"] = paths_json(fs_readwrite, &ok);
  if (!ok) return std::unexpected(std::string("path contains invalid UTF-8 characters"));
  for (const auto& d : allowed_http_domains) {
    if (!is_valid_utf8(d)) return std::unexpected(std::string("domain contains invalid UTF-8 characters"));
  }
  j["deny_network"] = deny_network;
  j["memory_limit_mb"] = opt_json(memory_limit_mb);
  j["cpu_quota_us"] = opt_json(cpu_quota_us);
  j["cpu_period_us"] = cpu_period_us;
  j["timeout_secs"] = opt_json(timeout_secs);
  j["seccomp_profile"] = std::string(seccomp_profile_name(seccomp_profile));
  j["allow_fork"] = allow_fork;
  j["allowed_http_domains"] = allowed_http_domains;
  return j.dump();
}

std::expected<SandboxConfig, std::string> SandboxConfig::from_json(std::string_view text) {
  SandboxConfig cfg;
  auto ok = read_json_record(text, "SandboxConfig", kFields, [&](std::size_t index, const Json& value) {
    auto r = read_field(index, value, cfg);
    return r ? std::expected<void, std::string>() : std::unexpected(r.error());
  });
  if (!ok) return std::unexpected(ok.error());
  return cfg;
}

}  // namespace quorrel::core
