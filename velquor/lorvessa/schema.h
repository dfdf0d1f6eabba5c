// The database layout of the knowledge store.
#pragma once

namespace velquor::lorvessa {

// Four tables, then their six indexes (the index statements read the same to
// every SQL database the store runs on). Every statement uses IF NOT EXISTS,
// so running the scripts on an existing database keeps its tables, indexes
// and rows.
extern const char kSchemaScript[];
extern const char kIndexScript[];

// Databases made before `repo_count` existed lack that column; the statement
// appends it (old rows read 0). On a current database SQLite refuses it with
// a message that begins with kDuplicateColumnMessage.
extern const char kRepoCountMigration[];
extern const char kDuplicateColumnMessage[];

}  // namespace velquor::lorvessa
