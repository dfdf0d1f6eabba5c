// Coverage reports: Cobertura XML (its line-rate and branch-rate) or LCOV
// tracefiles (rates from the LF/LH and BRF/BRH totals, or from the DA and
// BRDA lines where a producer leaves the totals out). Several reports of one
// format are added up from their line and branch counts.

#include <pugixml.hpp>

#include <cstdlib>

#include "velquor/collect/internal.h"

namespace velquor::collect {
namespace {

struct Counts {
  int64_t lines = 0, lines_hit = 0, branches = 0, branches_hit = 0;
};

struct Report {
  double line_rate = 0;
  std::optional<double> branch_rate;
  std::optional<Counts> counts;  // absent in a Cobertura file without them
  std::optional<TimePoint> time;
};

bool is_xml(const std::string& text) { return starts_with_char(text, '<'); }

double rate_attribute(const pugi::xml_node& root, const char* name, const fs::path& path) {
  const char* text = root.attribute(name).value();
  char* end = nullptr;
  double value = std::strtod(text, &end);
  if (*text == '\0' || *end != '\0' || !(value >= 0 && value <= 1))
    bad_input(path, "<coverage " + std::string(name) + "=\"" + text + "\">: not a rate between 0 and 1");
  return value;
}

std::optional<int64_t> count_attribute(const pugi::xml_node& root, const char* name) {
  pugi::xml_attribute attribute = root.attribute(name);
  if (!attribute) return std::nullopt;
  return attribute.as_llong(-1) >= 0 ? std::optional<int64_t>(attribute.as_llong()) : std::nullopt;
}

Report read_cobertura(const fs::path& path, const std::string& text) {
  pugi::xml_document document;
  parse_xml_artefact(document, text, path);
  pugi::xml_node root = document.document_element();
  if (std::string_view(root.name()) != "coverage")
    bad_input(path, "not a Cobertura report: the root element is <" + std::string(root.name()) + ">");
  if (!root.attribute("line-rate")) bad_input(path, "<coverage> has no line-rate");
  Report report;
  report.line_rate = rate_attribute(root, "line-rate", path);
  if (root.attribute("branch-rate")) report.branch_rate = rate_attribute(root, "branch-rate", path);
  auto lines = count_attribute(root, "lines-valid"), lines_hit = count_attribute(root, "lines-covered");
  auto branches = count_attribute(root, "branches-valid");
  auto branches_hit = count_attribute(root, "branches-covered");
  // A report that measured no branches has no branch rate, whatever it writes.
  if (branches && *branches == 0) report.branch_rate.reset();
  if (lines && lines_hit) {
    if (*lines == 0) bad_input(path, "the report covers no lines");
    report.counts = Counts{*lines, *lines_hit, branches.value_or(0), branches_hit.value_or(0)};
  }
  // Seconds or, from some producers, milliseconds since the epoch.
  if (auto stamp = count_attribute(root, "timestamp"); stamp && *stamp > 0) {
    int64_t seconds = *stamp > 100'000'000'000 ? *stamp / 1000 : *stamp;
    report.time = TimePoint(std::chrono::seconds(seconds));
  }
  return report;
}

int64_t lcov_number(std::string_view text, size_t line_number, const fs::path& path) {
  if (text == "-") return 0;  // a branch never reached
  std::string digits(text);
  char* end = nullptr;
  long long value = std::strtoll(digits.c_str(), &end, 10);
  if (digits.empty() || *end != '\0' || value < 0)
    bad_input(path, "line " + std::to_string(line_number) + ": '" + digits + "' is not a count");
  return value;
}

// One SF: ... end_of_record section.
struct LcovRecord {
  std::optional<int64_t> lf, lh, brf, brh;
  Counts from_lines;
  bool open = false;

