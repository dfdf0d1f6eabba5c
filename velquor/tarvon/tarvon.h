// Language-model clients: the common interface, the client of the Anthropic
// messages service, and the HTTPS transport both service clients (and the
// chat notifier) share.
//
// A client is built with a model name and answers one prompt at a time
// through generate(). Every failure (missing key, transport error, timeout,
// non-2xx status, an answer without the expected text) raises
// LanguageModelError; callers that treat the language model as optional
// catch it. API keys are read from the environment and never appear in any
// message, log or file: error texts carry the status and the start of the
// service's answer, with the key blotted out should the service echo it.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "shared/errors.h"
#include "shared/json.h"

namespace velquor::tarvon {

// What the pattern engine needs from any language model.
class LanguageModel {
 public:
  virtual ~LanguageModel() = default;
  // The model's answer text to `prompt`.
  virtual std::string generate(const std::string& prompt) = 0;
};

class LanguageModelError : public Error {
 public:
  using Error::Error;
};

// Connection settings of a client. The defaults talk to the real service.
struct ClientOptions {
  // Service root without the final path ("https://api.anthropic.com"); ""
  // = the client's base-URL environment variable when set and non-empty,
  // else the real service.
  std::string base_url;
  // Whole-request limit, connection included.
  std::chrono::milliseconds timeout{30000};
};

// Client of the Anthropic messages service.
//  - key: ANTHROPIC_API_KEY (construction fails when unset or empty);
//  - base URL: ClientOptions::base_url, else ANTHROPIC_BASE_URL, else
//    "https://api.anthropic.com";
//  - model: a leading "anthropic/" is dropped and every "." becomes "-"
//    ("anthropic/claude-sonnet-4.5" -> "claude-sonnet-4-5");
//  - POST <base>/v1/messages with x-api-key, anthropic-version: 2023-06-01
//    and content-type: application/json, body chat_request_body(); the
//    answer is the `text` of the first element of `content`.
class AnthropicClient : public LanguageModel {
 public:
  explicit AnthropicClient(const std::string& model, ClientOptions options = {});

  std::string generate(const std::string& prompt) override;

  // The model name as sent to the service.
  const std::string& model() const { return model_; }
  // The full URL requests go to.
  const std::string& endpoint() const { return endpoint_; }

 private:
  std::string model_;
  std::string api_key_;
  std::string endpoint_;
  std::chrono::milliseconds timeout_;
};

// ---- Transport shared by the service clients ----

// No HTTP answer at all: a URL libcurl refuses, a refused connection, a
// timeout. The message is libcurl's reason, never the URL.
class TransportError : public Error {
 public:
  using Error::Error;
};

struct HttpAnswer {
  long status = 0;
  std::string body;
  std::string retry_after;  // the Retry-After header, "" when absent
};

// POSTs `body` to `url` with the given "Name: value" headers and returns the
// answer whatever its status. TransportError when no answer came; `secret`
// is blotted out of its message.
HttpAnswer http_post(const std::string& url, const std::vector<std::string>& headers,
                     const std::string& body, std::chrono::milliseconds timeout,
                     const std::string& secret);

// The text of environment variable `name`; LanguageModelError when it is
// unset or empty (the message names the variable, never a value).
std::string require_api_key(const char* name);

// `options.base_url`, else environment variable `env_name` when set and
// non-empty, else `fallback`; a final "/" is dropped.
std::string resolve_base_url(const ClientOptions& options, const char* env_name,
                             const std::string& fallback);

// {"model": model, "max_tokens": 300, "messages": [{"role": "user",
// "content": prompt}]}
Json chat_request_body(const std::string& model, const std::string& prompt);

// POSTs `body` (compact JSON) to `url` with the given "Name: value" headers
// and returns the parsed JSON answer of a 2xx response. Transport errors,
// timeouts, other statuses and answers that are not JSON raise
// LanguageModelError; `secret` is blotted out of every message.
Json post_json(const std::string& url, const std::vector<std::string>& headers,
               const Json& body, std::chrono::milliseconds timeout, const std::string& secret);

// The text at JSON pointer `pointer` ("/content/0/text") of a service's
// answer; LanguageModelError naming `service` and the pointer when it is
// absent or not a string.
std::string answer_text(const Json& answer, const std::string& pointer,
                        const std::string& service);

}  // namespace velquor::tarvon
