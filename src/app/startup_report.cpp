#include "app/startup_report.h"

#include <QtGlobal>
#include <chrono>
#include <cstdio>

bool StartupReportWanted() {
    static const bool wanted = qEnvironmentVariableIsSet("RELVO_REPORT_SHOWN");
    return wanted;
}

void ReportStartupMoment(std::string_view what, std::string_view detail) {
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    std::fprintf(stderr, "relvoconsole: %.*s at %lld us%s%.*s\n", static_cast<int>(what.size()),
                 what.data(), static_cast<long long>(now), detail.empty() ? "" : ": ",
                 static_cast<int>(detail.size()), detail.data());
}
