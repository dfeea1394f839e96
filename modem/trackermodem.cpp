#include "modem/trackermodem.h"

#include "buildsettings.h"

#include <QRegularExpression>

#include <algorithm>

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

ReportLine::ReportLine(const QString &lineStart)
    : start(lineStart), kept(QStringLiteral("\n"))
{
}

bool ReportLine::take(QStringView text)
{
    if (ended)
        return true;
    if (started)
        return takeLine(text);
    QString received = kept;
    received += text;
    qsizetype at = received.indexOf(start);
    while (at >= 0 && (at == 0 || received.at(at - 1) != u'\n'))
        at = received.indexOf(start, at + 1);
    if (at < 0) {
        kept = received.right(start.size());
        return false;
    }
    started = true;
    kept.clear();
    return takeLine(QStringView(received).mid(at));
}

bool ReportLine::takeLine(QStringView text)
{
    if (crLast && text.startsWith(u'\n')) {
        finish(length - 1);
        return true;
    }
    const qsizetype end = text.indexOf(u"\r\n");
    const QStringView part = end >= 0 ? text.left(end) : text;
    if (kept.size() <= longestKeptLine)
        kept += part.left(longestKeptLine + 1 - kept.size());
    length += part.size();
    if (end >= 0) {
        finish(length);
        return true;
    }
    if (!text.isEmpty())
        crLast = text.endsWith(u'\r');
    return false;
}

void ReportLine::finish(qint64 lineLength)
{
    ended = true;
    wasCut = lineLength > longestKeptLine;
    kept.truncate(qsizetype(std::min<qint64>(lineLength, longestKeptLine)));
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
    using Does = CommandStep::Effect;
    return { {
        { Role::Plain, QStringLiteral("AT+CMNB=1"), ok, 10000, Does::None },
        { Role::Plain, QStringLiteral("AT+CBANDCFG=") + quoted(QStringLiteral("CAT-M")) + QStringLiteral(",2,3,8,20"), ok, 10000, Does::None },
        { Role::Plain, QStringLiteral("AT+CNCFG=0,1,") + quoted(accessPoint), ok, 10000, Does::None },
        { Role::Plain, QStringLiteral("AT+COPS=2"), ok, 10000, Does::None },
        { Role::OperatorChoice, QString(), ok, 10000, Does::None },
        { Role::Plain, QLatin1String(serialNumberCommand), ok, 10000, Does::None },
        { Role::Plain, QStringLiteral("AT+CGATT=1"), ok, 30000, Does::None },
        { Role::Plain, QStringLiteral("AT+CGATT=1"), ok, 30000, Does::None },
        { Role::Plain, QStringLiteral("AT+COPS?"), operatorSelected, 15000, Does::None },
        { Role::Plain, QStringLiteral("AT+COPS?"), operatorSelected, 30000, Does::None },
        { Role::Plain, QStringLiteral("AT+COPS?"), operatorSelected, 15000, Does::None },
        { Role::Plain, QStringLiteral("AT+CNACT=0,1"), QStringLiteral("+APP PDP: 0,ACTIVE"), 45000, Does::None },
        { Role::Plain, QStringLiteral("AT+CNACT?"), ok, 5000, Does::None },
        { Role::Plain, QStringLiteral("AT+CNCFG?"), ok, 5000, Does::None },
        { Role::Download, QStringLiteral("AT+HTTPTOFS=") + quoted(firmwareUrl()) + u','
                  + quoted(QStringLiteral("/custapp/cust_app_new.bin")),
          QStringLiteral("+HTTPTOFS:"), 300000, Does::None },
        { Role::FileSwap, QStringLiteral("AT+CFSINIT"), ok, 10000, Does::None },
        { Role::FileSwap, QStringLiteral("AT+CFSDFILE=0,") + backup, ok, 10000, Does::DeletesBackup },
        { Role::FileSwap, QStringLiteral("AT+CFSREN=0,") + image + u',' + backup, ok, 10000, Does::ImageToBackup },
        { Role::FileSwap, QStringLiteral("AT+CFSREN=0,") + newImage + u',' + image, ok, 10000, Does::NewImageToImage },
        { Role::FileSwap, QStringLiteral("AT+CFSTERM"), ok, 10000, Does::None },
        { Role::Plain, QStringLiteral("AT+CREBOOT"), ok, 10000, Does::Restarts },
    } };
}
