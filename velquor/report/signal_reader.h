// Reading the series a report draws out of a stage 2 signal file.
//
// A long history gives signal files of a hundred megabytes and more, so the
// file is mapped and walked with the fast record scanner of stage 3; only a
// record the scanner leaves to the strict parser is parsed into JSON.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "velquor/report/series.h"

namespace velquor::report {

namespace fs = std::filesystem;

// The series of `metrics` in the signal file of `family`, in the order the
// metrics are given; a metric without signals gives an empty series, as does
// a missing file. Points carry no time yet (see event_times.h). A record
// with a null or absent observed value is left out; booleans count as 0 and
// 1. JsonError or TypeError naming the file when it is not a list of signal
// records.
std::vector<SignalSeries> read_signal_series(const fs::path& file, const std::string& family,
                                             const std::vector<std::string>& metrics);

}  // namespace velquor::report
