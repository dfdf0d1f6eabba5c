// The knowledge store a command works on: DIR/phase4/knowledge.db, unless
// --store (or the VELQUOR_STORE variable) names another one, a
// postgresql:// URL or the path of a SQLite file, which several
// repositories may share. In a shared store each data directory learns and
// reads under its own repository scope.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "cli/cli.h"
#include "velquor/lorvessa/lorvessa.h"

namespace velquor::cli {

OptionSpec store_option();

// --store, else VELQUOR_STORE when set and not empty; nullopt for the
// default store of each data directory.
std::optional<std::string> chosen_store(const Args& args);

// The scope of a data directory in a shared store: the first line of
// DIR/scope when that file exists, else the directory's name.
std::string repository_scope(const fs::path& dir);

// The store `store` names, seen as the repository of `dir`.
std::unique_ptr<lorvessa::LorvessaBase> open_repository_store(const std::string& store,
                                                              const fs::path& dir);

}  // namespace velquor::cli
