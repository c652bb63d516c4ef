// Text rules of the activity pane, as plain functions: how console and engine lines are formed
// and how the pane is cut when it grows. Pane text here uses CR LF line breaks, as the lines do.
#pragma once

#include <QString>

namespace pane {

inline constexpr int kTrimThreshold = 16384;
inline constexpr int kTrimAmount = 8192;

// Replaces every CR LF CR LF by CR LF in one left-to-right pass, twice: three or four line breaks
// in a row become one, five become two.
QString CollapseLineBreaks(QString text);

// "[<stamp>] <text>\r\n" with every occurrence of todayPrefix ("2009-03-07 ") removed.
QString ConsoleLine(const QString& text, const QString& stamp, const QString& todayPrefix);

// "<text>\r\n" with todayPrefix removed, line breaks collapsed, "Client/" and "Server/"
// shortened to "C/" and "S/".
QString EngineLine(const QString& text, const QString& todayPrefix);

// The pane's text after the cut an engine line makes: unchanged up to kTrimThreshold
// characters; beyond, the first kTrimAmount characters go, then everything up to and including
// the next CR LF (if any).
QString TrimmedPaneText(const QString& paneText);

}  // namespace pane
