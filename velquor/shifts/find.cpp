// The shifts of a data directory: every family's series through the
// detector, each change point tied to the event, commit and time where its
// new level begins.

#include <algorithm>
#include <functional>
#include <future>
#include <unordered_map>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/json_access.h"
#include "velquor/brevalt/brevalt.h"
#include "velquor/shifts/shifts.h"

namespace velquor::shifts {
namespace {

// FNV-1a of "family/metric": each series has its own fixed permutations, so
// a result never depends on which other series were read.
uint64_t series_seed(const MetricSeries& series) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (std::string_view part : {std::string_view(series.family), std::string_view("/"),
                                std::string_view(series.metric)})
    for (unsigned char c : part) hash = (hash ^ c) * 0x100000001b3ull;
  return hash;
}

const std::string* text_member(const Json& object, std::initializer_list<const char*> path) {
  const Json* at = &object;
  for (const char* key : path) {
    if (!at->is_object()) return nullptr;
    auto it = at->find(key);
    if (it == at->end()) return nullptr;
    at = &*it;
  }
  return at->is_string() ? &at->get_ref<const std::string&>() : nullptr;
}

// Finds the event files of the shifts' start events. An event is usually
// stored under its own id; the git collector adds a time stamp and ordinal
// in front of the commit hash, so names holding the id's part after its
// family prefix are tried next, and only then every file.
class EventFinder {
 public:
  explicit EventFinder(const fs::path& vel_dir) : dir_(vel_dir / "events") {}

  void fill(Shift& shift) {
    const std::string& id = shift.start_event;
    if (id.empty()) return;
    if (try_file(dir_ / (id + ".json"), shift)) return;
    const size_t dash = id.find('-');
    const std::string tail = dash == std::string::npos ? id : id.substr(dash + 1);
    for (const fs::path& file : files())
      if (file.filename().string().find(tail) != std::string::npos && try_file(file, shift)) return;
    const auto& ids = index();
    if (auto found = ids.find(id); found != ids.end()) try_file(found->second, shift);
  }

 private:
  const std::vector<fs::path>& files() {
    if (!listed_) files_ = list_json_files(dir_), listed_ = true;
    return files_;
  }

  // Event id -> file, over every event file; read once, and only when an
  // event is stored under an unexpected name.
  const std::unordered_map<std::string, fs::path>& index() {
    if (!indexed_) {
      for (const fs::path& file : files()) {
        const Json event = read_event(file);  // the id points into it
        if (const std::string* id = text_member(event, {"event_id"})) index_.try_emplace(*id, file);
      }
      indexed_ = true;
    }
    return index_;
  }

  static Json read_event(const fs::path& file) {
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) return nullptr;
    try {
      return read_json_file(file);
    } catch (const Error&) {
      return nullptr;  // stage 2 has judged the events; a bad file is simply not the one sought
    }
  }

  bool try_file(const fs::path& file, Shift& shift) {
    const Json event = read_event(file);
    const std::string* id = text_member(event, {"event_id"});
    if (id == nullptr || *id != shift.start_event) return false;
    const std::string* commit = text_member(event, {"payload", "commit_hash"});
    if (commit == nullptr) commit = text_member(event, {"payload", "trigger", "commit_sha"});
    const std::string* time = text_member(event, {"observed_at"});
    shift.start_commit = commit ? *commit : "";
    shift.start_time = time ? *time : "";
    return true;
  }

  fs::path dir_;
  std::vector<fs::path> files_;
  bool listed_ = false;
  std::unordered_map<std::string, fs::path> index_;
  bool indexed_ = false;
};

size_t family_rank(const std::string& family) {
  size_t rank = 0;
  for (const brevalt::Family& known : brevalt::families()) {
    if (family == known.name) return rank;
    ++rank;
  }
  return rank;
}

bool newer(const Shift& a, const Shift& b) {
  if (a.start_time != b.start_time) return a.start_time > b.start_time;
  if (a.family != b.family) return family_rank(a.family) < family_rank(b.family);
  if (a.metric != b.metric) return a.metric < b.metric;
  return a.change.index > b.change.index;
}

std::vector<Shift> family_shifts(const fs::path& vel_dir, const brevalt::Family& family,
                                 const ShiftSettings& settings) {
  std::vector<Shift> shifts;
  for (const MetricSeries& series : read_signal_series(vel_dir / "phase2" / family.signal_file, family.name))
    for (const ChangePoint& point : detect_change_points(series.values, settings, series_seed(series)))
      shifts.push_back({series.family, series.metric, series.event_refs[point.index], "", "", point});
  return shifts;
}

}  // namespace

std::vector<Shift> find_shifts(const fs::path& vel_dir, const ShiftSettings& settings) {
  // Families are independent, so each is read and searched on its own
  // thread; the seeds keep the answer the same whatever finishes first.
  std::vector<std::future<std::vector<Shift>>> work;
  for (const brevalt::Family& family : brevalt::families())
    work.push_back(std::async(std::launch::async, family_shifts, std::cref(vel_dir), std::cref(family),
                              std::cref(settings)));
  std::vector<Shift> shifts;
  for (auto& family : work)
    for (Shift& shift : family.get()) shifts.push_back(std::move(shift));
  EventFinder events(vel_dir);
  for (Shift& shift : shifts) events.fill(shift);
  std::stable_sort(shifts.begin(), shifts.end(), newer);
  return shifts;
}

}  // namespace velquor::shifts
