#include "core/json.h"

#include <set>

namespace quorrel::core {

namespace {

using Json = nlohmann::ordered_json;

// Builds the document like the library's own DOM parser, but records
// repeated keys instead of silently overwriting.
class CheckedDomBuilder : public nlohmann::json_sax<Json> {
 public:
  explicit CheckedDomBuilder(ParsedJson& out) : out_(out) {}

  bool null() override { return put(Json(nullptr)); }
  bool boolean(bool v) override { return put(Json(v)); }
  bool number_integer(number_integer_t v) override { return put(Json(v)); }
  bool number_unsigned(number_unsigned_t v) override { return put(Json(v)); }
  bool number_float(number_float_t v, const string_t&) override { return put(Json(v)); }
  bool string(string_t& v) override { return put(Json(v)); }
  bool binary(binary_t& v) override { return put(Json::binary(v)); }

  bool start_object(std::size_t) override {
    Json* slot = place(Json::object());
    stack_.push_back({slot, {}, {}, true});
    return true;
  }
  bool key(string_t& k) override {
    auto& frame = stack_.back();
    if (!frame.seen.insert(k).second) {
      out_.duplicates.push_back({k, stack_.size()});
      frame.skip_next = true;
    } else {
      frame.skip_next = false;
    }
    frame.pending_key = k;
    return true;
  }
  bool end_object() override {
    stack_.pop_back();
    return true;
  }
  bool start_array(std::size_t) override {
    Json* slot = place(Json::array());
    stack_.push_back({slot, {}, {}, false});
    return true;
  }
  bool end_array() override {
    stack_.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
    error_ = ex.what();
    // Drop the library's "[json.exception.parse_error.101] " tag.
    if (auto pos = error_.find("] "); pos != std::string::npos && error_.starts_with("[json.")) {
      error_ = error_.substr(pos + 2);
    }
    return false;
  }

  const std::string& error() const { return error_; }

 private:
  struct Frame {
    Json* container;
    std::string pending_key;
    std::set<std::string> seen;
    bool is_object;
    bool skip_next = false;
  };

  // Places a value in the current container and returns where it lives.
  Json* place(Json&& v) {
    if (stack_.empty()) {
      out_.value = std::move(v);
      return &out_.value;
    }
    auto& frame = stack_.back();
    if (frame.is_object) {
      if (frame.skip_next) {
        scratch_.push_back(std::make_unique<Json>(std::move(v)));
        return scratch_.back().get();
      }
      auto& slot = (*frame.container)[frame.pending_key];
      slot = std::move(v);
      return &slot;
    }
    frame.container->push_back(std::move(v));
    return &frame.container->back();
  }
  bool put(Json&& v) {
    place(std::move(v));
    return true;
  }

  ParsedJson& out_;
  std::vector<Frame> stack_;
  std::vector<std::unique_ptr<Json>> scratch_;
  std::string error_;
};

}  // namespace

std::expected<ParsedJson, std::string> parse_json(std::string_view text) {
  ParsedJson out;
  CheckedDomBuilder builder(out);
  bool ok = false;
  try {
    ok = Json::sax_parse(text.begin(), text.end(), &builder);
  } catch (const std::exception& ex) {
    return std::unexpected(std::string(ex.what()));
  }
  if (!ok) return std::unexpected(builder.error().empty() ? std::string("invalid JSON") : builder.error());
  return out;
}

std::string describe_json_value(const nlohmann::ordered_json& v) {
  switch (v.type()) {
    case nlohmann::json::value_t::null: return "null";
    case nlohmann::json::value_t::boolean: return std::string("boolean `") + (v.get<bool>() ? "true" : "false") + "`";
    case nlohmann::json::value_t::number_integer: return "integer `" + v.dump() + "`";
    case nlohmann::json::value_t::number_unsigned: return "integer `" + v.dump() + "`";
    case nlohmann::json::value_t::number_float: return "floating point `" + v.dump() + "`";
    case nlohmann::json::value_t::string: return "string " + v.dump();
    case nlohmann::json::value_t::array: return "sequence";
    case nlohmann::json::value_t::object: return "map";
    default: return "value";
  }
}

}  // namespace quorrel::core
