// Delivering the chat digest where the team talks: an incoming webhook of a
// chat service.
//
// A message is the digest text wrapped in the body the service expects
// (webhook_body). post_message() sends it with libcurl and retries what is
// worth retrying:
//  - an answer 429 or 5xx is tried again, up to `retries` more times, after
//    a wait that doubles each time (1 s, 2 s, 4 s ...) or, when the service
//    sent Retry-After (seconds or an HTTP date), after the wait it asked for;
//    no single wait exceeds kLongestWait;
//  - any other non-2xx answer fails at once: asking again cannot help;
//  - no answer at all (bad URL, refused connection, timeout) fails at once,
//    because a service that timed out may still have posted the message and
//    a second try would post it twice.
// Every failure is a DeliveryError whose message shows the URL masked
// (masked_url): webhook URLs carry their credential in the path.
//
// VELQUOR_BACKOFF_SCALE (a factor, default 1) multiplies every wait, so that
// tests and impatient callers can shorten them.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/errors.h"
#include "shared/json.h"

namespace velquor::notify {

enum class Format {
  kSlack,       // {"text": TEXT}; also what most incoming webhooks take
  kTeams,       // a MessageCard with TEXT as its text
  kMattermost,  // {"text": TEXT, "username": "velquor"}
};

// The --format names, in the order help lists them: "slack", "teams",
// "mattermost".
const std::vector<std::string>& format_names();
// The format of a name; nullopt for an unknown one.
std::optional<Format> format_named(std::string_view name);

// The JSON body that posts `text` in `format`.
Json webhook_body(Format format, const std::string& text);

// "https://hooks.example.com/…": scheme and host only, so a message can say
// which service failed without showing the credential.
std::string masked_url(const std::string& url);

// Whether `url` is an http:// or https:// URL with a host.
bool is_web_url(std::string_view url);

class DeliveryError : public Error {
 public:
  using Error::Error;
};

inline constexpr std::chrono::seconds kLongestWait{60};

struct DeliveryOptions {
  std::chrono::milliseconds timeout{10000};  // per attempt, connection included
  int retries = 3;                           // further attempts after the first
};

struct Delivery {
  int attempts = 0;
  long status = 0;  // of the last answer
};

// Posts `body` to `url`; the delivery that succeeded, or DeliveryError.
Delivery post_message(const std::string& url, const Json& body, const DeliveryOptions& options);

// The wait before attempt `attempt` + 1 (attempt counts from 1) given the
// Retry-After header text ("" when absent), before scaling.
std::chrono::milliseconds retry_wait(int attempt, const std::string& retry_after);

}  // namespace velquor::notify
