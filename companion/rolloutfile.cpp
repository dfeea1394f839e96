#include "companion/rolloutfile.h"

#include "buildsettings.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QLockFile>

#include <algorithm>
#include <cstdlib>

const QString RolloutFile::fileName = QStringLiteral("rollout.csv");

namespace {

const QByteArray lineEnd = "\r\n";
const QByteArray preamble = "sep=,\r\n"
                            "time,IMEI,port,verdict,exit code,version,access point,update host,record\r\n";

// Long enough for any companion to read and append; a lock left by one that was killed
// is taken over once it is stale.
constexpr int lockWaitMs = 10000;

// A field holds no separator, quote or line end: a port name that would is shown with
// them replaced, rather than make the line a script cannot split.
QByteArray field(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    for (char &c : bytes) {
        if (c == ',' || c == '"' || c == '\r' || c == '\n')
            c = '_';
    }
    return bytes;
}

// The time as the file gives it: local, with its offset from UTC.
QString timeText(const QDateTime &time)
{
    const int offsetMinutes = time.offsetFromUtc() / 60;
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
            + QStringLiteral("%1%2:%3")
                      .arg(offsetMinutes < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                      .arg(std::abs(offsetMinutes) / 60, 2, 10, QLatin1Char('0'))
                      .arg(std::abs(offsetMinutes) % 60, 2, 10, QLatin1Char('0'));
}

QByteArray lineOf(const RolloutEntry &entry)
{
    const QString version = QStringLiteral(TRACKER_VERSION " (commit " TRACKER_COMMIT ")");
    const QStringList fields = {
        timeText(entry.time), entry.imei, entry.port, entry.verdict, QString::number(entry.exitCode),
        version, QLatin1String(BuildSettings::accessPoint), QLatin1String(BuildSettings::updateHost), entry.record,
    };
    QByteArray line;
    for (const QString &text : fields)
        line += field(text) + ',';
    line.chop(1);
    return line + lineEnd;
}

// The column named so in the file's own heading, which later versions may extend.
struct Columns
{
    qsizetype time = -1;
    qsizetype imei = -1;
    qsizetype verdict = -1;
};

// A time as lineOf writes it. The file may have been edited by hand, and its time reaches
// the console and the record: a line with anything else there, an escape or a carriage
// return that would overprint the verdict, is not taken.
bool writtenTime(const QByteArray &text)
{
    return !text.isEmpty() && std::all_of(text.cbegin(), text.cend(), [](char c) {
        return (c >= '0' && c <= '9') || c == '-' || c == ':' || c == ' ' || c == '+';
    });
}

// What earlier lines say: for each IMEI, the time of its last UPDATED line.
void readEarlierUpdates(QFile &file, QHash<QString, QString> &updated)
{
    Columns columns;
    while (!file.atEnd()) {
        const QList<QByteArray> fields = file.readLine().trimmed().split(',');
        if (columns.imei < 0) {
            columns = { fields.indexOf("time"), fields.indexOf("IMEI"), fields.indexOf("verdict") };
            continue;
        }
        const qsizetype needed = std::max({ columns.time, columns.imei, columns.verdict });
        if (columns.time >= 0 && columns.verdict >= 0 && fields.size() > needed
            && fields[columns.verdict] == "UPDATED" && !fields[columns.imei].isEmpty() && writtenTime(fields[columns.time]))
            updated.insert(QString::fromUtf8(fields[columns.imei]), QString::fromUtf8(fields[columns.time]));
    }
}

} // namespace

RolloutFile::RolloutFile(const QString &folder) : filePath(folder + u'/' + fileName) { }

QString RolloutFile::add(QList<RolloutEntry> &entries) const
{
    const QString shown = QDir::toNativeSeparators(filePath);
    QLockFile lock(filePath + QStringLiteral(".lock"));
    if (!lock.tryLock(lockWaitMs)) {
        switch (lock.error()) {
        case QLockFile::LockFailedError:
            return QStringLiteral("%1: another program held it for %2 s").arg(shown).arg(lockWaitMs / 1000);
        case QLockFile::PermissionError:
            return QStringLiteral("%1.lock: permission denied").arg(shown);
        default:
            return QStringLiteral("%1.lock cannot be written").arg(shown);
        }
    }
    QFile file(filePath);
    if (!file.open(QIODevice::ReadWrite))
        return QStringLiteral("%1: %2").arg(shown, file.errorString());

    QHash<QString, QString> updated;
    readEarlierUpdates(file, updated);
    const qint64 size = file.size();
    QByteArray lines;
    if (size == 0) {
        lines = preamble;
    } else if (file.seek(size - 1) && file.read(1) != "\n") {
        lines = lineEnd; // a line left unfinished, by a full disk say, stays apart from ours
    }
    for (RolloutEntry &entry : entries) {
        entry.updatedBefore = updated.value(entry.imei);
        lines += lineOf(entry);
        if (entry.verdict == QLatin1String("UPDATED") && !entry.imei.isEmpty())
            updated.insert(entry.imei, timeText(entry.time));
    }
    if (!file.seek(size) || file.write(lines) != lines.size() || !file.flush()) {
        const QString reason = file.errorString();
        file.resize(size); // no half line for the next companion to append to
        return QStringLiteral("%1: %2").arg(shown, reason);
    }
    return {};
}
