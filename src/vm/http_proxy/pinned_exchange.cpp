#include "vm/http_proxy/pinned_exchange.h"

#include <curl/curl.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>

#include "core/utf8.h"
#include "vm/http_proxy/client_error.h"
#include "vm/http_proxy/http_syntax.h"
#include "vm/http_proxy/response_body.h"

namespace quorrel::vm::http_proxy {

namespace {

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string_view trim_ows(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

// Failures that happen while the request is put together, before any
// connection attempt.
bool is_request_building_code(CURLcode code) {
  switch (code) {
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_BAD_FUNCTION_ARGUMENT:
    case CURLE_NOT_BUILT_IN:
    case CURLE_LOGIN_DENIED:
      return true;
    default:
      return false;
  }
}

// Failures of an established connection while the request is sent or the
// response head is read.
bool is_sending_code(CURLcode code) {
  switch (code) {
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP3:
    case CURLE_SEND_FAIL_REWIND:
    case CURLE_READ_ERROR:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return true;
    default:
      return false;
  }
}

struct CurlEasyDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct CurlMultiDeleter {
  void operator()(CURLM* h) const { curl_multi_cleanup(h); }
};
struct CurlSlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

void init_curl_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// One request on one easy handle, driven through a private multi handle so
// that the caller can wait for the response head and then pull the body.
class CurlTransfer final : public ResponseBody {
 public:
  CurlTransfer() = default;
  CurlTransfer(const CurlTransfer&) = delete;
  CurlTransfer& operator=(const CurlTransfer&) = delete;

  ~CurlTransfer() override {
    if (multi_ && easy_ && attached_) curl_multi_remove_handle(multi_.get(), easy_.get());
  }

  // Creates the client for this request. The error is the client's text.
  std::expected<void, std::string> configure(const AdmittedRequest& admitted, HttpRequest& request,
                                             const ExchangeSettings& settings) {
    init_curl_once();
    easy_.reset(curl_easy_init());
    multi_.reset(curl_multi_init());
    if (!easy_ || !multi_) return std::unexpected("curl handle could not be created");
    errbuf_[0] = '\0';

    CURL* h = easy_.get();
    CURLcode rc = CURLE_OK;
    const auto set = [&](CURLoption opt, auto value) {
      if (rc == CURLE_OK) rc = curl_easy_setopt(h, opt, value);
    };

    url_ = admitted.url.serialize_without_fragment();
    const std::string address = admitted.pinned.ip.to_string();
    const bool v6 = admitted.pinned.ip.family == IpAddress::Family::V6;
    // "::ADDRESS:PORT": whatever host and port the URL names, connect to
    // the pinned address; libcurl then resolves nothing itself.
    connect_to_.reset(curl_slist_append(
        nullptr, ("::" + (v6 ? "[" + address + "]" : address) + ":" + std::to_string(admitted.pinned.port)).c_str()));
    if (!connect_to_) return std::unexpected("out of memory");

    set(CURLOPT_ERRORBUFFER, errbuf_);
    set(CURLOPT_URL, url_.c_str());
    set(CURLOPT_CONNECT_TO, connect_to_.get());
    set(CURLOPT_PROTOCOLS_STR, "https");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "https");
    set(CURLOPT_FOLLOWLOCATION, 0L);
    set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    set(CURLOPT_PROXY, "");
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_PATH_AS_IS, 1L);
    set(CURLOPT_BUFFERSIZE, 8192L);
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    const std::uint64_t timeout = std::clamp<std::uint64_t>(request.timeout_ms, 1, LONG_MAX);
    set(CURLOPT_TIMEOUT_MS, static_cast<long>(timeout));
    if (!settings.ca_file.empty()) {
      set(CURLOPT_CAINFO, settings.ca_file.c_str());
      set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    }
    set(CURLOPT_HEADERFUNCTION, &CurlTransfer::on_header);
    set(CURLOPT_HEADERDATA, this);
    set(CURLOPT_WRITEFUNCTION, &CurlTransfer::on_body);
    set(CURLOPT_WRITEDATA, this);

    method_ = request.method;
    set(CURLOPT_CUSTOMREQUEST, method_.c_str());
    if (method_ == "HEAD") set(CURLOPT_NOBODY, 1L);
    if (request.body) {
      body_ = std::move(*request.body);
      set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_.size()));
      set(CURLOPT_POSTFIELDS, body_.c_str());
    }
    if (rc != CURLE_OK) return std::unexpected(curl_easy_strerror(rc));
    return {};
  }

  // Adds the request headers; a name or value that HTTP does not allow is
  // a request-building failure, as is one that would smuggle a line break.
  std::expected<void, ClientError> set_headers(const HttpRequest& request) {
    bool has_expect = false, has_content_type = false;
    curl_slist* list = nullptr;
    for (const auto& [name, value] : request.headers) {
      if (auto ok = check_header_name(name); !ok) return fail_headers(list, ok.error());
      if (auto ok = check_header_value(name, value); !ok) return fail_headers(list, ok.error());
      const std::string lower = ascii_lower(name);
      has_expect = has_expect || lower == "expect";
      has_content_type = has_content_type || lower == "content-type";
      // "Name;" is libcurl's spelling of a header with an empty value.
      const std::string line = value.empty() ? name + ";" : name + ": " + value;
      curl_slist* next = curl_slist_append(list, line.c_str());
      if (!next) return fail_headers(list, "out of memory");
      list = next;
    }
    // libcurl would otherwise add headers of its own to requests with a
    // body: "Expect: 100-continue" and a form content type.
    const auto suppress = [&](const char* line) {
      if (curl_slist* next = curl_slist_append(list, line)) list = next;
    };
    if (!has_expect) suppress("Expect:");
    if (body_present() && !has_content_type) suppress("Content-Type:");
    headers_.reset(list);
    if (curl_easy_setopt(easy_.get(), CURLOPT_HTTPHEADER, headers_.get()) != CURLE_OK) {
      return std::unexpected(ClientError{ClientError::Kind::Request, "request headers could not be set"});
    }
    return {};
  }

  void mark_body(bool present) { body_present_ = present; }

  // Sends the request and waits until the final response head is complete.
  std::expected<void, ClientError> send_and_wait_for_head() {
    if (curl_multi_add_handle(multi_.get(), easy_.get()) != CURLM_OK) {
      return std::unexpected(ClientError{ClientError::Kind::Other, "curl transfer could not be started"});
    }
    attached_ = true;
    while (true) {
      step();
      if (head_complete_ || done_) break;
      wait();
    }
    if (head_complete_) return {};
    if (result_ == CURLE_OK) {
      return std::unexpected(ClientError{ClientError::Kind::Request, "connection closed before a response head arrived"});
    }
    return std::unexpected(classify());
  }

  std::uint16_t status() const { return status_; }
  std::map<std::string, std::string> take_headers() { return std::move(response_headers_); }

  std::expected<std::size_t, std::string> read(std::span<char> area) override {
    while (pending_offset_ == pending_.size()) {
      if (paused_) {
        // Hands back the chunk libcurl kept when the callback paused.
        paused_ = false;
        curl_easy_pause(easy_.get(), CURLPAUSE_CONT);
        continue;
      }
      if (done_) {
        if (result_ == CURLE_OK) return 0;
        return std::unexpected(error_text());
      }
      step();
      if (pending_offset_ == pending_.size() && !paused_ && !done_) wait();
    }
    const std::size_t n = std::min(area.size(), pending_.size() - pending_offset_);
    std::copy_n(pending_.data() + pending_offset_, n, area.data());
    pending_offset_ += n;
    return n;
  }

 private:
  bool body_present() const { return body_present_; }

  std::expected<void, ClientError> fail_headers(curl_slist* list, std::string text) {
    curl_slist_free_all(list);
    return std::unexpected(ClientError{ClientError::Kind::Request, std::move(text)});
  }

  void step() {
    int running = 0;
    const CURLMcode mc = curl_multi_perform(multi_.get(), &running);
    if (mc != CURLM_OK) {
      done_ = true;
      result_ = CURLE_FAILED_INIT;
      multi_error_ = curl_multi_strerror(mc);
      return;
    }
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_.get(), &left)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy_.get()) {
        done_ = true;
        result_ = msg->data.result;
      }
    }
  }

  // Sleeps until the socket is ready or libcurl's next timer (its time limit
  // included) is due.
  void wait() { curl_multi_poll(multi_.get(), nullptr, 0, 1000, nullptr); }

  std::string error_text() const {
    if (!multi_error_.empty()) return multi_error_;
    if (errbuf_[0] != '\0') return errbuf_;
    return curl_easy_strerror(result_);
  }

  ClientError classify() const {
    std::string text = error_text();
    if (result_ == CURLE_OPERATION_TIMEDOUT) return {ClientError::Kind::TimedOut, std::move(text)};
    if (is_request_building_code(result_)) return {ClientError::Kind::Request, std::move(text)};
    // Until the TLS handshake has completed, every failure is a failure to
    // establish the connection.
    curl_off_t established = 0;
    curl_easy_getinfo(easy_.get(), CURLINFO_APPCONNECT_TIME_T, &established);
    if (established == 0) return {ClientError::Kind::Connect, std::move(text)};
    if (is_sending_code(result_)) return {ClientError::Kind::Request, std::move(text)};
    return {ClientError::Kind::Other, std::move(text)};
  }

  static std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
    auto* self = static_cast<CurlTransfer*>(user);
    const std::size_t len = size * count;
    if (self->head_complete_ || len == 0) return len;  // trailers
    const std::string_view line(data, len);
    if (line.starts_with("HTTP/")) {
      // A new response head (after an interim 1xx one).
      self->response_headers_.clear();
      self->last_header_.clear();
      return len;
    }
    if (line == "\r\n" || line == "\n") {
      long code = 0;
      curl_easy_getinfo(self->easy_.get(), CURLINFO_RESPONSE_CODE, &code);
      if (code >= 200 || code == 101) {
        self->head_complete_ = true;
        self->status_ = static_cast<std::uint16_t>(code);
      }
      return len;
    }
    if ((line.front() == ' ' || line.front() == '\t') && !self->last_header_.empty()) {
      // A folded continuation line of the previous header.
      auto& value = self->response_headers_[self->last_header_];
      value += " " + core::utf8_lossy(trim_ows(line));
      return len;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return len;
    const std::string name = ascii_lower(trim_ows(line.substr(0, colon)));
    self->response_headers_[name] = core::utf8_lossy(trim_ows(line.substr(colon + 1)));
    self->last_header_ = name;
    return len;
  }

  static std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
    auto* self = static_cast<CurlTransfer*>(user);
    const std::size_t len = size * count;
    if (self->pending_offset_ != self->pending_.size()) {
      // The reader has not taken the last chunk yet: libcurl keeps this one
      // until read() resumes the transfer.
      self->paused_ = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    self->pending_.assign(data, len);
    self->pending_offset_ = 0;
    return len;
  }

  std::unique_ptr<CURL, CurlEasyDeleter> easy_;
  std::unique_ptr<CURLM, CurlMultiDeleter> multi_;
  std::unique_ptr<curl_slist, CurlSlistDeleter> connect_to_;
  std::unique_ptr<curl_slist, CurlSlistDeleter> headers_;
  char errbuf_[CURL_ERROR_SIZE] = {};
  std::string url_;
  std::string method_;
  std::string body_;
  bool body_present_ = false;
  bool attached_ = false;

  bool head_complete_ = false;
  bool done_ = false;
  bool paused_ = false;
  CURLcode result_ = CURLE_OK;
  std::string multi_error_;
  std::uint16_t status_ = 0;
  std::map<std::string, std::string> response_headers_;
  std::string last_header_;
  std::string pending_;
  std::size_t pending_offset_ = 0;
};

}  // namespace

ProxyResult<HttpProxyResponse> exchange_http_request(const AdmittedRequest& admitted, HttpRequest request,
                                                     const ExchangeSettings& settings) {
  if (auto ok = check_http_method(request.method); !ok) {
    return std::unexpected(HttpProxyError::invalid_url("invalid HTTP method: " + ok.error()));
  }
  CurlTransfer transfer;
  transfer.mark_body(request.body.has_value());
  if (auto ok = transfer.configure(admitted, request, settings); !ok) {
    return std::unexpected(HttpProxyError::internal("failed to build HTTP client: " + ok.error()));
  }
  if (auto ok = transfer.set_headers(request); !ok) return std::unexpected(map_client_error(ok.error()));
  if (auto ok = transfer.send_and_wait_for_head(); !ok) return std::unexpected(map_client_error(ok.error()));

  HttpProxyResponse response;
  response.status = transfer.status();
  response.headers = transfer.take_headers();
  auto body = read_response_body(transfer, request.max_response_bytes);
  if (!body) return std::unexpected(body.error());
  response.body = std::move(*body);
  return response;
}

}  // namespace quorrel::vm::http_proxy
