// The database layout of the knowledge store.
#pragma once

namespace velquor::lorvessa {

// Four tables and six indexes. Every statement uses IF NOT EXISTS, so running
// the script on an existing database keeps its tables, indexes and rows.
extern const char kSchemaScript[];

// Databases made before `repo_count` existed lack that column; the statement
// appends it (old rows read 0). On a current database SQLite refuses it with
// a message that begins with kDuplicateColumnMessage.
extern const char kRepoCountMigration[];
extern const char kDuplicateColumnMessage[];

}  // namespace velquor::lorvessa
