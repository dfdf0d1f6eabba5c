#include "cli/git_history.h"

#include <cstdio>
#include <ctime>

#include "shared/subprocess.h"
#include "shared/clock.h"
#include "shared/errors.h"

namespace velquor::cli {
namespace {

// One record per commit: \x1e opens it, then hash, author name, author time,
// commit time and message, each NUL-terminated; `--name-only -z` follows
// with the paths, NUL-terminated, the first one preceded by a line feed.
constexpr char kRecordMark = '\x1e';
constexpr const char* kFormat = "--format=%x1e%H%x00%an%x00%at%x00%ct%x00%B";
constexpr size_t kHeaderFields = 5;

bool is_hex(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// A record opener: the mark followed by a full SHA-1 or SHA-256 hash. No
// path or message token can look like this by accident in practice, and a
// message cannot hold a NUL, so the token stream is unambiguous.
bool is_record_start(std::string_view token) {
  return (token.size() == 41 || token.size() == 65) && token[0] == kRecordMark &&
         is_hex(token.substr(1));
}

size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf) return 2;
  if (lead >= 0xe0 && lead <= 0xef) return 3;
  if (lead >= 0xf0 && lead <= 0xf4) return 4;
  return 0;
}

bool valid_sequence(std::string_view text, size_t pos, size_t length) {
  if (pos + length > text.size()) return false;
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  for (size_t i = 1; i < length; ++i)
    if ((byte(i) & 0xc0) != 0x80) return false;
  unsigned char lead = byte(0);
  if (length == 3 && lead == 0xe0 && byte(1) < 0xa0) return false;  // overlong
  if (length == 3 && lead == 0xed && byte(1) > 0x9f) return false;  // surrogate
  if (length == 4 && lead == 0xf0 && byte(1) < 0x90) return false;  // overlong
  if (length == 4 && lead == 0xf4 && byte(1) > 0x8f) return false;  // above U+10FFFF
  return true;
}

std::string sanitize_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    size_t length = sequence_length(static_cast<unsigned char>(text[pos]));
    if (length != 0 && valid_sequence(text, pos, length)) {
      out.append(text.substr(pos, length));
      pos += length;
    } else {
      out += "\xef\xbf\xbd";
      ++pos;
    }
  }
  return out;
}

int64_t parse_unix_time(std::string_view text, const std::string& hash) {
  try {
    size_t used = 0;
    long long value = std::stoll(std::string(text), &used);
    if (used == text.size()) return value;
  } catch (const std::exception&) {
  }
  throw ValueError("git log: commit " + hash + ": bad time '" + std::string(text) + "'");
}

std::string trim_trailing_space(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r' ||
                           text.back() == '\t'))
    text.pop_back();
  return text;
}

std::vector<std::string_view> split_nul(std::string_view output) {
  std::vector<std::string_view> tokens;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\0', start);
    if (end == std::string_view::npos) end = output.size();
    tokens.push_back(output.substr(start, end - start));
    start = end + 1;
  }
  return tokens;
}

std::string first_line(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  return line.empty() ? "no message" : line;
}

std::string utc_text(int64_t unix_seconds) {
  return format_timestamp(TimePoint(std::chrono::seconds(unix_seconds)));
}

}  // namespace

std::vector<GitCommit> parse_git_log(std::string_view output) {
  std::vector<GitCommit> commits;
  std::vector<std::string_view> tokens = split_nul(output);
  size_t i = 0;
  while (i < tokens.size()) {
    if (!is_record_start(tokens[i])) {
      if (!tokens[i].empty() && tokens[i] != "\n")
        throw ValueError("git log: unexpected output near '" + sanitize_utf8(tokens[i]) + "'");
      ++i;
      continue;
    }
    if (i + kHeaderFields > tokens.size())
      throw ValueError("git log: output ends inside the record of " +
                       std::string(tokens[i].substr(1)));
    GitCommit commit;
    commit.hash = std::string(tokens[i].substr(1));
    commit.author = sanitize_utf8(tokens[i + 1]);
    commit.authored_unix = parse_unix_time(tokens[i + 2], commit.hash);
    commit.committed_unix = parse_unix_time(tokens[i + 3], commit.hash);
    commit.message = trim_trailing_space(sanitize_utf8(tokens[i + 4]));
    i += kHeaderFields;
    // git separates the path list from the message by one line feed, glued
    // to the first path.
    for (bool first = true; i < tokens.size() && !is_record_start(tokens[i]); ++i, first = false) {
      std::string_view path = tokens[i];
      if (first && !path.empty() && path.front() == '\n') path.remove_prefix(1);
      if (!path.empty()) commit.files.push_back(sanitize_utf8(path));
    }
    commits.push_back(std::move(commit));
  }
  return commits;
}

std::vector<GitCommit> read_git_history(const std::filesystem::path& repo,
                                        std::optional<int64_t> max_commits) {
  std::error_code ec;
  if (!std::filesystem::is_directory(repo, ec))
    throw FileNotFound(repo.string() + ": no such directory");
  // Settings that would change the text of paths or add output are pinned;
  // renames are reported as a deletion and an addition so that both paths
  // count as touched.
  std::vector<std::string> argv = {
      "git", "-C", repo.string(), "-c", "core.quotepath=false", "-c", "log.showSignature=false",
      "log", "-z", "--reverse", "--topo-order", "--no-renames", "--name-only", "--no-color",
      "--no-ext-diff", "--no-textconv", "--encoding=UTF-8", kFormat};
  if (max_commits) argv.push_back("--max-count=" + std::to_string(*max_commits));
  argv.push_back("HEAD");
  argv.push_back("--");
  ProcessOutput result = run_program(argv);
  if (result.exit_status != 0)
    throw IoError(repo.string() + ": git log failed: " + first_line(result.err));
  return parse_git_log(result.out);
}

Json git_commit_event(const GitCommit& commit) {
  const std::string committed_at = utc_text(commit.committed_unix);
  Json files = Json::array();
  for (const auto& path : commit.files) files.push_back(path);
  Json payload = Json::object();
  payload["commit_hash"] = commit.hash;
  payload["message"] = commit.message;
  payload["author"] = commit.author;
  payload["committed_at"] = committed_at;
  payload["authored_at"] = utc_text(commit.authored_unix);
  payload["files"] = std::move(files);
  Json event = Json::object();
  event["event_id"] = "git-" + commit.hash;
  event["source_family"] = "version_control";
  event["source_type"] = "git";
  event["observed_at"] = committed_at;
  event["payload"] = std::move(payload);
  event["attestation"] = Json{{"commit_hash", commit.hash}};
  return event;
}

std::string git_event_file_name(const GitCommit& commit, int ordinal) {
  std::time_t seconds = static_cast<std::time_t>(commit.committed_unix);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  char ordinal_text[16];
  std::snprintf(ordinal_text, sizeof ordinal_text, "%04d", ordinal);
  return std::string("git-") + stamp + "-" + ordinal_text + "-" + commit.hash + ".json";
}

std::string hash_of_git_event_file(const std::string& file_name) {
  const std::string suffix = ".json";
  if (file_name.rfind("git-", 0) != 0 || file_name.size() <= suffix.size() ||
      file_name.compare(file_name.size() - suffix.size(), suffix.size(), suffix) != 0)
    return "";
  std::string stem = file_name.substr(0, file_name.size() - suffix.size());
  std::string hash = stem.substr(stem.rfind('-') + 1);
  return is_hex(hash) && (hash.size() == 40 || hash.size() == 64) ? hash : "";
}

}  // namespace velquor::cli
