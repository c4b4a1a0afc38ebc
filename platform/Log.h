#pragma once
// Diagnostics: the console log (standard error) and the system log (syslog).
// Console lines read "[Class method] text", as the system's convention wants.

#include <QString>
#include <QStringList>

namespace platform::log {

// One line on standard error, written whole (a single write call).
void console(const QString& line);
// printf-style convenience; the format is UTF-8.
void consolef(const char* format, ...) __attribute__((format(printf, 1, 2)));

// syslog(3) with the program's name as ident; priority is a LOG_* level.
void system(int priority, const QString& line);

// Console lines are also kept in memory when capturing is on (tests read them).
void setCapture(bool on);
QStringList captured();

}  // namespace platform::log
