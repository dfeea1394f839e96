#pragma once

#include <QFile>
#include <QString>

// The record of a run: created with a name no earlier run has, in the first folder that
// takes it.
class Record
{
public:
    bool open();
    // Its path once created, also after a write failed.
    QString path() const { return created ? file.fileName() : QString(); }
    // Why no folder took it: each folder's reason.
    QString whyNotWritten() const { return failure; }
    bool isOpen() const { return file.isOpen(); }
    // Returns why the bytes could not be written, after which the record is closed; or an
    // empty string.
    QString write(const QByteArray &bytes);

private:
    bool openIn(const QString &folder);

    QFile file;
    QString failure;
    bool created = false;
};
