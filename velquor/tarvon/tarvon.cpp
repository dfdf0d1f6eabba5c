#include "velquor/tarvon/tarvon.h"

#include <utility>

namespace velquor::tarvon {

namespace {

// The service wants bare model ids with dashes ("claude-sonnet-4-5"), while
// the pipeline names models the router way ("anthropic/claude-sonnet-4.5").
std::string service_model_name(const std::string& model) {
  constexpr std::string_view kPrefix = "anthropic/";
  std::string name = model.rfind(kPrefix, 0) == 0 ? model.substr(kPrefix.size()) : model;
  for (char& c : name) {
    if (c == '.') c = '-';
  }
  return name;
}

}  // namespace

AnthropicClient::AnthropicClient(const std::string& model, ClientOptions options)
    : model_(service_model_name(model)),
      api_key_(require_api_key("ANTHROPIC_API_KEY")),
      endpoint_(resolve_base_url(options, "ANTHROPIC_BASE_URL", "https://api.anthropic.com") +
                "/v1/messages"),
      timeout_(options.timeout) {}

std::string AnthropicClient::generate(const std::string& prompt) {
  const Json answer = post_json(endpoint_,
                                {"x-api-key: " + api_key_, "anthropic-version: 2023-06-01",
                                 "content-type: application/json"},
                                chat_request_body(model_, prompt), timeout_, api_key_);
  return answer_text(answer, "/content/0/text", "Anthropic");
}

}  // namespace velquor::tarvon
