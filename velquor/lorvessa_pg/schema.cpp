#include "velquor/lorvessa_pg/schema.h"

namespace velquor::lorvessa::server_schema {

const char kTables[] = R"sql(
CREATE TABLE IF NOT EXISTS patterns (
    pattern_id TEXT COLLATE "C" PRIMARY KEY,
    fingerprint TEXT COLLATE "C" NOT NULL,
    scope TEXT COLLATE "C" NOT NULL,
    discovery_method TEXT COLLATE "C" NOT NULL,
    pattern_type TEXT COLLATE "C" NOT NULL,
    sources TEXT COLLATE "C" NOT NULL,
    metrics TEXT COLLATE "C" NOT NULL,
    description_statistical TEXT COLLATE "C",
    description_semantic TEXT COLLATE "C",
    correlation_strength DOUBLE PRECISION,
    occurrence_count BIGINT DEFAULT 1,
    repo_count BIGINT DEFAULT 0,
    first_seen TEXT COLLATE "C" NOT NULL,
    last_seen TEXT COLLATE "C" NOT NULL,
    confidence_tier TEXT COLLATE "C" NOT NULL,
    confidence_status TEXT COLLATE "C" NOT NULL,
    expired BIGINT DEFAULT 0,
    created_at TEXT COLLATE "C" NOT NULL,
    updated_at TEXT COLLATE "C" NOT NULL,
    row_order BIGSERIAL
);

CREATE TABLE IF NOT EXISTS knowledge (
    knowledge_id TEXT COLLATE "C" PRIMARY KEY,
    derived_from TEXT COLLATE "C" REFERENCES patterns(pattern_id),
    fingerprint TEXT COLLATE "C" NOT NULL,
    scope TEXT COLLATE "C" NOT NULL,
    pattern_type TEXT COLLATE "C" NOT NULL,
    sources TEXT COLLATE "C" NOT NULL,
    metrics TEXT COLLATE "C" NOT NULL,
    description_statistical TEXT COLLATE "C" NOT NULL,
    description_semantic TEXT COLLATE "C",
    support_count BIGINT NOT NULL,
    first_seen TEXT COLLATE "C" NOT NULL,
    last_seen TEXT COLLATE "C" NOT NULL,
    approval_method TEXT COLLATE "C" NOT NULL,
    approval_timestamp TEXT COLLATE "C" NOT NULL,
    created_at TEXT COLLATE "C" NOT NULL,
    row_order BIGSERIAL
);

CREATE TABLE IF NOT EXISTS pattern_signals (
    pattern_id TEXT COLLATE "C" REFERENCES patterns(pattern_id),
    signal_ref TEXT COLLATE "C" NOT NULL,
    observed_at TEXT COLLATE "C" NOT NULL,
    PRIMARY KEY (pattern_id, signal_ref)
);

CREATE TABLE IF NOT EXISTS pattern_history (
    id BIGSERIAL PRIMARY KEY,
    pattern_id TEXT COLLATE "C" NOT NULL,
    action TEXT COLLATE "C" NOT NULL,
    details TEXT COLLATE "C",
    timestamp TEXT COLLATE "C" NOT NULL
);
)sql";

const char kRepoCountMigration[] =
    "ALTER TABLE patterns ADD COLUMN IF NOT EXISTS repo_count BIGINT DEFAULT 0";


const std::vector<std::pair<std::string_view, std::vector<std::string_view>>>& expected_columns() {
  static const std::vector<std::pair<std::string_view, std::vector<std::string_view>>> kTables = {
      {"patterns",
       {"pattern_id", "fingerprint", "scope", "discovery_method", "pattern_type", "sources",
        "metrics", "description_statistical", "description_semantic", "correlation_strength",
        "occurrence_count", "first_seen", "last_seen", "confidence_tier", "confidence_status",
        "expired", "created_at", "updated_at", "row_order"}},
      {"knowledge",
       {"knowledge_id", "derived_from", "fingerprint", "scope", "pattern_type", "sources",
        "metrics", "description_statistical", "description_semantic", "support_count",
        "first_seen", "last_seen", "approval_method", "approval_timestamp", "created_at",
        "row_order"}},
      {"pattern_signals", {"pattern_id", "signal_ref", "observed_at"}},
      {"pattern_history", {"id", "pattern_id", "action", "details", "timestamp"}}};
  return kTables;
}

const char kPatternColumns[] =
    "pattern_id, fingerprint, scope, discovery_method, pattern_type, sources, metrics, "
    "description_statistical, description_semantic, correlation_strength, occurrence_count, "
    "repo_count, first_seen, last_seen, confidence_tier, confidence_status, expired, "
    "created_at, updated_at";

const char kKnowledgeColumns[] =
    "knowledge_id, derived_from, fingerprint, scope, pattern_type, sources, metrics, "
    "description_statistical, description_semantic, support_count, first_seen, last_seen, "
    "approval_method, approval_timestamp, created_at";

}  // namespace velquor::lorvessa::server_schema
