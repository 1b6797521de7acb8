#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/sandbox.h"

namespace quorrel::core {
namespace {

using Json = nlohmann::ordered_json;

Json default_json() {
  auto text = SandboxConfig{}.to_json();
  EXPECT_TRUE(text.has_value());
  return Json::parse(*text);
}

// The default record as JSON with one key replaced by `value`.
std::string with_field(const std::string& key, const Json& value) {
  Json j = default_json();
  j[key] = value;
  return j.dump();
}

std::string without_field(const std::string& key) {
  Json j = default_json();
  j.erase(key);
  return j.dump();
}

TEST(SandboxConfigJson, DefaultRoundTripsAndListsKeysInDeclarationOrder) {
  const SandboxConfig def;
  auto text = def.to_json();
  ASSERT_TRUE(text.has_value()) << text.error();
  EXPECT_EQ(*text,
            R"({"fs_readonly":["/usr","/lib","/lib64","/bin","/sbin","/dev","/proc","/etc"],)"
            R"("fs_readwrite":["/tmp"],"deny_network":true,"memory_limit_mb":512,"cpu_quota_us":null,)"
            R"("cpu_period_us":100000,"timeout_secs":30,"seccomp_profile":"Essential","allow_fork":false,)"
            R"("allowed_http_domains":[]})");

  const Json parsed = Json::parse(*text);
  std::vector<std::string> keys;
  for (auto it = parsed.begin(); it != parsed.end(); ++it) keys.push_back(it.key());
  ASSERT_EQ(keys.size(), 10u);
  EXPECT_EQ(keys.front(), "fs_readonly");
  EXPECT_EQ(keys.back(), "allowed_http_domains");
  EXPECT_TRUE(parsed["cpu_quota_us"].is_null());
  EXPECT_EQ(parsed["memory_limit_mb"], 512);

  auto back = SandboxConfig::from_json(*text);
  ASSERT_TRUE(back.has_value()) << back.error();
  EXPECT_EQ(*back, def);
}

TEST(SandboxConfigJson, NonDefaultRecordRoundTrips) {
  SandboxConfig c;
  c.fs_readonly = {"/opt/\xe4\xb8\xad", "rel/path"};
  c.fs_readwrite = {};
  c.deny_network = false;
  c.memory_limit_mb = std::nullopt;
  c.cpu_quota_us = std::numeric_limits<std::uint64_t>::max();
  c.cpu_period_us = 0;
  c.timeout_secs = std::nullopt;
  c.seccomp_profile = SeccompProfile::NetworkWithFork;
  c.allow_fork = true;
  c.allowed_http_domains = {"*.example.com", "a\"b\\c"};
  auto text = c.to_json();
  ASSERT_TRUE(text.has_value()) << text.error();
  auto back = SandboxConfig::from_json(*text);
  ASSERT_TRUE(back.has_value()) << back.error();
  EXPECT_EQ(*back, c);
}

TEST(SandboxConfigJson, ObjectInAnyOrderWithUnknownKeysSkipped) {
  const Json def = default_json();
  Json reversed = Json::object();
  reversed["zzz_unknown"] = Json::parse(R"({"nested":[1,2,{"allow_fork":"x"}]})");
  std::vector<std::string> keys;
  for (auto it = def.begin(); it != def.end(); ++it) keys.push_back(it.key());
  for (auto k = keys.rbegin(); k != keys.rend(); ++k) {
    reversed[*k] = def[*k];
    reversed["unknown_after_" + *k] = nullptr;
  }
  reversed["allow_fork"] = true;
  auto back = SandboxConfig::from_json(reversed.dump());
  ASSERT_TRUE(back.has_value()) << back.error();
  SandboxConfig expected;
  expected.allow_fork = true;
  EXPECT_EQ(*back, expected);
}

TEST(SandboxConfigJson, ArrayFormOfTenValues) {
  auto back = SandboxConfig::from_json(
      R"([["/a"],["/b","/c"],false,null,250,1000,null,"Network",true,["x.org"]])");
  ASSERT_TRUE(back.has_value()) << back.error();
  SandboxConfig expected;
  expected.fs_readonly = {"/a"};
  expected.fs_readwrite = {"/b", "/c"};
  expected.deny_network = false;
  expected.memory_limit_mb = std::nullopt;
  expected.cpu_quota_us = 250;
  expected.cpu_period_us = 1000;
  expected.timeout_secs = std::nullopt;
  expected.seccomp_profile = SeccompProfile::Network;
  expected.allow_fork = true;
  expected.allowed_http_domains = {"x.org"};
  EXPECT_EQ(*back, expected);
}

TEST(SandboxConfigJson, ArrayOfWrongLength) {
  for (const char* text : {"[]", R"([["/a"],["/b"],true,null,null,1,null,"Essential",false])",
                           R"([["/a"],["/b"],true,null,null,1,null,"Essential",false,[],1])"}) {
    auto r = SandboxConfig::from_json(text);
    ASSERT_FALSE(r.has_value()) << text;
    EXPECT_NE(r.error().find("invalid length"), std::string::npos) << r.error();
    EXPECT_NE(r.error().find("struct SandboxConfig with 10 elements"), std::string::npos) << r.error();
  }
}

TEST(SandboxConfigJson, EveryKeyIsRequired) {
  const Json def = default_json();
  for (auto it = def.begin(); it != def.end(); ++it) {
    auto r = SandboxConfig::from_json(without_field(it.key()));
    ASSERT_FALSE(r.has_value()) << it.key();
    EXPECT_EQ(r.error(), "missing field `" + it.key() + "`");
  }
}

TEST(SandboxConfigJson, DuplicateKnownKeyIsRefusedButDuplicateUnknownKeyIsNot) {
  std::string text = default_json().dump();
  text.insert(1, R"("allow_fork":true,)");
  auto r = SandboxConfig::from_json(text);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "duplicate field `allow_fork`");

