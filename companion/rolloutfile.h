#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// The rollout file: one line per tracker per run, kept beside the records, so that the
// maintainer learns from one file which trackers are done, which failed and why, and
// which were run twice. Every companion on the computer appends to it.
//
// Its form: comma-separated values whose first line is "sep=,", with CR LF line ends.
// Excel on Windows opens it as columns whatever the user's list separator, which a plain
// CSV file does not (a German desktop splits at ';'), and a tab-separated one does only
// through its import dialog. Excel reads such a file in the ANSI code page: every field
// is ASCII (a port name aside, which on Windows is COMn). No field holds a comma, a quote
// or a line end, so a script may split the lines as they are.
//
// A line that cannot go in now (the file open in a spreadsheet, a full disk) waits in
// rollout-waiting.csv, beside it or in the next folder that takes it, and goes in first
// with the next run that can write the file.
struct RolloutEntry
{
    QDateTime time;
    QString imei; // empty when the run did not read it
    QString port;
    QString verdict; // the verdict line's first words: UPDATED, NOT UPDATED, STOP
    int exitCode = 0;
    QString record; // the record's file name, empty when none was kept

    // Set by RolloutFile::add: when the file or the lines waiting for it last said this
    // tracker was UPDATED, as the file gives the time; empty when never.
    QString updatedBefore;
};

class RolloutFile
{
public:
    static const QString fileName;
    static const QString waitingFileName;

    // The file in folder; lines that cannot go in wait in the first of waitingFolders that
    // takes them, and every one of them is looked into for lines still waiting.
    RolloutFile(const QString &folder, const QStringList &waitingFolders);
    QString path() const { return filePath; }

    // Appends the lines still waiting, then a line per entry, under a lock that every
    // companion takes, so that lines of two companions never mix; fills in each entry's
    // updatedBefore. Returns a line for the window when the entries' lines did not go in
    // (where they wait, or why they are lost), or an empty string.
    // Closing: the window is closing, and Windows ends this process within seconds: the
    // entries' lines go in or wait at once, nothing else is read or moved.
    enum class Haste { Normal, Closing };
    QString add(QList<RolloutEntry> &entries, int lockWaitMs, Haste haste = Haste::Normal) const;

private:
    QString filePath;
    QStringList waitingPaths;
};
