// Plain double statistics shared by the discovery steps: left-to-right sums
// divided by n, population (divisor n) standard deviations.
#pragma once

#include <vector>

namespace velquor::dornath {

double mean_of(const std::vector<double>& xs);

// sqrt(sum of (x - mean)^2 / n), with the mean given.
double population_stddev(const std::vector<double>& xs, double mean);

}  // namespace velquor::dornath
