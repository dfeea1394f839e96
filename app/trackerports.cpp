// Prints each serial port that Qt lists, one line each, with a * before those whose
// description is the one tracker-updater was built to open.
#include "console/consoleline.h"
#include "modem/trackermodem.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSerialPortInfo>
#include <QTextStream>

#include <cerrno>
#include <cstdio>

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
