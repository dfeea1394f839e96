#include "companion/rolloutfile.h"

#include "companion/runreading.h"
#include "console/consoleline.h"
#include "buildsettings.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QLockFile>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

const QString RolloutFile::fileName = QStringLiteral("rollout.csv");
const QString RolloutFile::waitingFileName = QStringLiteral("rollout-waiting.csv");

namespace {

// The first word of the verdicts that count as an update: UPDATED.
const char *updatedWord()
{
    return verdictForm(Verdict::Updated).word;
}


const QByteArray lineEnd = "\r\n";
const QByteArray preamble = "sep=,\r\n"
                            "time,IMEI,port,verdict,exit code,version,access point,update host,record\r\n";

// A line longer than any written is skipped.
constexpr qint64 longestLine = 64 * 1024;
// The file is read in blocks: a line at a time would cost a system call or more per line.
constexpr qint64 readBlock = 1024 * 1024;
// Waiting lines are taken in passing: a companion that holds them does so briefly.
constexpr int waitingLockWaitMs = 2000;

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

// The columns as lineOf writes them, until the file's own heading names them: later
// versions may extend it.
struct Columns
{
    bool fromHeading = false;
    qsizetype time = 0;
    qsizetype imei = 1;
    qsizetype verdict = 3;
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

// For each of this run's IMEIs, the time of its last UPDATED line.
class EarlierUpdates
{
public:
    explicit EarlierUpdates(const QList<RolloutEntry> &entries)
    {
        for (const RolloutEntry &entry : entries) {
            if (!entry.imei.isEmpty())
                imeis.append(entry.imei.toUtf8());
        }
    }

    // Only lines that name one of the IMEIs are split: a large file costs one pass.
    void take(QByteArrayView line, Columns &columns)
    {
        if (!columns.fromHeading && line.contains("IMEI")) {
            const QList<QByteArray> fields = line.toByteArray().trimmed().split(',');
            columns = { true, fields.indexOf("time"), fields.indexOf("IMEI"), fields.indexOf("verdict") };
            return;
        }
        if (columns.time < 0 || columns.imei < 0 || columns.verdict < 0
            || std::none_of(imeis.cbegin(), imeis.cend(), [&line](const QByteArray &imei) { return line.contains(imei); }))
            return;
        const QList<QByteArray> fields = line.toByteArray().trimmed().split(',');
        if (fields.size() > std::max({ columns.time, columns.imei, columns.verdict }) && fields[columns.verdict] == updatedWord()
            && imeis.contains(fields[columns.imei]) && writtenTime(fields[columns.time]))
            updated.insert(QString::fromUtf8(fields[columns.imei]), QString::fromUtf8(fields[columns.time]));
    }

    // Reads the whole lines from the position on; returns the position after the last. A
    // line without its end yet is being written now: the next read takes it.
    qint64 read(QFile &file, qint64 from, Columns &columns)
    {
        if (!file.seek(from))
            return from;
        qint64 end = from;
        qint64 blockStart = from;
        QByteArray partial; // a line's start, from the blocks before
        bool skipping = false; // the rest of a line longer than any written
        for (QByteArray block; !(block = file.read(readBlock)).isEmpty(); blockStart += block.size()) {
            qsizetype start = 0;
            for (qsizetype newline; (newline = block.indexOf('\n', start)) >= 0; start = newline + 1) {
                const QByteArrayView piece(block.constData() + start, newline + 1 - start);
                if (!skipping) {
                    const QByteArrayView line = partial.isEmpty() ? piece : QByteArrayView(partial += piece);
                    take(line, columns);
                    if (!waiting.isEmpty() && waiting.contains(line.toByteArray()))
                        alreadyIn.insert(line.toByteArray());
                }
                partial.clear();
                skipping = false;
                end = blockStart + newline + 1;
            }
            if (!skipping)
                partial += QByteArrayView(block.constData() + start, block.size() - start);
            if (partial.size() > longestLine) {
                skipping = true;
                partial.clear();
            }
        }
        return end;
    }

    // For the entries in turn: each one UPDATED counts for those after it.
    void fillIn(QList<RolloutEntry> &entries)
    {
        for (RolloutEntry &entry : entries) {
            entry.updatedBefore = updated.value(entry.imei);
            if (entry.verdict == QLatin1String(updatedWord()) && !entry.imei.isEmpty())
                updated.insert(entry.imei, timeText(entry.time));
        }
    }

