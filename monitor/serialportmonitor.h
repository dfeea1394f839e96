#pragma once

#include "modem/trackermodem.h"

#include <QObject>
#include <QSerialPort>

#include <memory>
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
    // The exchange itself; returns what is kept of the reply: the matching text with
    // whatever arrived with it, or less than the expected text when it never came.
    QString exchange(const QString &command, int timeLimitMs, const QString &expected);
    void runUpdate();
    QString runStep(const CommandStep &step);
    void runSteps(const QList<CommandStep> &steps);
    void printClosingLines();

    const UpdateScript script;
};
