#include "velquor/lorvessa/arguments.h"
#include "velquor/lorvessa_pg/lorvessa_pg.h"

namespace velquor::lorvessa {

bool is_server_url(const std::string& text) {
  return text.starts_with("postgresql://") || text.starts_with("postgres://");
}

std::unique_ptr<LorvessaBase> open_store(const std::string& url_or_path) {
  if (is_server_url(url_or_path)) return std::make_unique<PostgresLorvessa>(url_or_path);
  return std::make_unique<SQLiteLorvessa>(url_or_path);
}

RepositoryStore::RepositoryStore(std::unique_ptr<LorvessaBase> store, std::string name)
    : repository(std::move(name)), _store(std::move(store)) {}

Json RepositoryStore::_scope(const Json& scope) const {
  if (scope.is_null() || scope == "" || scope == "local") return repository;
  return scope;
}

Json RepositoryStore::_in_repository(const Json& record) const {
  if (!record.is_object()) return record;  // the store reports the wrong kind
  Json resolved = record;
  resolved["scope"] = _scope(member_or(record, "scope", nullptr));
  return resolved;
}

std::string RepositoryStore::create_pattern(const Json& pattern) {
  const Json own = _in_repository(pattern);
  const std::string id = _store->create_pattern(own);
  if (own["scope"] != repository) return id;
  Json shared = Json::object();
  for (const char* key : {"fingerprint", "discovery_method", "pattern_type", "sources", "metrics",
                          "description_statistical", "correlation_strength", "first_seen"})
    if (own.contains(key)) shared[key] = own[key];
  shared["scope"] = kCommunityScope;
  _store->count_repository(_store->create_pattern(shared), repository);
  return id;
}

std::optional<Json> RepositoryStore::get_pattern(const Json& pattern_id) const {
  return _store->get_pattern(pattern_id);
}

std::optional<Json> RepositoryStore::get_pattern_by_fingerprint(const Json& fingerprint,
                                                                const Json& scope) const {
  return _store->get_pattern_by_fingerprint(fingerprint, _scope(scope));
}

void RepositoryStore::update_pattern(const Json& pattern_id, const Json& updates) {
  _store->update_pattern(pattern_id, updates);
}

void RepositoryStore::increment_pattern(const Json& pattern_id, const Json& signal_refs,
                                        const Json& observed_at) {
  _store->increment_pattern(pattern_id, signal_refs, observed_at);
}

std::vector<Json> RepositoryStore::list_patterns(const Json& scope, const Json& confidence_tier,
                                                 const Json& min_occurrences) const {
  return _store->list_patterns(_scope(scope), confidence_tier, min_occurrences);
}

std::string RepositoryStore::create_knowledge(const Json& knowledge) {
  return _store->create_knowledge(_in_repository(knowledge));
}

std::optional<Json> RepositoryStore::get_knowledge(const Json& knowledge_id) const {
  return _store->get_knowledge(knowledge_id);
}

std::optional<Json> RepositoryStore::get_knowledge_by_fingerprint(const Json& fingerprint,
                                                                  const Json& scope) const {
  return _store->get_knowledge_by_fingerprint(fingerprint, _scope(scope));
}

std::vector<Json> RepositoryStore::list_knowledge(const Json& scope) const {
  return _store->list_knowledge(_scope(scope));
}

std::vector<Json> RepositoryStore::get_pattern_signals(const Json& pattern_id) const {
  return _store->get_pattern_signals(pattern_id);
}

std::vector<Json> RepositoryStore::get_pattern_history(const Json& pattern_id) const {
  return _store->get_pattern_history(pattern_id);
}

std::vector<Json> RepositoryStore::get_decayed_patterns(const Json& decay_window_days) const {
  // Other repositories' patterns and the community's decay on their own terms.
  std::vector<Json> own;
  for (Json& pattern : _store->get_decayed_patterns(decay_window_days))
    if (pattern["scope"] == repository) own.push_back(std::move(pattern));
  return own;
}

void RepositoryStore::expire_pattern(const Json& pattern_id) { _store->expire_pattern(pattern_id); }

bool RepositoryStore::count_repository(const Json& pattern_id, const Json& name) {
  return _store->count_repository(pattern_id, name);
}

void RepositoryStore::close() { _store->close(); }

void RepositoryStore::begin_transaction() { _store->begin_transaction(); }

void RepositoryStore::commit_transaction() { _store->commit_transaction(); }

void RepositoryStore::rollback_transaction() { _store->rollback_transaction(); }

}  // namespace velquor::lorvessa