  std::string unknown = default_json().dump();
  unknown.insert(1, R"("extra":1,"extra":2,)");
  EXPECT_TRUE(SandboxConfig::from_json(unknown).has_value());
}

TEST(SandboxConfigJson, SeccompProfileForms) {
  struct Case {
    Json value;
    std::optional<SeccompProfile> expected;
    std::string error_fragment;
  };
  const std::string four = "expected one of `Essential`, `Network`, `EssentialWithFork`, `NetworkWithFork`";
  const std::vector<Case> cases = {
      {"Essential", SeccompProfile::Essential, ""},
      {"Network", SeccompProfile::Network, ""},
      {"EssentialWithFork", SeccompProfile::EssentialWithFork, ""},
      {"NetworkWithFork", SeccompProfile::NetworkWithFork, ""},
      {Json::parse(R"({"Network":null})"), SeccompProfile::Network, ""},
      {Json::parse(R"({"NetworkWithFork":null})"), SeccompProfile::NetworkWithFork, ""},
      {"network", std::nullopt, "unknown variant `network`, " + four},
      {"", std::nullopt, "unknown variant ``, " + four},
      {Json::parse(R"({"Bogus":null})"), std::nullopt, "unknown variant `Bogus`, " + four},
      {Json::parse(R"({"Network":1})"), std::nullopt, "invalid type"},
      {Json::parse(R"({"Network":null,"Essential":null})"), std::nullopt, "invalid type"},
      {Json::parse(R"({})"), std::nullopt, "invalid type"},
      {3, std::nullopt, "invalid type"},
      {nullptr, std::nullopt, "invalid type"},
  };
  for (const auto& c : cases) {
    auto r = SandboxConfig::from_json(with_field("seccomp_profile", c.value));
    if (c.expected) {
      ASSERT_TRUE(r.has_value()) << c.value.dump() << ": " << r.error();
      EXPECT_EQ(r->seccomp_profile, *c.expected) << c.value.dump();
      EXPECT_EQ(static_cast<int>(r->seccomp_profile), static_cast<int>(*c.expected));
    } else {
      ASSERT_FALSE(r.has_value()) << c.value.dump();
      EXPECT_NE(r.error().find(c.error_fragment), std::string::npos) << c.value.dump() << ": " << r.error();
    }
  }
  EXPECT_EQ(static_cast<int>(SandboxConfig::from_json(with_field("seccomp_profile", "NetworkWithFork"))
                                 ->seccomp_profile),
            3);
  EXPECT_EQ(static_cast<int>(
                SandboxConfig::from_json(with_field("seccomp_profile", Json::parse(R"({"Network":null})")))
                    ->seccomp_profile),
            1);
}

TEST(SandboxConfigJson, WrongTypesNameTheExpectation) {
  struct Case {
    std::string key;
    Json value;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"deny_network", 1, "invalid type: integer `1`, expected a boolean"},
      {"allow_fork", "true", "invalid type: string \"true\", expected a boolean"},
      {"allow_fork", nullptr, "invalid type: null, expected a boolean"},
      {"fs_readonly", "/usr", "invalid type: string \"/usr\", expected a sequence"},
      {"fs_readwrite", Json::parse("[1]"), "invalid type: integer `1`, expected a string"},
      {"allowed_http_domains", Json::parse("{}"), "invalid type: map, expected a sequence"},
      {"allowed_http_domains", Json::parse("[null]"), "invalid type: null, expected a string"},
      {"cpu_period_us", nullptr, "invalid type: null, expected u64"},
      {"cpu_period_us", "5", "invalid type: string \"5\", expected u64"},
      {"memory_limit_mb", true, "invalid type: boolean `true`, expected u64"},
      {"timeout_secs", Json::parse("[]"), "invalid type: sequence, expected u64"},
  };
  for (const auto& c : cases) {
    auto r = SandboxConfig::from_json(with_field(c.key, c.value));
    ASSERT_FALSE(r.has_value()) << c.key << " = " << c.value.dump();
    EXPECT_EQ(r.error(), c.message) << c.key;
  }
}

