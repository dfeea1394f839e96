#pragma once

#include <QList>
#include <QLocale>
#include <QString>

#include <optional>

// What the program knows of the tracker's modem: how its AT port is named
// and the fixed script of commands that installs the new firmware.

// One exchange with the modem: the command (without its CR LF), the text
// whose arrival ends the step, and how long the step may wait for it.
struct CommandStep
{
    QString command;
    QString expected;
    int timeLimitMs;
};

struct UpdateScript
{
    QList<CommandStep> beforeOperatorChoice;
    // Its command is chosen from the locale's country when the step is reached.
    CommandStep operatorChoice;
    QList<CommandStep> beforeDownload;
    CommandStep download;
    // Sent only after a download the modem reported as complete: the current image
    // becomes the backup, the new one the current image.
    QList<CommandStep> fileSwap;
    CommandStep reboot;

    static UpdateScript standard();
};

QString trackerPortDescription();
QString firmwareUrl();

// Whether what the modem sent during the download step reports a complete download.
bool downloadSucceeded(const QString &downloadReply);

// The operator selection for a country, or nothing where the modem should
// keep choosing the network on its own.
std::optional<QString> operatorCommand(QLocale::Country country);
