#include "monitor/serialportmonitor.h"

#include "console/consoletext.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QSerialPortInfo>
#include <QThread>
#include <QTimer>

#ifdef QT_NO_DEBUG_OUTPUT
#error "The debug lines are the program's only output; build it with them."
#endif

namespace {
constexpr int firstScanDelayMs = 1000;
constexpr int rescanIntervalMs = 2000;
// Lets the echo of a command arrive before the step's clock starts.
constexpr int firstWaitMs = 200;
}

SerialPortMonitor::SerialPortMonitor(UpdateScript updateScript)
    : script(std::move(updateScript))
{
    QTimer::singleShot(firstScanDelayMs, this, &SerialPortMonitor::timeout);

    qDebug() << ConsoleText::banner;
    qDebug() << "This windows will close automatically when finished";
    qDebug() << "";
    qDebug() << ConsoleText::separator;
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
            qDebug() << info.portName() << ConsoleText::alreadyUsed;
            port.reset();
            continue;
        }
        portOpened = true;
        qDebug() << ConsoleText::open << info.portName();
        runUpdate();
    }

    if (!portOpened)
        QTimer::singleShot(rescanIntervalMs, this, &SerialPortMonitor::timeout);
}

void SerialPortMonitor::sendCommand(QString command, int timeLimitMs, QString expected)
{
    exchange(command, timeLimitMs, expected, StepEnd::AtExpectedText);
}

std::optional<QString> SerialPortMonitor::exchange(const QString &command, int timeLimitMs,
                                                   const QString &expected, StepEnd end)
{
    QString response;
    ReportLine reportLine(expected);
    const auto ended = [&] {
        return end == StepEnd::AtEndOfItsLine ? reportLine.complete() : expectedArrived(response, expected);
    };
    qDebug() << ConsoleText::send << command;
    port->write(command.toUtf8());
    waitForReply(firstWaitMs);

    // A monotonic clock: a wall clock set back or passing midnight must not end a step early.
    QElapsedTimer clock;
    clock.start();
    while (!ended() && clock.elapsed() < timeLimitMs) {
        waitForReply(timeLimitMs / 10);
        const QByteArray chunk = port->readAll();
        if (chunk.isEmpty())
            continue;
        qDebug() << chunk;
        if (end == StepEnd::AtEndOfItsLine)
            reportLine.take(QString::fromUtf8(chunk));
        else
            response += QString::fromUtf8(chunk);
    }
    if (clock.elapsed() >= timeLimitMs)
        qDebug() << ConsoleText::timedOut;
    if (!ended())
        return std::nullopt;
    return end == StepEnd::AtEndOfItsLine ? reportLine.line() : response;
}

// A port that is gone (the tracker unplugged) ends every wait at once: the wait still
// lasts its time, so that a step's lines keep their timing and no core spins.
void SerialPortMonitor::waitForReply(int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    if (port->waitForReadyRead(timeoutMs))
        return;
    const qint64 left = timeoutMs - waited.elapsed();
    if (left > 0)
        QThread::msleep(static_cast<unsigned long>(left));
}

// Whether `reply` holds the expected text. Leaves in `reply` only what can still count,
// so a modem flooding the port costs neither memory nor search time: while the text has
// not come, a tail that may begin it.
bool SerialPortMonitor::expectedArrived(QString &reply, const QString &expected)
{
    if (reply.contains(expected))
        return true;
    reply = reply.right(expected.size() - 1);
    return false;
}

std::optional<QString> SerialPortMonitor::runStep(const CommandStep &step)
{
    const StepEnd end = step.role == CommandStep::Role::Download ? StepEnd::AtEndOfItsLine : StepEnd::AtExpectedText;
    return exchange(step.command + QStringLiteral("\r\n"), step.timeLimitMs, step.expected, end);
}

void SerialPortMonitor::runUpdate()
{
    bool downloaded = false;
    for (CommandStep step : script.steps) {
        switch (step.role) {
        case CommandStep::Role::Plain:
            runStep(step);
            break;
        case CommandStep::Role::OperatorChoice:
            if (const std::optional<QString> command = operatorCommand(QLocale::system().territory())) {
                step.command = *command;
                runStep(step);
            }
            break;
        case CommandStep::Role::Download: {
            const std::optional<QString> report = runStep(step);
            downloaded = report && downloadSucceeded(*report);
            if (!downloaded)
                qDebug() << ConsoleText::downloadFailed;
            break;
        }
        case CommandStep::Role::FileSwap:
            // Without a new image the swap would leave the modem with no current image, and a
            // second attempt would delete the backup that by then is its only firmware.
            if (downloaded)
                runStep(step);
            break;
        }
    }

    port->close();
    port.reset();
    printClosingLines();
    emit quit();
}

void SerialPortMonitor::printClosingLines()
{
    qDebug() << "";
    qDebug() << ConsoleText::separator;
    qDebug() << "";
    qDebug() << ConsoleText::finished;
}
