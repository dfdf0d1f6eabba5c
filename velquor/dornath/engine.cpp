// Construction of the engine, its environment and its language-model client.

#include <cstdlib>
#include <mutex>

#include "shared/errors.h"
#include "velquor/dornath/dornath.h"
#include "velquor/dornath/event_scan.h"
#include "velquor/dotenv/dotenv.h"
#include "velquor/ulmeric/ulmeric.h"

namespace velquor::dornath {
namespace {

// The environment file is read once per process, before the first engine
// looks at the environment; an unreadable file only means no extra settings.
void load_environment_file_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    try {
      dotenv::load_dotenv();
    } catch (const std::exception&) {
    }
  });
}

std::optional<std::string> env_text(const char* name) {
  const char* value = std::getenv(name);
  if (!value) return std::nullopt;
  return std::string(value);
}

std::string lower_ascii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

bool language_model_enabled() {
  std::optional<std::string> flag = env_text("PHASE4B_ENABLED");
  if (!flag) flag = env_text("PHASE31_ENABLED");
  return flag && lower_ascii(*flag) == "true";
}

Json merge_params(const Json& overrides) {
  Json merged = DEFAULT_PARAMS;
  if (overrides.is_null()) return merged;
  if (!overrides.is_object())
    throw TypeError("params: expected a map, got " + json_kind(overrides));
  for (auto it = overrides.begin(); it != overrides.end(); ++it) merged[it.key()] = it.value();
  return merged;
}

}  // namespace

LanguageModelFactories default_language_models() {
  LanguageModelFactories factories;
  factories.anthropic = [](const std::string& model) -> std::unique_ptr<LanguageModel> {
    return std::make_unique<tarvon::AnthropicClient>(model);
  };
  factories.openrouter = [](const std::string& model) -> std::unique_ptr<LanguageModel> {
    return std::make_unique<ulmeric::OpenRouterClient>(model);
  };
  return factories;
}

Dornath::Dornath(const fs::path& vel_dir_arg, const Json& params_arg,
                 LanguageModelFactories language_models,
                 std::unique_ptr<lorvessa::LorvessaBase> store)
    : kb(std::move(store)), language_models_(std::move(language_models)) {
  load_environment_file_once();
  vel_dir = vel_dir_arg;
  phase2_path = vel_dir / "phase2";
  phase3_path = vel_dir / "phase3";
  output_path = vel_dir / "phase4";
  std::error_code ec;
  fs::create_directories(output_path, ec);
  if (ec) throw IoError(output_path.string() + ": cannot be created: " + ec.message());
  params = merge_params(params_arg);
  if (!kb) kb = std::make_unique<lorvessa::SQLiteLorvessa>(output_path / "knowledge.db");
  gate = std::make_unique<wendal::ValidationGate>();
  _llm_enabled = language_model_enabled();
  _llm_model = env_text("PHASE4B_MODEL").value_or("anthropic/claude-sonnet-4.5");
}

Dornath::~Dornath() = default;

void Dornath::close() {
  if (kb) kb->close();
}

LanguageModel* Dornath::_get_llm() {
  if (_llm) return _llm.get();
  if (!_llm_enabled) return nullptr;
  std::optional<std::string> key = env_text("ANTHROPIC_API_KEY");
  if (key && !key->empty() && language_models_.anthropic) {
    try {
      _llm = language_models_.anthropic(_llm_model);
      if (_llm) return _llm.get();
    } catch (const std::exception&) {
    }
  }
  if (language_models_.openrouter) {
    try {
      _llm = language_models_.openrouter(_llm_model);
    } catch (const std::exception&) {
      _llm_enabled = false;
    }
  }
  return _llm.get();
}

}  // namespace velquor::dornath
