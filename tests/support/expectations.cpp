#include "expectations.h"

#include "sim/simulatedtracker.h"
#include "testharness.h"

#include "buildsettings.h"

namespace Expected {

const QStringList banner = {
    "Please plug the tracker",
    "This windows will close automatically when finished",
    "",
    "-------------------------",
    "",
};

const QStringList closingLines = {
    "",
    "-------------------------",
    "",
    "You can finish the installation and quit",
};

const QString downloadFailedLine = QStringLiteral("Download failed: firmware files left unchanged");

QByteArrayList commands(const QByteArray &operatorSelection, Download download)
{
    const QByteArray accessPoint = BuildSettings::accessPoint;
    const QByteArray host = BuildSettings::updateHost;
    QByteArrayList lines = {
        "AT+CMNB=1",
        "AT+CBANDCFG=\"CAT-M\",2,3,8,20",
        "AT+CNCFG=0,1,\"" + accessPoint + "\"",
        "AT+COPS=2",
    };
    if (!operatorSelection.isEmpty())
        lines.append(operatorSelection);
    lines += {
        "AT+GSN",
        "AT+CGATT=1",
        "AT+CGATT=1",
        "AT+COPS?",
        "AT+COPS?",
        "AT+COPS?",
        "AT+CNACT=0,1",
        "AT+CNACT?",
        "AT+CNCFG?",
        "AT+HTTPTOFS=\"https://" + host + "/firmwares/update_to_latest_simcom\",\"/custapp/cust_app_new.bin\"",
    };
    if (download == Download::Succeeds) {
        lines += {
            "AT+CFSINIT",
            "AT+CFSDFILE=0,\"cust_app_bck.bin\"",
            "AT+CFSREN=0,\"cust_app.bin\",\"cust_app_bck.bin\"",
            "AT+CFSREN=0,\"cust_app_new.bin\",\"cust_app.bin\"",
            "AT+CFSTERM",
        };
    }
    lines.append("AT+CREBOOT");
    for (QByteArray &line : lines)
        line += "\r\n";
    return lines;
}

QString awaitedReply(const QByteArray &command)
{
    if (command == "AT+COPS?\r\n")
        return QStringLiteral("+COPS: 0,");
    if (command == "AT+CNACT=0,1\r\n")
        return QStringLiteral("+APP PDP: 0,ACTIVE");
    if (command.startsWith("AT+HTTPTOFS="))
        return QStringLiteral("+HTTPTOFS:");
    return QStringLiteral("OK");
}

QString openLine(const QString &portName)
{
    return QStringLiteral("Open  \"%1\"").arg(portName);
}

QStringList runLines(const QString &portName, const QByteArrayList &commands)
{
    QStringList lines { openLine(portName) };
    for (qsizetype i = 0; i < commands.size(); ++i) {
        lines.append(sendLine(commands[i]));
        if (commands[i].startsWith("AT+HTTPTOFS=") && commands.value(i + 1) == "AT+CREBOOT\r\n")
            lines.append(downloadFailedLine);
    }
    return lines + closingLines;
}

QStringList unansweredRunLines(const QString &portName, const QByteArrayList &commands)
{
    QStringList lines { openLine(portName) };
    for (const QByteArray &command : commands) {
        lines += { sendLine(command), QStringLiteral("Timed out") };
        if (command.startsWith("AT+HTTPTOFS="))
            lines.append(downloadFailedLine);
    }
    return lines + closingLines;
}

QMap<QString, QByteArray> filesAfterSwap()
{
    return {
        { "cust_app.bin",
          "firmware downloaded from https://" + QByteArray(BuildSettings::updateHost)
                  + "/firmwares/update_to_latest_simcom\n" },
        { "cust_app_bck.bin", SimulatedTracker::currentImage },
    };
}

QMap<QString, QByteArray> filesBeforeRun()
{
    return {
        { "cust_app.bin", SimulatedTracker::currentImage },
        { "cust_app_bck.bin", SimulatedTracker::backupImage },
    };
}

}
