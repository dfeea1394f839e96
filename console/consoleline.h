#pragma once

#include <QString>

// One line of a program's own on its standard output, readable on any Windows console:
// there it goes as UTF-16, redirected and everywhere else as UTF-8. Returns why it could
// not be written, taken from the call that failed, or an empty string.
QString printLine(const QString &line);

// The C library's text for its error number. Qt's qt_error_string() would hand most
// numbers to Windows' message table, where they name unrelated errors.
QString cLibraryError(int number);
