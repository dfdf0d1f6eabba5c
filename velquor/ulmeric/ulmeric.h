// Client of the OpenRouter chat-completions service, a language model behind
// the common interface of velquor::tarvon (same errors, same key handling).
//
//  - key: OPENROUTER_API_KEY (construction fails when unset or empty);
//  - base URL: ClientOptions::base_url, else OPENROUTER_BASE_URL, else
//    "https://openrouter.ai/api/v1";
//  - model: passed as given ("anthropic/claude-sonnet-4.5");
//  - POST <base>/chat/completions with Authorization: Bearer <key> and
//    content-type: application/json, body tarvon::chat_request_body(); the
//    answer is choices[0].message.content.
#pragma once

#include <chrono>
#include <string>

#include "velquor/tarvon/tarvon.h"

namespace velquor::ulmeric {

class OpenRouterClient : public tarvon::LanguageModel {
 public:
  explicit OpenRouterClient(const std::string& model, tarvon::ClientOptions options = {});

  std::string generate(const std::string& prompt) override;

  const std::string& model() const { return model_; }
  const std::string& endpoint() const { return endpoint_; }

 private:
  std::string model_;
  std::string api_key_;
  std::string endpoint_;
  std::chrono::milliseconds timeout_;
};

}  // namespace velquor::ulmeric
