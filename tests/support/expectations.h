#pragma once

#include <QByteArrayList>
#include <QMap>
#include <QStringList>

// What a user sees and what a modem receives, written out independently of the program.
namespace Expected {

extern const QStringList banner;
extern const QStringList closingLines;

// The bytes of every command of a complete run, in order, with the operator
// selection of the locale's country (empty for none).
QByteArrayList commands(const QByteArray &operatorSelection);

QString openLine(const QString &portName);

// From the "Open" line to the last closing line, without the modem's chunks.
QStringList runLines(const QString &portName, const QByteArrayList &commands);

// The modem's files once a run swapped its images.
QMap<QString, QByteArray> filesAfterSwap();

}
