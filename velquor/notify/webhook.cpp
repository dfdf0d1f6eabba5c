// The bodies chat services expect and the masked form of their URLs.

#include <algorithm>

#include "velquor/notify/notify.h"

namespace velquor::notify {
namespace {

constexpr std::string_view kSchemes[] = {"https://", "http://"};

// The length of the scheme `url` starts with, 0 for none.
size_t scheme_length(std::string_view url) {
  for (std::string_view scheme : kSchemes)
    if (url.substr(0, scheme.size()) == scheme) return scheme.size();
  return 0;
}

// Teams joins single line breaks into one paragraph; a blank line between
// the digest's lines keeps them apart.
std::string paragraphs(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '\n') out += '\n';
  }
  return out;
}

}  // namespace

const std::vector<std::string>& format_names() {
  static const std::vector<std::string> kNames = {"slack", "teams", "mattermost"};
  return kNames;
}

std::optional<Format> format_named(std::string_view name) {
  const auto& names = format_names();
  const auto it = std::find(names.begin(), names.end(), name);
  if (it == names.end()) return std::nullopt;
  return static_cast<Format>(it - names.begin());
}

Json webhook_body(Format format, const std::string& text) {
  switch (format) {
    case Format::kTeams:
      return Json{{"@type", "MessageCard"},
                  {"@context", "https://schema.org/extensions"},
                  {"summary", "velquor advisory"},
                  {"text", paragraphs(text)}};
    case Format::kMattermost:
      return Json{{"text", text}, {"username", "velquor"}};
    case Format::kSlack:
      break;
  }
  return Json{{"text", text}};
}

bool is_web_url(std::string_view url) {
  const size_t start = scheme_length(url);
  if (start == 0) return false;
  const size_t end = url.find_first_of("/?#", start);
  const std::string_view host = url.substr(start, end - start);
  return !host.empty() && host.find_first_of(" \t\r\n") == std::string_view::npos;
}

std::string masked_url(const std::string& url) {
  const size_t start = scheme_length(url);
  if (start == 0) return "<webhook URL>";
  const size_t end = url.find_first_of("/?#", start);
  // user:password@ before the host is a credential too.
  std::string host = url.substr(start, end - start);
  const size_t at = host.rfind('@');
  if (at != std::string::npos) host.erase(0, at + 1);
  return url.substr(0, start) + host + "/…";
}

}  // namespace velquor::notify
