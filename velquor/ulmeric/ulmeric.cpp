#include "velquor/ulmeric/ulmeric.h"

namespace velquor::ulmeric {

OpenRouterClient::OpenRouterClient(const std::string& model, tarvon::ClientOptions options)
    : model_(model),
      api_key_(tarvon::require_api_key("OPENROUTER_API_KEY")),
      endpoint_(tarvon::resolve_base_url(options, "OPENROUTER_BASE_URL",
                                         "https://openrouter.ai/api/v1") +
                "/chat/completions"),
      timeout_(options.timeout) {}

std::string OpenRouterClient::generate(const std::string& prompt) {
  const Json answer = tarvon::post_json(
      endpoint_, {"Authorization: Bearer " + api_key_, "content-type: application/json"},
      tarvon::chat_request_body(model_, prompt), timeout_, api_key_);
  return tarvon::answer_text(answer, "/choices/0/message/content", "OpenRouter");
}

}  // namespace velquor::ulmeric
