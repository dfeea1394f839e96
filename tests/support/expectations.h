#pragma once

#include <QByteArrayList>
#include <QMap>
#include <QStringList>

// What a user sees and what a modem receives, written out independently of the program.
namespace Expected {

extern const QStringList banner;
extern const QStringList closingLines;
extern const QString downloadFailedLine;

enum class Download { Succeeds, Fails };

// The bytes of every command of a run, in order, with the operator selection of the
// locale's country (empty for none); a failed download leaves out the file swap.
QByteArrayList commands(const QByteArray &operatorSelection, Download download = Download::Succeeds);

// The text whose arrival ends a command's step, as the modem sends it.
QString awaitedReply(const QByteArray &command);

QString openLine(const QString &portName);

// From the "Open" line to the last closing line, without the modem's chunks; the
// download's failure line where the commands go from the download to the reboot.
QStringList runLines(const QString &portName, const QByteArrayList &commands);

// The same for a modem that never answers: every step times out, the download too.
QStringList unansweredRunLines(const QString &portName, const QByteArrayList &commands);

// The modem's files once a run swapped its images.
QMap<QString, QByteArray> filesAfterSwap();
// The modem's files before any run.
QMap<QString, QByteArray> filesBeforeRun();

}
