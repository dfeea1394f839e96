#include "console/consoleline.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

QString cLibraryError(int number)
{
    return QString::fromLocal8Bit(std::strerror(number));
}

namespace {

#ifdef Q_OS_WIN
// The system's text for a Windows error code.
QString windowsError(DWORD code)
{
    wchar_t *text = nullptr;
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                                  | FORMAT_MESSAGE_IGNORE_INSERTS,
                                          nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    const QString message = length ? QString::fromWCharArray(text, int(length)).trimmed()
                                   : QStringLiteral("Windows error %1").arg(code);
    ::LocalFree(text);
    return message;
}
#endif

} // namespace

// A Windows console shows UTF-8 only under its UTF-8 code page, which few have.
QString printLine(const QString &line)
{
    const QString text = line + u'\n';
#ifdef Q_OS_WIN
    const HANDLE console = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    if (::GetConsoleMode(console, &mode)) {
        DWORD written;
        if (!::WriteConsoleW(console, reinterpret_cast<const wchar_t *>(text.utf16()), DWORD(text.size()),
                             &written, nullptr))
            return windowsError(::GetLastError());
        return {};
    }
#endif
    const QByteArray bytes = text.toUtf8();
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) != size_t(bytes.size()))
        return cLibraryError(errno);
    return {};
}
