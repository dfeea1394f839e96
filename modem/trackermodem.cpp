#include "modem/trackermodem.h"

#include "buildsettings.h"

#include <QRegularExpression>

namespace {

QString quoted(const QString &text)
{
    return u'"' + text + u'"';
}

struct OperatorRow
{
    QLocale::Country country;
    const char *command;
};

// Mobile country and network code of one operator per country.
constexpr OperatorRow operatorTable[] = {
    { QLocale::Austria, "AT+COPS=4,2,23203" },
    { QLocale::Belgium, "AT+COPS=4,2,20610" },
    { QLocale::Canada, "AT+COPS=4,2,302610" },
    { QLocale::France, "AT+COPS=4,2,20801" },
    { QLocale::Germany, "AT+COPS=4,2,26204" },
    { QLocale::Switzerland, "AT+COPS=4,2,22801" },
};

} // namespace

QString trackerPortDescription()
{
    return QString::fromUtf8(BuildSettings::portDescription);
}

QString firmwareUrl()
{
    return QStringLiteral("https://") + QLatin1String(BuildSettings::updateHost)
            + QStringLiteral("/firmwares/update_to_latest_simcom");
}

bool downloadSucceeded(const QString &reportLine)
{
    // Status 200 and a size above 0, and nothing else on the line: an empty file or a
    // report cut short leaves no image worth installing.
    static const QRegularExpression complete(
            QRegularExpression::anchoredPattern(QStringLiteral("\\+HTTPTOFS: ?200,[1-9][0-9]{0,9}")));
    return complete.match(reportLine).hasMatch();
}

std::optional<QString> downloadReportIn(const QString &reply)
{
    static const QRegularExpression line(QStringLiteral("(?:^|\n)(\\+HTTPTOFS:[^\n]*?)\r\n"));
    const QRegularExpressionMatch match = line.match(reply);
    if (!match.hasMatch())
        return std::nullopt;
    return match.captured(1);
}

std::optional<DownloadReport> downloadReport(const QString &reportLine)
{
    static const QRegularExpression numbers(
            QRegularExpression::anchoredPattern(QStringLiteral("\\+HTTPTOFS: ?([0-9]{1,3}),([0-9]{1,10})")));
    const QRegularExpressionMatch match = numbers.match(reportLine);
    if (!match.hasMatch())
        return std::nullopt;
    return DownloadReport { match.captured(1).toInt(), match.captured(2).toLongLong() };
}

std::optional<QString> operatorCommand(QLocale::Country country)
{
    for (const OperatorRow &row : operatorTable) {
        if (row.country == country)
            return QString::fromLatin1(row.command);
    }
    return std::nullopt;
}

UpdateScript UpdateScript::standard()
{
    const QString ok = QStringLiteral("OK");
    const QString operatorSelected = QStringLiteral("+COPS: 0,");
    const QString accessPoint = QLatin1String(BuildSettings::accessPoint);
    const QString newImage = quoted(QStringLiteral("cust_app_new.bin"));
    const QString image = quoted(QStringLiteral("cust_app.bin"));
    const QString backup = quoted(QStringLiteral("cust_app_bck.bin"));

    using Role = CommandStep::Role;
    using Then = CommandStep::IfTimedOut;
    return { {
        { Role::Plain, QStringLiteral("AT+CMNB=1"), ok, 10000, Then::Harmless },
        { Role::Plain, QStringLiteral("AT+CBANDCFG=") + quoted(QStringLiteral("CAT-M")) + QStringLiteral(",2,3,8,20"), ok, 10000, Then::Harmless },
        { Role::Plain, QStringLiteral("AT+CNCFG=0,1,") + quoted(accessPoint), ok, 10000, Then::Harmless },
        { Role::Plain, QStringLiteral("AT+COPS=2"), ok, 10000, Then::Harmless },
        { Role::OperatorChoice, QString(), ok, 10000, Then::Harmless },
        { Role::Plain, QLatin1String(serialNumberCommand), ok, 10000, Then::Harmless },
        { Role::Plain, QStringLiteral("AT+CGATT=1"), ok, 30000, Then::Harmless },
        { Role::Plain, QStringLiteral("AT+CGATT=1"), ok, 30000, Then::Harmless },
        { Role::Plain, QStringLiteral("AT+COPS?"), operatorSelected, 15000, Then::Harmless },
        { Role::Plain, QStringLiteral("AT+COPS?"), operatorSelected, 30000, Then::Harmless },
        { Role::Plain, QStringLiteral("AT+COPS?"), operatorSelected, 15000, Then::Harmless },
        { Role::Plain, QStringLiteral("AT+CNACT=0,1"), QStringLiteral("+APP PDP: 0,ACTIVE"), 45000, Then::Harmless },
        { Role::Plain, QStringLiteral("AT+CNACT?"), ok, 5000, Then::Harmless },
        { Role::Plain, QStringLiteral("AT+CNCFG?"), ok, 5000, Then::Harmless },
        { Role::Download, QStringLiteral("AT+HTTPTOFS=") + quoted(firmwareUrl()) + u','
                  + quoted(QStringLiteral("/custapp/cust_app_new.bin")),
          QStringLiteral("+HTTPTOFS:"), 300000, Then::ReportDecides },
        { Role::FileSwap, QStringLiteral("AT+CFSINIT"), ok, 10000, Then::Stop },
        { Role::FileSwap, QStringLiteral("AT+CFSDFILE=0,") + backup, ok, 10000, Then::StopUnlessRefused },
        { Role::FileSwap, QStringLiteral("AT+CFSREN=0,") + image + u',' + backup, ok, 10000, Then::Stop },
        { Role::FileSwap, QStringLiteral("AT+CFSREN=0,") + newImage + u',' + image, ok, 10000, Then::Stop },
        { Role::FileSwap, QStringLiteral("AT+CFSTERM"), ok, 10000, Then::Stop },
        { Role::Plain, QStringLiteral("AT+CREBOOT"), ok, 10000, Then::Restart },
    } };
}
