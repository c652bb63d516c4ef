// Start-up measurements: with RELVO_REPORT_SHOWN set, moments of the start are printed to standard
// error with the wall clock in microseconds, for the start-up benchmark and the process tests.
#pragma once

#include <string_view>

bool StartupReportWanted();
// "relvoconsole: <what> at <microseconds> us" and ": <detail>" when one is given.
void ReportStartupMoment(std::string_view what, std::string_view detail = {});
