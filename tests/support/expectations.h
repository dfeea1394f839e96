#pragma once

#include <QByteArrayList>
#include <QStringList>

// What a user sees and what a modem receives, written out independently of the program.
namespace Expected {

extern const QStringList banner;
extern const QStringList closingLines;

// The bytes of every command of a complete run, in order, with the operator
// selection of the locale's country (empty for none).
QByteArrayList commands(const QByteArray &operatorSelection);

}
