#pragma once

#include "modem/trackermodem.h"

#include <QObject>
#include <QSerialPort>

#include <memory>
#include <optional>
#include <utility>

// Waits for the tracker's AT port, then drives its modem through the update script.
class SerialPortMonitor : public QObject
{
    Q_OBJECT

public:
    explicit SerialPortMonitor(UpdateScript updateScript = UpdateScript::standard());

signals:
    void quit();

public slots:
    void timeout();

protected:
    void sendCommand(QString command, int timeLimitMs, QString expected);

    std::unique_ptr<QSerialPort> port;
    bool portOpened = false;

private:
    enum class StepEnd { AtExpectedText, AtEndOfItsLine };

    // The exchange itself. Once the step's end arrived, returns what was kept of the reply:
    // the expected text with whatever came with it, or for AtEndOfItsLine its ReportLine;
    // returns nothing when the end did not arrive in time.
    std::optional<QString> exchange(const QString &command, int timeLimitMs, const QString &expected,
                                    StepEnd end);
    static bool expectedArrived(QString &reply, const QString &expected);
    void waitForReply(int timeoutMs);
    void runUpdate();
    std::optional<QString> runStep(const CommandStep &step);
    void printClosingLines();

    const UpdateScript script;
};
