// velquor shifts DIR: sustained level shifts and the commits where they began.

#include <charconv>
#include <cmath>
#include <iostream>

#include "cli/commands.h"
#include "cli/window_options.h"
#include "cli/writer.h"
#include "shared/errors.h"
#include "shared/json.h"
#include "velquor/shifts/shifts.h"

namespace velquor::cli {
namespace {

// --min-change as a share ("0.15") or a percentage ("15%").
double min_change_setting(const Args& args, double fallback) {
  const auto text = args.value("--min-change");
  if (!text) return fallback;
  const bool percent = !text->empty() && text->back() == '%';
  const std::string_view digits(text->data(), text->size() - (percent ? 1 : 0));
  double value = -1;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size() || !std::isfinite(value) || value < 0)
    throw UsageError("option --min-change needs a share such as 0.15 or 15%, got '" + *text + "'");
  return percent ? value / 100 : value;
}

int run_shifts_command(const Args& args) {
  shifts::ShiftSettings settings;
  settings.min_run = static_cast<size_t>(args.integer("--min-run", static_cast<int64_t>(settings.min_run), 1));
  settings.min_change = min_change_setting(args, settings.min_change);
  const std::optional<window::Request> request = window_request(args);
  const fs::path dir = existing_data_dir(args.positional(0));
  DirectoryWriter writer(args, dir);
  // A directory that never went through stage 2 is a slip, not "no shifts".
  if (!fs::is_directory(dir / "phase2"))
    throw FileNotFound((dir / "phase2").string() + ": no signal files yet (run 'velquor run' or 'velquor baseline')");
  std::vector<shifts::Shift> found = shifts::find_shifts(dir, settings);
  // A window chooses which shifts are reported; detection saw every value.
  const std::optional<window::Window> window = resolve_window(dir, request);
  if (window)
    std::erase_if(found, [&](const shifts::Shift& shift) { return !window->contains(shift.start_event); });
  const fs::path written = shifts::write_shifts(dir, found);
  if (args.has("--json")) {
    std::cout << dump_pretty(shifts::shifts_json(found)) << "\n";
    return kExitOk;
  }
  if (window && window->empty())
    std::cout << window->empty_notice() << "\n";
  else if (window)
    std::cout << (found.empty() ? "No sustained shifts began in the window "
                                : "Sustained shifts that began in the window ")
              << window->description() << (found.empty() ? ".\n" : ":\n");
  else if (found.empty())
    std::cout << "No sustained shifts in " << (dir / "phase2").string() << ".\n";
  for (const std::string& line : shifts::shift_lines(found)) std::cout << line << "\n";
  std::cout.flush();
  std::cerr << found.size() << (found.size() == 1 ? " shift" : " shifts") << " written to "
            << written.string() << "\n";
  return kExitOk;
}

std::vector<OptionSpec> shifts_options() {
  std::vector<OptionSpec> options = window_options();
  options.push_back(wait_option());
  options.push_back({"--json", 0, "", "print {\"shifts\": [...]} on stdout, nothing else"});
  options.push_back({"--min-run", 0, "N", "events a new level must hold (default 10)"});
  options.push_back({"--min-change", 0, "X", "smallest relative move of the level, 0.15 or 15% (default)"});
  return options;
}

}  // namespace

const Command kShiftsCommand = {
    "shifts",
    {"DIR"},
    shifts_options(),
    "find sustained level shifts and the commits where they began",
    "Reads the signal files of stage 2 (DIR/phase2, so it works after any run or\n"
    "baseline) and looks, for every family and metric, at the observed values in\n"
    "event order for levels that move and stay: a single outlier is not a shift.\n"
    "Each shift names the event, commit and day where the new level begins, the\n"
    "levels before and after (median, or mean where the median is zero on both\n"
    "sides) and how long it has held. Shifts are listed newest first and written\n"
    "to DIR/phase5/shifts.json; a metric that shifted three or more times in one\n"
    "direction is shown as one \"growing since\" line.\n"
    "\n"
    "With --since, --last or --new only the shifts that began inside that window\n"
    "are reported; the levels are still found over the whole history.",
    run_shifts_command,
};

}  // namespace velquor::cli
