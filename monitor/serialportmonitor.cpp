#include "monitor/serialportmonitor.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QSerialPortInfo>
#include <QTimer>

#ifdef QT_NO_DEBUG_OUTPUT
#error "The debug lines are the program's only output; build it with them."
#endif

namespace {
constexpr int firstScanDelayMs = 1000;
constexpr int rescanIntervalMs = 2000;
// Lets the echo of a command arrive before the step's clock starts.
constexpr int firstWaitMs = 200;
const char separatorLine[] = "-------------------------";
}

SerialPortMonitor::SerialPortMonitor(UpdateScript script)
    : script(std::move(script))
{
    QTimer::singleShot(firstScanDelayMs, this, &SerialPortMonitor::timeout);

    qDebug() << "Please plug the tracker";
    qDebug() << "This windows will close automatically when finished";
    qDebug() << "";
    qDebug() << separatorLine;
    qDebug() << "";
}

void SerialPortMonitor::timeout()
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        if (info.description() != trackerPortDescription())
            continue;

        port = std::make_unique<QSerialPort>(info);
        if (!port->open(QIODevice::ReadWrite)) {
            qDebug() << info.portName() << " already used";
            port.reset();
            continue;
        }
        portOpened = true;
        qDebug() << "Open " << info.portName();
        runUpdate();
    }

    if (!portOpened)
        QTimer::singleShot(rescanIntervalMs, this, &SerialPortMonitor::timeout);
}

void SerialPortMonitor::sendCommand(QString command, int timeLimitMs, QString expected)
{
    QString response;
    qDebug() << "Send" << command;
    port->write(command.toUtf8());
    port->waitForReadyRead(firstWaitMs);

    // A monotonic clock: a wall clock set back or passing midnight must not end a step early.
    QElapsedTimer clock;
    clock.start();
    while (!response.contains(expected, Qt::CaseSensitive)) {
        // Nothing matched yet, so only a tail shorter than the expected text can still
        // begin a match: a modem flooding the port costs neither memory nor search time.
        response = response.right(expected.size() - 1);
        if (clock.elapsed() >= timeLimitMs)
            break;
        port->waitForReadyRead(timeLimitMs / 10);
        const QByteArray chunk = port->readAll();
        if (!chunk.isEmpty())
            qDebug() << chunk;
        response += QString::fromUtf8(chunk);
    }
    if (clock.elapsed() >= timeLimitMs)
        qDebug() << "Timed out";
}

void SerialPortMonitor::runStep(const CommandStep &step)
{
    sendCommand(step.command + QStringLiteral("\r\n"), step.timeLimitMs, step.expected);
}

void SerialPortMonitor::runUpdate()
{
    for (const CommandStep &step : script.beforeOperatorChoice)
        runStep(step);
    if (const std::optional<QString> command = operatorCommand(QLocale::system().territory())) {
        CommandStep step = script.operatorChoice;
        step.command = *command;
        runStep(step);
    }
    for (const CommandStep &step : script.afterOperatorChoice)
        runStep(step);

    port->close();
    port.reset();
    printClosingLines();
    emit quit();
}

void SerialPortMonitor::printClosingLines()
{
    qDebug() << "";
    qDebug() << separatorLine;
    qDebug() << "";
    qDebug() << "You can finish the installation and quit";
}
