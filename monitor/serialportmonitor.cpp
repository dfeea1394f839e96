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

SerialPortMonitor::SerialPortMonitor(UpdateScript updateScript)
    : script(std::move(updateScript))
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
    exchange(command, timeLimitMs, expected);
}

QString SerialPortMonitor::exchange(const QString &command, int timeLimitMs, const QString &expected)
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
    return response;
}

QString SerialPortMonitor::runStep(const CommandStep &step)
{
    return exchange(step.command + QStringLiteral("\r\n"), step.timeLimitMs, step.expected);
}

void SerialPortMonitor::runSteps(const QList<CommandStep> &steps)
{
    for (const CommandStep &step : steps)
        runStep(step);
}

void SerialPortMonitor::runUpdate()
{
    runSteps(script.beforeOperatorChoice);
    if (const std::optional<QString> command = operatorCommand(QLocale::system().territory())) {
        CommandStep step = script.operatorChoice;
        step.command = *command;
        runStep(step);
    }
    runSteps(script.beforeDownload);
    // Without a new image the swap would leave the modem with no current image, and a
    // second attempt would delete the backup that by then is its only firmware.
    if (downloadSucceeded(runStep(script.download)))
        runSteps(script.fileSwap);
    else
        qDebug() << "Download failed: firmware files left unchanged";
    runStep(script.reboot);

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
