// HTTPS requests through the host proxy: the guest's HTTP:REQUEST frames,
// served in the middle of an operation, and the host caller's requests.
#include "vm/http_proxy/reply_frames.h"
#include "vm/kvm/kvm_backend.h"

namespace quorrel::vm {

namespace {

http_proxy::ProxyResult<http_proxy::HttpProxyResponse> execute(
    const std::vector<std::string>& whitelist, http_proxy::HttpRequest request,
    const std::optional<std::pair<http_proxy::Resolver, http_proxy::ExchangeSettings>>& override_) {
  if (override_) return http_proxy::execute_http_request(whitelist, std::move(request), override_->first, override_->second);
  return http_proxy::execute_http_request(whitelist, std::move(request));
}

}  // namespace

void KvmBackend::set_http_exchange_for_testing(http_proxy::Resolver resolver, http_proxy::ExchangeSettings settings) {
  http_exchange_override_.emplace(std::move(resolver), std::move(settings));
}

std::expected<void, MicrovmError> KvmBackend::run_http_proxy_request(std::uint32_t id, http_proxy::HttpRequest request) {
  auto response = execute(sandbox_config_.allowed_http_domains, std::move(request), http_exchange_override_);
  if (!response) {
    serial_.queue_input(http_proxy::build_reply_error_frame(id, response.error()));
    return {};
  }
  auto frames = http_proxy::build_reply_frames(id, *response);
  if (!frames) return std::unexpected(MicrovmError::backend("failed to serialize HTTP response headers: " + frames.error()));
  for (const auto& f : *frames) serial_.queue_input(f);
  return {};
}

std::expected<http_proxy::HttpProxyResponse, MicrovmError> KvmBackend::http_request(http_proxy::HttpRequest request) {
  if (state_ != BackendState::Ready) return std::unexpected(MicrovmError::not_ready());
  auto response = execute(sandbox_config_.allowed_http_domains, std::move(request), http_exchange_override_);
  if (!response) return std::unexpected(MicrovmError::http_proxy(std::move(response.error())));
  return std::move(*response);
}

}  // namespace quorrel::vm
