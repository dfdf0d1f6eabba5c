// Posting a message with bounded retries.

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "shared/clock.h"
#include "velquor/notify/notify.h"
#include "velquor/tarvon/tarvon.h"

namespace velquor::notify {
namespace {

bool worth_retrying(long status) { return status == 429 || (status >= 500 && status <= 599); }

// VELQUOR_BACKOFF_SCALE when it is a number >= 0, else 1.
double backoff_scale() {
  const char* text = std::getenv("VELQUOR_BACKOFF_SCALE");
  if (text == nullptr || *text == '\0') return 1.0;
  char* end = nullptr;
  const double scale = std::strtod(text, &end);
  return *end == '\0' && scale >= 0 ? scale : 1.0;
}

// Retry-After as seconds ("120") or an HTTP date; nullopt when neither.
std::optional<std::chrono::milliseconds> asked_wait(const std::string& retry_after) {
  if (retry_after.empty()) return std::nullopt;
  if (std::all_of(retry_after.begin(), retry_after.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::chrono::seconds(std::stoll(retry_after.substr(0, 9)));
  const time_t when = curl_getdate(retry_after.c_str(), nullptr);
  if (when < 0) return std::nullopt;
  const auto until = std::chrono::system_clock::from_time_t(when) - now();
  return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(until),
                  std::chrono::milliseconds(0));
}

std::string answer_excerpt(const std::string& body) {
  constexpr size_t kExcerpt = 200;
  std::string text = body.substr(0, kExcerpt);
  std::replace_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  return text.empty() ? "" : ": " + text;
}

}  // namespace

std::chrono::milliseconds retry_wait(int attempt, const std::string& retry_after) {
  const auto doubling = std::chrono::milliseconds(1000LL << std::min(attempt - 1, 6));
  const auto wanted = asked_wait(retry_after).value_or(doubling);
  return std::min<std::chrono::milliseconds>(wanted, kLongestWait);
}

Delivery post_message(const std::string& url, const Json& body, const DeliveryOptions& options) {
  const std::string where = "webhook " + masked_url(url);
  const std::string text = dump_compact(body);
  const double scale = backoff_scale();
  Delivery delivery;
  for (;;) {
    ++delivery.attempts;
    tarvon::HttpAnswer answer;
    try {
      answer = tarvon::http_post(url, {"Content-Type: application/json"}, text, options.timeout, url);
    } catch (const tarvon::TransportError& e) {
      throw DeliveryError(where + ": not delivered: " + e.what());
    }
    delivery.status = answer.status;
    if (answer.status >= 200 && answer.status <= 299) return delivery;
    if (!worth_retrying(answer.status) || delivery.attempts > options.retries)
      throw DeliveryError(where + ": not delivered: HTTP " + std::to_string(answer.status) +
                          answer_excerpt(answer.body) + " (after " +
                          std::to_string(delivery.attempts) + " attempt" +
                          (delivery.attempts == 1 ? "" : "s") + ")");
    std::this_thread::sleep_for(retry_wait(delivery.attempts, answer.retry_after) * scale);
  }
}

}  // namespace velquor::notify
