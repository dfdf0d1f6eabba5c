// The tables of the knowledge store on a server, laid out as the SQLite
// store lays them out. Texts compare byte by byte (collation "C"), as SQLite
// compares them; JSON members are kept as the text the store wrote.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

namespace velquor::lorvessa::server_schema {

// The four tables, each statement "IF NOT EXISTS". Besides the columns of
// the SQLite tables, patterns and knowledge have `row_order`, the order of
// insertion, with which ties are broken as SQLite breaks them (its rowid).
extern const char kTables[];

// The repo_count column that databases made before it existed lack.
extern const char kRepoCountMigration[];

// Every table with the columns it must have besides repo_count; a table of
// the same name without them belongs to another program.
const std::vector<std::pair<std::string_view, std::vector<std::string_view>>>& expected_columns();

// The columns of a record, in table order, for SELECT lists.
extern const char kPatternColumns[];
extern const char kKnowledgeColumns[];

}  // namespace velquor::lorvessa::server_schema
