#include "vm/http_proxy/http_request.h"

#include <algorithm>
#include <array>

#include "core/base64.h"
#include "core/json.h"

namespace quorrel::vm::http_proxy {

namespace {

using Json = nlohmann::ordered_json;

constexpr std::array<std::string_view, 6> kFieldOrder = {"method",   "url",        "headers",
                                                          "body_b64", "timeout_ms", "max_response_bytes"};

HttpProxyError json_error(std::string_view what) {
  return HttpProxyError::invalid_url("invalid HTTP request JSON: " + std::string(what));
}

std::string type_error(std::string_view field, const Json& v, std::string_view expected) {
  return "invalid type for \"" + std::string(field) + "\": " + core::describe_json_value(v) + ", expected " +
         std::string(expected);
}

// The six values, each nullptr when not given.
struct Fields {
  std::array<const Json*, 6> values{};
};

std::expected<Fields, std::string> collect_fields(const Json& doc) {
  Fields f;
  if (doc.is_object()) {
    for (std::size_t i = 0; i < kFieldOrder.size(); ++i) {
      auto it = doc.find(std::string(kFieldOrder[i]));
      if (it != doc.end()) f.values[i] = &*it;
    }
    return f;
  }
  if (doc.is_array()) {
    if (doc.size() > kFieldOrder.size()) {
      return std::unexpected("invalid length " + std::to_string(doc.size()) + ", expected at most 6 elements");
    }
    for (std::size_t i = 0; i < doc.size(); ++i) f.values[i] = &doc[i];
    return f;
  }
  return std::unexpected("invalid type: " + core::describe_json_value(doc) + ", expected an HTTP request object");
}

std::expected<std::string, std::string> read_string(const Fields& f, std::size_t i) {
  const Json* v = f.values[i];
  if (v == nullptr) return std::unexpected("missing field \"" + std::string(kFieldOrder[i]) + "\"");
  if (!v->is_string()) return std::unexpected(type_error(kFieldOrder[i], *v, "a string"));
  return v->get<std::string>();
}

// Absent or null: the default; otherwise a non-negative integer that fits
// 64 bits.
std::expected<std::uint64_t, std::string> read_u64(const Fields& f, std::size_t i, std::uint64_t fallback) {
  const Json* v = f.values[i];
  if (v == nullptr || v->is_null()) return fallback;
  if (!v->is_number_unsigned()) return std::unexpected(type_error(kFieldOrder[i], *v, "an unsigned integer"));
  return v->get<std::uint64_t>();
}

}  // namespace

ProxyResult<HttpRequest> HttpRequest::create(std::string method, std::string url,
                                             std::map<std::string, std::string> headers,
                                             std::optional<std::string> body) {
  if (body && body->size() > kMaxRequestBodyBytes) return std::unexpected(HttpProxyError::body_too_large());
  HttpRequest r;
  r.method = std::move(method);
  r.url = std::move(url);
  r.headers = std::move(headers);
  r.body = std::move(body);
  return r;
}

ProxyResult<HttpRequest> HttpRequest::from_json(std::string_view text) {
  auto parsed = core::parse_json(text);
  if (!parsed) return std::unexpected(json_error(parsed.error()));
  if (!parsed->duplicates.empty()) return std::unexpected(json_error("duplicate key \"" + parsed->duplicates.front().key + "\""));

  auto fields = collect_fields(parsed->value);
  if (!fields) return std::unexpected(json_error(fields.error()));

  HttpRequest r;
  auto method = read_string(*fields, 0);
  if (!method) return std::unexpected(json_error(method.error()));
  auto url = read_string(*fields, 1);
  if (!url) return std::unexpected(json_error(url.error()));
  r.method = std::move(*method);
  r.url = std::move(*url);

  if (const Json* h = fields->values[2]) {
    if (!h->is_object()) return std::unexpected(json_error(type_error("headers", *h, "a map of strings")));
    for (const auto& [name, value] : h->items()) {
      if (!value.is_string()) return std::unexpected(json_error(type_error("headers." + name, value, "a string")));
      r.headers.emplace(name, value.get<std::string>());
    }
  }

  std::optional<std::string> body_b64;
  if (const Json* b = fields->values[3]; b != nullptr && !b->is_null()) {
    if (!b->is_string()) return std::unexpected(json_error(type_error("body_b64", *b, "a string")));
    body_b64 = b->get<std::string>();
  }

  auto timeout = read_u64(*fields, 4, kDefaultTimeoutMs);
  if (!timeout) return std::unexpected(json_error(timeout.error()));
  auto max_response = read_u64(*fields, 5, kDefaultMaxResponseBytes);
  if (!max_response) return std::unexpected(json_error(max_response.error()));

  if (body_b64) {
    auto decoded = core::base64_decode(*body_b64);
    if (!decoded) return std::unexpected(HttpProxyError::invalid_url("body_b64 is not valid base64: " + decoded.error()));
    if (decoded->size() > kMaxRequestBodyBytes) return std::unexpected(HttpProxyError::body_too_large());
    r.body = std::move(*decoded);
  }
  r.timeout_ms = std::min(*timeout, kGuestTimeoutMsCap);
  r.max_response_bytes = std::min(*max_response, kGuestMaxResponseBytesCap);
  return r;
}

}  // namespace quorrel::vm::http_proxy
