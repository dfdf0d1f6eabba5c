#include "velquor/lorvessa/schema.h"

namespace velquor::lorvessa {

const char kSchemaScript[] = R"sql(
CREATE TABLE IF NOT EXISTS patterns (
    pattern_id TEXT PRIMARY KEY,
    fingerprint TEXT NOT NULL,
    scope TEXT NOT NULL,
    discovery_method TEXT NOT NULL,
    pattern_type TEXT NOT NULL,
    sources JSON NOT NULL,
    metrics JSON NOT NULL,
    description_statistical TEXT,
    description_semantic TEXT,
    correlation_strength REAL,
    occurrence_count INTEGER DEFAULT 1,
    repo_count INTEGER DEFAULT 0,
    first_seen TEXT NOT NULL,
    last_seen TEXT NOT NULL,
    confidence_tier TEXT NOT NULL,
    confidence_status TEXT NOT NULL,
    expired INTEGER DEFAULT 0,
    created_at TEXT NOT NULL,
    updated_at TEXT NOT NULL
);

CREATE TABLE IF NOT EXISTS knowledge (
    knowledge_id TEXT PRIMARY KEY,
    derived_from TEXT REFERENCES patterns(pattern_id),
    fingerprint TEXT NOT NULL,
    scope TEXT NOT NULL,
    pattern_type TEXT NOT NULL,
    sources JSON NOT NULL,
    metrics JSON NOT NULL,
    description_statistical TEXT NOT NULL,
    description_semantic TEXT,
    support_count INTEGER NOT NULL,
    first_seen TEXT NOT NULL,
    last_seen TEXT NOT NULL,
    approval_method TEXT NOT NULL,
    approval_timestamp TEXT NOT NULL,
    created_at TEXT NOT NULL
);

CREATE TABLE IF NOT EXISTS pattern_signals (
    pattern_id TEXT REFERENCES patterns(pattern_id),
    signal_ref TEXT NOT NULL,
    observed_at TEXT NOT NULL,
    PRIMARY KEY (pattern_id, signal_ref)
);

CREATE TABLE IF NOT EXISTS pattern_history (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    pattern_id TEXT NOT NULL,
    action TEXT NOT NULL,
    details JSON,
    timestamp TEXT NOT NULL
);

)sql";

const char kIndexScript[] = R"sql(
CREATE INDEX IF NOT EXISTS idx_patterns_fingerprint ON patterns(fingerprint);
CREATE INDEX IF NOT EXISTS idx_patterns_scope ON patterns(scope);
CREATE INDEX IF NOT EXISTS idx_patterns_expired ON patterns(expired);
CREATE INDEX IF NOT EXISTS idx_knowledge_fingerprint ON knowledge(fingerprint);
CREATE INDEX IF NOT EXISTS idx_knowledge_scope ON knowledge(scope);
CREATE INDEX IF NOT EXISTS idx_pattern_history_pattern ON pattern_history(pattern_id);
)sql";

const char kRepoCountMigration[] =
    "ALTER TABLE patterns ADD COLUMN repo_count INTEGER DEFAULT 0";

const char kDuplicateColumnMessage[] = "duplicate column name";

}  // namespace velquor::lorvessa
