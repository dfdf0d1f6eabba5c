// velquor patterns DIR: what stage 4 has learned about the project.

#include <iostream>

#include "cli/commands.h"
#include "cli/writer.h"
#include "shared/errors.h"
#include "shared/json.h"
#include "shared/numbers.h"
#include "velquor/lorvessa/lorvessa.h"

namespace velquor::cli {
namespace {

std::string text_of(const Json& record, const char* key) {
  const auto it = record.find(key);
  if (it == record.end() || it->is_null()) return "";
  return it->is_string() ? it->get<std::string>() : plain_text(*it);
}

std::string list_text(const Json& record, const char* key, const char* separator) {
  const auto it = record.find(key);
  if (it == record.end() || !it->is_array()) return "";
  std::string text;
  for (const auto& item : *it)
    text += (text.empty() ? "" : separator) + (item.is_string() ? item.get<std::string>()
                                                               : plain_text(item));
  return text;
}

// The description a person reads: the plain-language one when there is one.
std::string description_of(const Json& record) {
  std::string semantic = text_of(record, "description_semantic");
  return semantic.empty() ? text_of(record, "description_statistical") : semantic;
}

void print_record(const Json& record, const std::string& id, const std::string& counts) {
  std::cout << "  " << text_of(record, "fingerprint") << "  " << list_text(record, "sources", " + ")
            << ": " << list_text(record, "metrics", ", ") << "\n"
            << "      " << counts << "; " << id << "\n";
  const std::string description = description_of(record);
  if (!description.empty()) std::cout << "      " << description << "\n";
}

void print_lists(const std::vector<Json>& knowledge, const std::vector<Json>& patterns) {
  std::cout << "Learned knowledge (" << knowledge.size() << ")\n";
  for (const auto& record : knowledge)
    print_record(record, "knowledge " + text_of(record, "knowledge_id") + " from pattern " +
                             text_of(record, "derived_from"),
                 "seen " + text_of(record, "support_count") + " times, approved " +
                     text_of(record, "approval_method"));
  std::cout << "\nActive patterns (" << patterns.size() << ")\n";
  for (const auto& record : patterns)
    print_record(record, "pattern " + text_of(record, "pattern_id"),
                 text_of(record, "occurrence_count") + " occurrences, tier " +
                     text_of(record, "confidence_tier") + " (" +
                     text_of(record, "confidence_status") + ")");
  if (knowledge.empty() && patterns.empty())
    std::cout << "\nNothing learned yet: stage 4 needs more history.\n";
}

// A pattern id, the fingerprint of an active pattern, or a knowledge id
// (meaning the pattern it was promoted from).
std::optional<Json> find_pattern(const lorvessa::SQLiteLorvessa& store, const std::string& id) {
  if (auto pattern = store.get_pattern(id)) return pattern;
  if (auto pattern = store.get_pattern_by_fingerprint(id)) return pattern;
  if (auto knowledge = store.get_knowledge(id))
    return store.get_pattern(knowledge->value("derived_from", ""));
  return std::nullopt;
}

int show_history(const lorvessa::SQLiteLorvessa& store, const fs::path& db,
                 const std::string& id, bool json) {
  auto pattern = find_pattern(store, id);
  if (!pattern) throw ValueError(db.string() + ": no pattern, fingerprint or knowledge id '" + id + "'");
  const std::string pattern_id = text_of(*pattern, "pattern_id");
  const std::vector<Json> history = store.get_pattern_history(pattern_id);
  if (json) {
    Json out = Json::object();
    out["pattern"] = *pattern;
    out["history"] = Json(history);
    std::cout << dump_pretty(out) << "\n";
    return kExitOk;
  }
  std::cout << "History of pattern " << pattern_id << " (" << list_text(*pattern, "sources", " + ")
            << ": " << list_text(*pattern, "metrics", ", ") << ")\n";
  for (const auto& entry : history) {
    std::cout << "  " << text_of(entry, "timestamp") << "  " << text_of(entry, "action");
    const auto details = entry.find("details");
    if (details != entry.end() && !details->is_null()) std::cout << "  " << dump_compact(*details);
    std::cout << "\n";
  }
  return kExitOk;
}

int run_patterns(const Args& args) {
  const fs::path dir = existing_data_dir(args.positional(0));
  warn_if_interrupted(dir);
  const fs::path db = dir / "phase4" / "knowledge.db";
  const bool json = args.has("--json");
  // Opening the store would create an empty database; a directory that never
  // went through stage 4 is reported instead.
  if (!fs::exists(db))
    throw FileNotFound(db.string() + ": no knowledge base yet (run 'velquor learn' or 'velquor run')");
  lorvessa::SQLiteLorvessa store(db);
  if (auto id = args.value("--history")) return show_history(store, db, *id, json);
  const std::vector<Json> knowledge = store.list_knowledge();
  const std::vector<Json> patterns = store.list_patterns();
  if (json) {
    Json out = Json::object();
    out["knowledge"] = Json(knowledge);
    out["patterns"] = Json(patterns);
    std::cout << dump_pretty(out) << "\n";
  } else {
    print_lists(knowledge, patterns);
  }
  return kExitOk;
}

}  // namespace

const Command kPatternsCommand = {
    "patterns",
    {"DIR"},
    {{"--json", 0, "", "print the records as JSON"},
     {"--history", 0, "ID", "the audit history of one pattern (id, fingerprint or knowledge id)"}},
    "list the learned knowledge and active patterns",
    "Lists what DIR/phase4/knowledge.db holds: learned knowledge (patterns seen\n"
    "often enough to be trusted) and the active candidate patterns, each with\n"
    "its fingerprint, families, metrics, occurrences, tier and description.\n"
    "--history ID shows everything that happened to one pattern.",
    run_patterns,
};

}  // namespace velquor::cli
