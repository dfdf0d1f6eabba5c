// HTTPS transport of the language-model clients and the chat notifier, over
// libcurl.

#include <curl/curl.h>

#include <cstdlib>
#include <memory>
#include <mutex>

#include "velquor/tarvon/tarvon.h"

namespace velquor::tarvon {

namespace {

// libcurl's global set-up is not thread-safe; do it once, before any handle.
void init_curl_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// `text` with every occurrence of `secret` replaced, so that a service that
// echoes the key in an error answer cannot leak it into our messages.
std::string blot_out(std::string text, const std::string& secret) {
  if (secret.empty()) return text;
  for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at))
    text.replace(at, secret.size(), "***");
  return text;
}

size_t append_to_string(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct HeaderListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

std::string header_value(CURL* handle, const char* name) {
  curl_header* header = nullptr;
  if (curl_easy_header(handle, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK) return "";
  return header->value;
}

}  // namespace

HttpAnswer http_post(const std::string& url, const std::vector<std::string>& headers,
                     const std::string& body, std::chrono::milliseconds timeout,
                     const std::string& secret) {
  init_curl_once();
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) throw TransportError("cannot create an HTTP handle");
  std::unique_ptr<curl_slist, HeaderListDeleter> header_list;
  // "Expect:" stops libcurl from asking for 100-continue on longer prompts,
  // which costs a round trip (or a second) for nothing.
  std::vector<std::string> all_headers = headers;
  all_headers.push_back("Expect:");
  for (const std::string& header : all_headers) {
    curl_slist* extended = curl_slist_append(header_list.get(), header.c_str());
    if (extended == nullptr) throw TransportError("cannot build the request headers");
    header_list.release();
    header_list.reset(extended);
  }
  HttpAnswer response;
  char error[CURL_ERROR_SIZE] = "";
  CURL* handle = curl.get();
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, header_list.get());
  curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, append_to_string);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response.body);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
  const CURLcode code = curl_easy_perform(handle);
  if (code != CURLE_OK) {
    const std::string reason = error[0] != '\0' ? error : curl_easy_strerror(code);
    throw TransportError(blot_out(reason, secret));
  }
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response.status);
  response.retry_after = header_value(handle, "Retry-After");
  return response;
}

std::string require_api_key(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0')
    throw LanguageModelError(std::string(name) + " is not set");
  return value;
}

std::string resolve_base_url(const ClientOptions& options, const char* env_name,
                             const std::string& fallback) {
  std::string base = options.base_url;
  if (base.empty()) {
    const char* from_env = std::getenv(env_name);
    base = from_env != nullptr && *from_env != '\0' ? from_env : fallback;
  }
  if (!base.empty() && base.back() == '/') base.pop_back();
  return base;
}

Json chat_request_body(const std::string& model, const std::string& prompt) {
  return Json{{"model", model},
              {"max_tokens", 300},
              {"messages", Json::array({Json{{"role", "user"}, {"content", prompt}}})}};
}

Json post_json(const std::string& url, const std::vector<std::string>& headers,
               const Json& body, std::chrono::milliseconds timeout, const std::string& secret) {
  HttpAnswer response;
  try {
    response = http_post(url, headers, dump_compact(body), timeout, secret);
  } catch (const TransportError& e) {
    throw LanguageModelError(blot_out("POST " + url + " failed: " + e.what(), secret));
  }
  if (response.status < 200 || response.status > 299) {
    constexpr size_t kExcerpt = 300;
    throw LanguageModelError(blot_out("POST " + url + " answered HTTP " +
                                          std::to_string(response.status) + ": " +
                                          response.body.substr(0, kExcerpt),
                                      secret));
  }
  try {
    return parse_json(response.body, "answer of " + url);
  } catch (const Error& e) {
    throw LanguageModelError(blot_out(e.what(), secret));
  }
}

std::string answer_text(const Json& answer, const std::string& pointer,
                        const std::string& service) {
  const Json* value = nullptr;
  try {
    const Json::json_pointer path(pointer);
    if (answer.contains(path)) value = &answer.at(path);
  } catch (const nlohmann::json::exception&) {
    value = nullptr;  // a step into a value of the wrong kind
  }
  if (value == nullptr || !value->is_string())
    throw LanguageModelError(service + " answer has no text at " + pointer);
  return value->get<std::string>();
}

}  // namespace velquor::tarvon
