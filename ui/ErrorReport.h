#pragma once
// The general error report: a failure that no command catches ends the command and is shown in a
// message box with the error icon, titled with the application title; the program goes on.

#include <QString>
#include <exception>

class IPrompts;

// The report's text: the message with "." appended unless it is empty or its last character is "."
// or sorts below ".".
QString ErrorReportText(const QString& message);
// The message of an error, as UTF-8 from the lower layers.
QString ErrorMessage(const std::exception& error);
void ShowErrorReport(IPrompts& prompts, const std::exception& error);

// Runs one command; an error it raises goes to the general error report.
template <typename F> void RunReported(IPrompts& prompts, F&& command) {
    try {
        command();
    } catch (const std::exception& error) {
        ShowErrorReport(prompts, error);
    }
}

// The start-up error box text: "Exception %s in module %s at %p." + line break + message, with "."
// appended unless it already ends in one, + line break.
QString StartupErrorText(const std::exception& error, const QString& moduleName, const void* address);
