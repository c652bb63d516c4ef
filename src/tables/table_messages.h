// What a dialog tells the user when the main configuration file cannot be read or a write to it
// fails, and how it asks before deleting: one title and one wording for every dialog, naming the
// file and the system's reason (never a value). The texts are plain functions; the boxes need
// the UI thread. The store's write reason is per thread, so ask for it on the thread that wrote.
#pragma once

#include <QString>
#include <optional>
#include <string_view>

class QWidget;

// Title of every box of these kinds.
QString ConfigNoticeTitle();

// "The change was not saved: <reason>." The reason names the file and what the system said.
QString ConfigWriteFailedText(const QString& reason);
// The same for this thread's last failed write through the configuration store.
QString LastConfigWriteFailedText();

// "The configuration file <path> cannot be read (<reason>). ..." for a file that exists.
QString ConfigUnreadableText(const QString& path, const QString& reason);
// The notice for the file behind a store file argument (".cfg": the main configuration file)
// when it exists but cannot be read; none when it is readable or simply missing.
std::optional<QString> ConfigReadProblem(std::string_view fileArgument = ".cfg");

// A warning box with the notice title.
void ShowConfigNotice(QWidget* parent, const QString& text);

// A Yes/No question with the question icon and No as the default button, so that Enter alone
// never deletes anything. True for Yes.
bool ConfirmDeletion(QWidget* parent, const QString& text);
