#include "cli/store_choice.h"

#include <cstdlib>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "velquor/lorvessa_pg/lorvessa_pg.h"

namespace velquor::cli {

OptionSpec store_option() {
  return {"--store", 0, "URL",
          "the knowledge store: a postgresql:// URL or a SQLite file (default "
          "DIR/phase4/knowledge.db; also VELQUOR_STORE)"};
}

std::optional<std::string> chosen_store(const Args& args) {
  if (auto store = args.value("--store")) {
    if (store->empty()) throw UsageError("--store needs a URL or a file path");
    return store;
  }
  const char* variable = std::getenv("VELQUOR_STORE");
  if (variable != nullptr && *variable != '\0') return std::string(variable);
  return std::nullopt;
}

std::string repository_scope(const fs::path& dir) {
  const fs::path file = dir / "scope";
  if (fs::is_regular_file(file)) {
    const std::string text = read_file(file);
    const std::string line = text.substr(0, text.find_first_of("\r\n"));
    if (line.empty()) throw ValueError(file.string() + ": the first line names no scope");
    return line;
  }
  fs::path path = fs::absolute(dir).lexically_normal();  // "repo/" and "." too
  if (path.filename().empty()) path = path.parent_path();
  return path.filename().string();
}

std::unique_ptr<lorvessa::LorvessaBase> open_repository_store(const std::string& store,
                                                              const fs::path& dir) {
  return std::make_unique<lorvessa::RepositoryStore>(lorvessa::open_store(store),
                                                     repository_scope(dir));
}

}  // namespace velquor::cli