    // Waiting lines found in the file: a run that added them but could not remove their
    // file (a power cut, the file open in a spreadsheet) must not add them again.
    QSet<QByteArray> waiting;
    QSet<QByteArray> alreadyIn;

private:
    QList<QByteArray> imeis;
    QHash<QString, QString> updated;
};

// Why a file could not be written, with the C library's text where Qt has none.
QString failureOf(const QFileDevice &file, int number)
{
    const QString why = file.errorString();
    if (number != 0 && (why.isEmpty() || why == QLatin1String("Unknown error")))
        return cLibraryError(number);
    return why;
}

QString lockFailure(const QLockFile &lock, const QString &shown, int waitMs)
{
    switch (lock.error()) {
    case QLockFile::LockFailedError:
        return QStringLiteral("%1: another program held it for %2 s").arg(shown).arg(waitMs / 1000.0);
    case QLockFile::PermissionError:
        return QStringLiteral("%1.lock: permission denied").arg(shown);
    default:
        return QStringLiteral("%1.lock cannot be written").arg(shown);
    }
}

// Appends the bytes whole or not at all: a failed write is cut off again, unbuffered so
// that the cut does not first retry the write. Returns why it failed, or an empty string.
QString appendWhole(QFile &file, const QByteArray &bytes)
{
    const qint64 size = file.size();
    errno = 0;
    if (file.seek(size) && file.write(bytes) == bytes.size())
        return {};
    const QString why = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(file.fileName()), failureOf(file, errno));
    file.resize(size);
    return why;
}

// Whether a file is empty or its last line ended: a line left unfinished by hand or by a
// crash stays apart from the next.
bool endsLine(QFile &file)
{
    const qint64 size = file.size();
    return size == 0 || (file.seek(size - 1) && file.read(1) == "\n");
}

// A waiting file's whole lines, taken under its lock: they leave it once they are in the
// rollout file.
struct WaitingFile
{
    std::unique_ptr<QLockFile> lock;
    QString path;
    QList<QByteArray> lines;
};

// Years of runs' lines: a larger file is left as it is, and not read into memory.
constexpr qint64 mostWaitingBytes = 64 * 1024 * 1024;

// A waiting file's whole lines; none, and false, when it is not one to take.
bool readWholeLines(const QString &path, QList<QByteArray> &lines)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > mostWaitingBytes)
        return false;
    QList<QByteArray> pieces = file.read(mostWaitingBytes).split('\n');
    pieces.removeLast(); // after the last line end: nothing, or a line cut short
    for (const QByteArray &line : std::as_const(pieces)) {
        if (line.size() > 1 && line.size() <= longestLine)
            lines.append(line.endsWith('\r') ? line + '\n' : line + lineEnd);
    }
    return true;
}

// Lines from several waiting files, in the order of their times.
QList<QByteArray> inTimeOrder(const std::vector<WaitingFile> &waiting)
{
    QList<QByteArray> lines;
    for (const WaitingFile &file : waiting)
        lines += file.lines;
    std::stable_sort(lines.begin(), lines.end(),
                     [](const QByteArray &a, const QByteArray &b) { return a.left(a.indexOf(',')) < b.left(b.indexOf(',')); });
    return lines;
}

} // namespace

RolloutFile::RolloutFile(const QString &folder, const QStringList &waitingFolders) : filePath(folder + u'/' + fileName)
{
    for (const QString &waitingFolder : waitingFolders) {
        const QString path = QDir::cleanPath(waitingFolder + u'/' + waitingFileName);
        if (!waitingPaths.contains(path))
            waitingPaths.append(path);
    }
}

