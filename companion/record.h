#pragma once

#include <QFile>
#include <QString>
#include <QStringList>

// The record of a run: created with a name no earlier run has, in the first folder that
// takes it.
class Record
{
public:
    // Where records go, the first that takes one.
    static QStringList folders();

    bool open();
    // Its path once created, also after a write failed.
    QString path() const { return created ? file.fileName() : QString(); }
    QString folder() const;
    // Why no folder took it: each folder's reason.
    QString whyNotWritten() const { return failure; }
    bool isOpen() const { return file.isOpen(); }
    // Returns why the bytes could not be written, after which the record is closed; or an
    // empty string.
    QString write(const QByteArray &bytes);
    // Its name gets the trackers' IMEIs, once read. Returns why the record cannot be
    // written on, as write() does.
    QString nameAfter(const QStringList &imeis);

private:
    bool openIn(const QString &folder);

    QFile file;
    QString stem; // the folder, and "update-" with the time
    QString failure;
    bool created = false;
};
