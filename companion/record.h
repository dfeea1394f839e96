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
    QString path() const { return file.fileName(); }
    QString folder() const;
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
};
