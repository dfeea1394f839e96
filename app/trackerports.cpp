// Prints each serial port that Qt lists, one line each, with a * before those whose
// description is the one tracker-updater was built to open.
#include "modem/trackermodem.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSerialPortInfo>
#include <QTextStream>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

QString identifier(bool known, quint16 value)
{
    return known ? QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')) : QStringLiteral("-");
}

// The description and manufacturer come from the device: quoted and escaped, so none can
// disturb the console. The port name is the system's own device name, shown as it is.
QString portLine(const QSerialPortInfo &port)
{
    const QStringList fields = {
        port.description() == trackerPortDescription() ? QStringLiteral("*") : QStringLiteral(" "),
        port.portName(),
        QDebug::toString(port.description()),
        QDebug::toString(port.manufacturer()),
        identifier(port.hasVendorIdentifier(), port.vendorIdentifier()) + u':'
                + identifier(port.hasProductIdentifier(), port.productIdentifier()),
    };
    return fields.join(u' ');
}

// The C library's text for its error number. Qt's qt_error_string() would hand most
// numbers to Windows' message table, where they name unrelated errors.
QString cLibraryError(int number)
{
    return QString::fromLocal8Bit(std::strerror(number));
}

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

// A Windows console shows UTF-8 only under its UTF-8 code page, which few have: there
// the text goes to it as UTF-16. Redirected, and everywhere else, it is written as UTF-8.
// Returns why it could not be written, taken from the call that failed, or an empty string.
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

}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    QString error;
    for (const QSerialPortInfo &port : ports) {
        const QString lineError = printLine(portLine(port));
        if (error.isEmpty())
            error = lineError;
    }
    if (error.isEmpty() && std::fflush(stdout) != 0)
        error = cLibraryError(errno);
    // A list cut short must not pass for the whole list.
    if (!error.isEmpty()) {
        QTextStream(stderr) << "tracker-ports: cannot write the list of ports: " << error << '\n';
        return 1;
    }
    if (ports.isEmpty())
        QTextStream(stderr) << "No serial port found.\n";
    return 0;
}