TEST(SandboxConfigJson, UnsignedFieldsRefuseNegativeHugeAndFractionalNumbers) {
  struct Case {
    const char* literal;
    std::optional<std::uint64_t> accepted;
    const char* error_fragment;
  };
  const std::vector<Case> cases = {
      {"0", 0, ""},
      {"18446744073709551615", std::numeric_limits<std::uint64_t>::max(), ""},
      {"9223372036854775808", 9223372036854775808ull, ""},
      {"-1", std::nullopt, "invalid value: integer `-1`, expected u64"},
      {"-9223372036854775808", std::nullopt, "invalid value: integer `-9223372036854775808`, expected u64"},
      {"18446744073709551616", std::nullopt, "invalid type: floating point"},
      {"1e3", std::nullopt, "invalid type: floating point"},
      {"1.5", std::nullopt, "invalid type: floating point `1.5`, expected u64"},
      {"1.0", std::nullopt, "invalid type: floating point"},
  };
  for (const char* key : {"memory_limit_mb", "cpu_quota_us", "cpu_period_us", "timeout_secs"}) {
    for (const auto& c : cases) {
      // Spliced in as raw text so that the literal reaches the reader unchanged.
      Json j = Json::parse(default_json().dump());
      j.erase(key);
      std::string body = j.dump();
      body.insert(1, std::string("\"") + key + "\":" + c.literal + ",");
      auto r = SandboxConfig::from_json(body);
      if (c.accepted) {
        ASSERT_TRUE(r.has_value()) << key << "=" << c.literal << ": " << r.error();
        const std::uint64_t got = std::string_view(key) == "memory_limit_mb" ? r->memory_limit_mb.value()
                                  : std::string_view(key) == "cpu_quota_us"  ? r->cpu_quota_us.value()
                                  : std::string_view(key) == "cpu_period_us" ? r->cpu_period_us
                                                                             : r->timeout_secs.value();
        EXPECT_EQ(got, *c.accepted) << key << "=" << c.literal;
      } else {
        ASSERT_FALSE(r.has_value()) << key << "=" << c.literal;
        EXPECT_NE(r.error().find(c.error_fragment), std::string::npos) << key << "=" << c.literal << ": "
                                                                       << r.error();
      }
    }
  }
}

TEST(SandboxConfigJson, MalformedDocumentsGiveTheReadersMessage) {
  for (const char* text : {"", "{", R"({"fs_readonly":)", "[1,2", "{}x", "nul", R"({"a" 1})", "\xff"}) {
    auto r = SandboxConfig::from_json(text);
    ASSERT_FALSE(r.has_value()) << text;
    EXPECT_TRUE(r.error().starts_with("parse error at line ")) << text << ": " << r.error();
  }
  for (const char* text : {"null", "true", "3", R"("x")"}) {
    auto r = SandboxConfig::from_json(text);
    ASSERT_FALSE(r.has_value()) << text;
    EXPECT_NE(r.error().find("expected struct SandboxConfig"), std::string::npos) << r.error();
  }
}

TEST(SandboxConfigJson, InvalidUtf8IsRefusedInBothDirections) {
  using PathList = std::vector<std::filesystem::path> SandboxConfig::*;
  for (PathList field : {&SandboxConfig::fs_readonly, &SandboxConfig::fs_readwrite}) {
    SandboxConfig c;
    (c.*field).push_back(std::filesystem::path(std::string("/tmp/\xff\xfe")));
    auto r = c.to_json();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), "path contains invalid UTF-8 characters");
  }
  SandboxConfig c;
  c.allowed_http_domains = {"bad\xc0\xaf"};
  EXPECT_FALSE(c.to_json().has_value());

  // Raw invalid bytes and lone surrogate escapes inside a JSON string.
  for (const std::string& path : {std::string("/x\xff"), std::string("\\ud800")}) {
    std::string body = default_json().dump();
    const std::string needle = "\"/tmp\"";
    body.replace(body.find(needle), needle.size(), "\"" + path + "\"");
    auto r = SandboxConfig::from_json(body);
    ASSERT_FALSE(r.has_value()) << path;
    EXPECT_TRUE(r.error().starts_with("parse error")) << r.error();
  }
}

}  // namespace
}  // namespace quorrel::core