QString RolloutFile::add(QList<RolloutEntry> &entries, int lockWaitMs, Haste haste) const
{
    const QString shown = QDir::toNativeSeparators(filePath);
    const bool closing = haste == Haste::Closing;
    EarlierUpdates earlier(entries);
    QList<QByteArray> waitingBefore; // read without their locks
    for (const QString &path : closing ? QStringList() : waitingPaths)
        readWholeLines(path, waitingBefore);
    earlier.waiting = QSet<QByteArray>(waitingBefore.cbegin(), waitingBefore.cend());
    Columns columns;
    columns.time = columns.imei = columns.verdict = -1; // the file's heading names them
    // Read before the lock: the others wait only for what was added since.
    QFile reading(filePath);
    const qint64 read = !closing && reading.open(QIODevice::ReadOnly) ? earlier.read(reading, 0, columns) : 0;

    QString whyNot;
    QByteArray lines;
    {
        QLockFile lock(filePath + QStringLiteral(".lock"));
        QFile file(filePath);
        std::vector<WaitingFile> waiting;
        if (!lock.tryLock(lockWaitMs)) {
            whyNot = lockFailure(lock, shown, lockWaitMs);
        } else if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
            whyNot = QStringLiteral("%1: %2").arg(shown, failureOf(file, errno));
        } else {
            if (!closing && (reading.isOpen() || reading.open(QIODevice::ReadOnly)))
                earlier.read(reading, read, columns);
            for (const QString &path : closing ? QStringList() : waitingPaths) {
                auto waitingLock = std::make_unique<QLockFile>(path + QStringLiteral(".lock"));
                QList<QByteArray> waitingLines;
                if (QFile::exists(path) && waitingLock->tryLock(waitingLockWaitMs) && readWholeLines(path, waitingLines))
                    waiting.push_back({ std::move(waitingLock), path, waitingLines });
            }
            const qint64 size = file.size();
            if (size == 0)
                lines = preamble;
            else if (!endsLine(file))
                lines = lineEnd; // a line left unfinished by an older version stays apart from ours
            Columns ours;
            for (const QByteArray &line : inTimeOrder(waiting)) {
                earlier.take(line, ours);
                if (!earlier.alreadyIn.contains(line))
                    lines += line;
            }
            earlier.fillIn(entries);
            for (const RolloutEntry &entry : entries)
                lines += lineOf(entry);
            whyNot = appendWhole(file, lines);
            if (whyNot.isEmpty()) {
                QStringList notRemoved;
                for (const WaitingFile &taken : waiting) {
                    if (!QFile::remove(taken.path) && !QFile::resize(taken.path, 0))
                        notRemoved.append(QDir::toNativeSeparators(taken.path));
                }
                if (!notRemoved.isEmpty())
                    return QStringLiteral("update-tracker: the lines that waited in %1 are now in %2, but stay where "
                                          "they waited too: remove that file, or they go in again")
                            .arg(notRemoved.join(QStringLiteral(", ")), shown);
                return {};
            }
        }
    }

    // Its lines wait for a run that can write the file; they count as earlier lines too.
    if (lines.isEmpty() && !closing) {
        Columns ours;
        for (const QByteArray &line : std::as_const(waitingBefore))
            earlier.take(line, ours);
        earlier.fillIn(entries);
    }
    QByteArray ownLines;
    for (const RolloutEntry &entry : entries)
        ownLines += lineOf(entry);
    QStringList whyNotWaiting;
    for (const QString &path : waitingPaths) {
        QLockFile lock(path + QStringLiteral(".lock"));
        QFile waitingFile(path);
        QString failure;
        if (!QDir().mkpath(QFileInfo(path).absolutePath()))
            failure = QStringLiteral("%1 cannot be made").arg(QDir::toNativeSeparators(QFileInfo(path).absolutePath()));
        else if (!lock.tryLock(lockWaitMs))
            failure = lockFailure(lock, QDir::toNativeSeparators(path), lockWaitMs);
        else if (!waitingFile.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
            failure = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), failureOf(waitingFile, errno));
        else
            failure = appendWhole(waitingFile, endsLine(waitingFile) ? ownLines : lineEnd + ownLines);
        if (failure.isEmpty()) {
            return QStringLiteral("update-tracker: %1 cannot be written now (%2): this run's %3 in %4, and the next "
                                  "run that can write the file adds %5 first")
                    .arg(shown, whyNot, entries.size() == 1 ? QStringLiteral("line waits") : QStringLiteral("lines wait"),
                         QDir::toNativeSeparators(path), entries.size() == 1 ? QStringLiteral("it") : QStringLiteral("them"));
        }
        whyNotWaiting.append(failure);
    }
    return QStringLiteral("update-tracker: this run is not in the rollout file (%1)")
            .arg((QStringList { whyNot } + whyNotWaiting).join(QStringLiteral("; ")));
}
