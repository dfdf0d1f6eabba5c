// The shifts of a data directory: every family's series through the
// detector, each change point tied to the event, commit and time where its
// new level begins.

#include <algorithm>
#include <future>
#include <numeric>
#include <set>
#include <unordered_map>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/json_access.h"
#include "shared/two_threads.h"
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
// family prefix are tried next (in file-name order), and only then every
// file.
class EventFinder {
 public:
  explicit EventFinder(const fs::path& vel_dir) : dir_(vel_dir / "events") {}

  void fill(std::vector<Shift>& shifts) {
    std::vector<Shift*> unfound;
    for (Shift& shift : shifts)
      if (!shift.start_event.empty() && !try_file(dir_ / (shift.start_event + ".json"), shift))
        unfound.push_back(&shift);
    if (unfound.empty()) return;
    const auto named = files_named_with(unfound);
    for (Shift* shift : unfound) {
      bool found = false;
      for (size_t file : named.at(tail_of(shift->start_event)))
        if ((found = try_file(files()[file], *shift))) break;
      if (found) continue;
      const auto& ids = index();
      if (auto at = ids.find(shift->start_event); at != ids.end()) try_file(at->second, *shift);
    }
  }

 private:
  static std::string_view tail_of(std::string_view id) {
    const size_t dash = id.find('-');
    return dash == std::string_view::npos ? id : id.substr(dash + 1);
  }

  // Tail -> the files whose names hold it, in file-name order. One pass over
  // the names, looking up each stretch as long as some tail: a history of a
  // hundred thousand commits and a few hundred shifts costs milliseconds,
  // where searching every name for every tail cost seconds.
  std::unordered_map<std::string_view, std::vector<size_t>> files_named_with(const std::vector<Shift*>& shifts) {
    std::unordered_map<std::string_view, std::vector<size_t>> named;
    std::set<size_t> lengths;
    for (const Shift* shift : shifts) {
      const std::string_view tail = tail_of(shift->start_event);
      named.try_emplace(tail);
      lengths.insert(tail.size());
    }
    for (size_t file = 0; file < files().size(); ++file) {
      const std::string name = files()[file].filename().string();
      for (size_t length : lengths)
        for (size_t at = 0; at + length <= name.size(); ++at)
          if (auto tail = named.find(std::string_view(name).substr(at, length)); tail != named.end())
            if (tail->second.empty() || tail->second.back() != file) tail->second.push_back(file);
    }
    return named;
  }

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

// Every family's series, families in their fixed order, each file read on
// a thread of its own. The first family (in that order) whose file cannot be
// read raises its error.
std::vector<MetricSeries> read_all_series(const fs::path& vel_dir) {
  std::vector<std::future<std::vector<MetricSeries>>> reading;
  for (const brevalt::Family& family : brevalt::families())
    reading.push_back(std::async(std::launch::async, [&vel_dir, &family] {
      return read_signal_series(vel_dir / "phase2" / family.signal_file, family.name);
    }));
  std::vector<MetricSeries> all;
  for (auto& family : reading)
    for (MetricSeries& series : family.get()) all.push_back(std::move(series));
  return all;
}

// The change points of each series, searched on two threads, longest series
// first so that neither thread is left with a long one at the end. The seeds
// keep the answer the same whatever finishes first.
std::vector<std::vector<ChangePoint>> change_points_of(const std::vector<MetricSeries>& all,
                                                       const ShiftSettings& settings) {
  std::vector<size_t> longest_first(all.size());
  std::iota(longest_first.begin(), longest_first.end(), 0);
  std::stable_sort(longest_first.begin(), longest_first.end(),
                   [&](size_t a, size_t b) { return all[a].values.size() > all[b].values.size(); });
  std::vector<std::vector<ChangePoint>> points(all.size());
  work_on_two_threads(all.size(), [&](size_t i) {
    const MetricSeries& series = all[longest_first[i]];
    points[longest_first[i]] = detect_change_points(series.values, settings, series_seed(series));
    return true;
  });
  return points;
}

}  // namespace

std::vector<Shift> find_shifts(const fs::path& vel_dir, const ShiftSettings& settings) {
  const std::vector<MetricSeries> all = read_all_series(vel_dir);
  const std::vector<std::vector<ChangePoint>> points = change_points_of(all, settings);
  std::vector<Shift> shifts;
  for (size_t i = 0; i < all.size(); ++i)
    for (const ChangePoint& point : points[i])
      shifts.push_back({all[i].family, all[i].metric, all[i].event_refs[point.index], "", "", point});
  EventFinder(vel_dir).fill(shifts);
  std::stable_sort(shifts.begin(), shifts.end(), newer);
  return shifts;
}

}  // namespace velquor::shifts
