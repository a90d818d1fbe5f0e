// The soak run's report: the profile table, the screenshots, the
// per-minute table, and the same figures as a data file with a gnuplot
// script that draws them as one page.
#pragma once

#include <cstdio>
#include <string>

#include "soak.h"

namespace qxsoak {

void printReport(const Options &options, const Result &result, FILE *out);
// Writes soak.dat and soak.gp into dir and runs gnuplot on them, which draws
// soak.png; false when gnuplot could not draw it. Call it after the limits
// were checked: the page shows their verdict.
bool writePlot(const Options &options, const Result &result,
               const std::string &dir);

}  // namespace qxsoak