  void add_to(Counts& total) const {
    total.lines += lf.value_or(from_lines.lines);
    total.lines_hit += lh.value_or(from_lines.lines_hit);
    total.branches += brf.value_or(from_lines.branches);
    total.branches_hit += brh.value_or(from_lines.branches_hit);
  }
};

// Field `n` (from 0) of "12,3" (DA) or "12,0,1,-" (BRDA); "" when absent.
std::string_view nth_field(std::string_view value, size_t n) {
  for (; n > 0; --n) {
    size_t comma = value.find(',');
    if (comma == std::string_view::npos) return "";
    value.remove_prefix(comma + 1);
  }
  return value.substr(0, value.find(','));
}

Report read_lcov(const fs::path& path, const std::string& text) {
  Counts total;
  LcovRecord record;
  size_t records = 0, line_number = 0, start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    start = end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t colon = line.find(':');
    const std::string_view key = line.substr(0, colon);
    const std::string_view value = colon == std::string_view::npos ? "" : line.substr(colon + 1);
    auto number = [&](std::string_view v) { return lcov_number(v, line_number, path); };
    if (key == "SF") {
      if (record.open) bad_input(path, "line " + std::to_string(line_number) + ": SF inside a record");
      record = LcovRecord{};
      record.open = true;
    } else if (key == "end_of_record") {
      if (!record.open) bad_input(path, "line " + std::to_string(line_number) + ": end_of_record without SF");
      record.add_to(total);
      record.open = false;
      ++records;
    } else if (!record.open) {
      continue;  // TN: and blank lines between records
    } else if (key == "LF") record.lf = number(value);
    else if (key == "LH") record.lh = number(value);
    else if (key == "BRF") record.brf = number(value);
    else if (key == "BRH") record.brh = number(value);
    else if (key == "DA") {
      ++record.from_lines.lines;
      record.from_lines.lines_hit += number(nth_field(value, 1)) > 0;
    } else if (key == "BRDA") {
      ++record.from_lines.branches;
      record.from_lines.branches_hit += number(nth_field(value, 3)) > 0;
    }
  }
  if (record.open) bad_input(path, "ends inside a record (no end_of_record)");
  if (records == 0) bad_input(path, "neither Cobertura XML nor an LCOV tracefile (no SF: record)");
  if (total.lines == 0) bad_input(path, "the report covers no lines");
  Report report;
  report.counts = total;
  return report;
}

void set_rates(Report& report) {
  const Counts& c = *report.counts;
  report.line_rate = static_cast<double>(c.lines_hit) / static_cast<double>(c.lines);
  report.branch_rate.reset();
  if (c.branches > 0)
    report.branch_rate = static_cast<double>(c.branches_hit) / static_cast<double>(c.branches);
}

Report combine(const std::vector<Report>& reports, const std::vector<fs::path>& paths) {
  Report sum;
  sum.counts = Counts{};
  for (size_t i = 0; i < reports.size(); ++i) {
    if (!reports[i].counts)
      bad_input(paths[i], "has no lines-valid and lines-covered to add to the other reports");
    const Counts& c = *reports[i].counts;
    sum.counts->lines += c.lines;
    sum.counts->lines_hit += c.lines_hit;
    sum.counts->branches += c.branches;
    sum.counts->branches_hit += c.branches_hit;
    if (reports[i].time && (!sum.time || *reports[i].time > *sum.time)) sum.time = reports[i].time;
  }
  set_rates(sum);
  return sum;
}

}  // namespace

std::vector<Draft> collect_coverage(const Context& context) {
  const auto& paths = context.request.files;
  std::vector<std::string> contents;
  std::vector<Report> reports;
  bool xml = false;
  for (size_t i = 0; i < paths.size(); ++i) {
    contents.push_back(read_artefact(paths[i]));
    const bool this_xml = is_xml(contents.back());
    if (i > 0 && this_xml != xml) bad_input(paths[i], "mixes Cobertura XML and LCOV reports");
    xml = this_xml;
    reports.push_back(xml ? read_cobertura(paths[i], contents.back()) : read_lcov(paths[i], contents.back()));
    if (!xml) set_rates(reports.back());
  }
  Report report = reports.size() == 1 ? reports[0] : combine(reports, paths);
  Draft draft;
  draft.family = "coverage";
  draft.source_type = xml ? "cobertura" : "lcov";
  draft.payload["line_rate"] = report.line_rate;
  if (report.branch_rate) draft.payload["branch_rate"] = *report.branch_rate;
  draft.observed = report.time;
  draft.identity = digest_of_files(contents);
  return {std::move(draft)};
}

}  // namespace velquor::collect
