// velquor notify DIR: post the advisory's chat digest to a chat webhook.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>

#include "cli/commands.h"
#include "cli/stages.h"
#include "shared/file_io.h"
#include "velquor/notify/notify.h"

namespace velquor::cli {
namespace {

constexpr const char* kUrlVariable = "VELQUOR_WEBHOOK_URL";

// The webhook URL from --webhook or the environment. Its text never appears
// in a message: it holds the credential.
std::string webhook_url(const Args& args) {
  const char* from_env = std::getenv(kUrlVariable);
  const auto given = args.value("--webhook");
  const std::string source = given ? "--webhook" : kUrlVariable;
  const std::string url = given ? *given : from_env != nullptr ? from_env : "";
  if (url.empty())
    throw UsageError(std::string("no webhook: give --webhook URL or set ") + kUrlVariable);
  if (!notify::is_web_url(url))
    throw UsageError(source + " needs an http:// or https:// URL with a host");
  return url;
}

notify::Format webhook_format(const Args& args) {
  const std::string name = args.value("--format").value_or("slack");
  if (auto format = notify::format_named(name)) return *format;
  std::string valid;
  for (const auto& known : notify::format_names()) valid += (valid.empty() ? "" : ", ") + known;
  throw UsageError("--format takes " + valid + ", got '" + name + "'");
}

// The all-clear advisory writes no chat digest, so a chat.txt beside it is
// an older run's; its one-line summary is posted instead.
fs::path message_file(const fs::path& phase5, const Json& advisory) {
  const auto changes = advisory.find("changes");
  const bool all_clear = changes != advisory.end() && changes->is_array() && changes->empty();
  return phase5 / (all_clear ? "summary.txt" : "chat.txt");
}

// Stage 5 writes nothing when a run finds nothing significant, so phase5/
// can hold an older run's advisory. Signals written after it tell.
bool outdated_by_signals(const fs::path& dir, const fs::path& advisory_path) {
  std::error_code ec;
  const auto written = fs::last_write_time(advisory_path, ec);
  if (ec || !fs::is_directory(dir / "phase2", ec)) return false;
  for (const auto& file : list_json_files(dir / "phase2"))
    if (fs::last_write_time(file, ec) > written && !ec) return true;
  return false;
}

// Why nothing should be posted, "" when the digest is due.
std::string reason_to_stay_quiet(const fs::path& dir, const fs::path& advisory_path,
                                 const Json& advisory, const std::string& gate) {
  if (outdated_by_signals(dir, advisory_path))
    return " is older than the signals in " + (dir / "phase2").string() +
           " (the last run found nothing significant)";
  if (!gate.empty() && !advisory_reaches(Json{{"advisory", advisory}}, gate))
    return " holds no change at or above " + gate;
  return "";
}

int run_notify(const Args& args) {
  const notify::Format format = webhook_format(args);
  const std::string gate = risk_level_option(args, "--only-if");
  notify::DeliveryOptions options;
  options.timeout = std::chrono::seconds(args.integer("--timeout", 10, 1));
  options.retries = static_cast<int>(std::min<int64_t>(args.integer("--retries", 3, 0), 10));
  const bool print_only = args.has("--print");
  const std::string url = print_only ? "" : webhook_url(args);
  const fs::path dir = existing_data_dir(args.positional(0));
  const fs::path phase5 = dir / "phase5";

  const fs::path advisory_path = phase5 / "advisory.json";
  const Json advisory = read_json_file(advisory_path);
  const std::string skipped = reason_to_stay_quiet(dir, advisory_path, advisory, gate);
  if (!skipped.empty()) {
    if (!args.has("--quiet")) std::cout << "not posted: " << advisory_path.string() << skipped << "\n";
    return kExitOk;
  }
  const fs::path message = message_file(phase5, advisory);
  const Json body = notify::webhook_body(format, read_file(message));
  if (print_only) {
    std::cout << dump_pretty(body) << "\n";
    return kExitOk;
  }
  const notify::Delivery delivery = notify::post_message(url, body, options);
  if (!args.has("--quiet"))
    std::cout << "posted " << message.string() << " to " << notify::masked_url(url) << " (HTTP "
              << delivery.status << ", " << delivery.attempts
              << (delivery.attempts == 1 ? " attempt" : " attempts") << ")\n";
  return kExitOk;
}

}  // namespace

const Command kNotifyCommand = {
    "notify",
    {"DIR"},
    {{"--webhook", 0, "URL", "the incoming webhook (default: $VELQUOR_WEBHOOK_URL)"},
     {"--format", 0, "NAME", "slack (default; {\"text\": ...}), teams or mattermost"},
     {"--only-if", 0, "LEVEL", "post only when a change reaches LEVEL (NOTABLE ... CRITICAL)"},
     {"--timeout", 0, "SECONDS", "give up on an attempt after SECONDS (default 10)"},
     {"--retries", 0, "N", "retry a 429 or 5xx answer up to N times (default 3, at most 10)"},
     {"--print", 0, "", "print the message body instead of posting it"},
     {"--quiet", 'q', "", "say nothing on success"}},
    "post the advisory's chat digest to a chat webhook",
    "Posts DIR/phase5/chat.txt, the digest stage 5 writes, to a chat service's\n"
    "incoming webhook; after an all-clear advisory the one-line summary.txt is\n"
    "posted instead, and nothing when DIR/phase2 holds signals newer than the\n"
    "advisory (a run that finds nothing significant writes no advisory, so the\n"
    "one there is an older run's). The URL comes from --webhook or\n"
    "VELQUOR_WEBHOOK_URL and is never shown: messages name only its scheme and\n"
    "host.\n"
    "\n"
    "Answers 429 and 5xx are retried with waits of 1, 2, 4 ... seconds, or as\n"
    "long as the service's Retry-After asks (at most 60 s each);\n"
    "VELQUOR_BACKOFF_SCALE multiplies the waits. Other answers and timeouts are\n"
    "not retried. Exits 1 with one line on stderr when the message was not\n"
    "delivered. With --only-if LEVEL nothing is posted unless the advisory holds\n"
    "an unaccepted change at or above LEVEL, so a nightly job stays quiet on\n"
    "calm days.",
    run_notify,
};

}  // namespace velquor::cli
