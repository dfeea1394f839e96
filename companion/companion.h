#pragma once

#include "companion/record.h"
#include "companion/runreading.h"

#include <QObject>
#include <QProcess>
#include <QTimer>

#include <atomic>
#include <memory>

// update-tracker's run: starts tracker-updater from its own folder, passes its lines
// through as they come, keeps them in a record, and ends with the verdict and its exit
// code. What differs between systems (how the updater is started and its lines read, how
// a stop reaches us, the window) is in companion_win.cpp and companion_unix.cpp.
class Companion : public QObject
{
    Q_OBJECT

public:
    Companion();
    ~Companion() override;

    int run();

public slots:
    void interrupt();
    void closing(const QString &why);

private:
    // Per system.
    void watchInterrupts();
    void stopWatchingInterrupts();
    bool startUpdater(const QString &program);
    bool endedByCtrlC() const;

    void passOn(const QByteArray &bytes);
    void showProgress(const QString &verdictWord = {});
    void followThePort();
    void checkThePort();
    void confirmPortGone();
    void keep(const QByteArray &bytes);
    void updaterEnded();
    void finish();
    void showVerdicts(const QList<RunVerdict> &verdicts);
    void nameTheRecord();
    QStringList keptInRollout(const QList<RunVerdict> &verdicts) const;

    QProcess updater;
    QTimer portWatch;
    QString watchedPort; // the tracker's, while its run goes on
    QString goneCandidate; // seen gone, confirmed a second later
    Record record;
    RunReading reading;
    qsizetype imeisInRecordName = 0;
    QString shownTitle;
    bool interrupted = false;
    bool closingNow = false;
    bool updaterFinished = false;
    bool outputEnded = false;
    int exitCode = companionFailedExitCode;
    std::unique_ptr<QObject> outputReader; // where the system needs one of our own
};

// update-tracker's own lines: on standard output, so that a script can take the verdict
// alone while the program's lines stay on standard error, as they always were.
void say(const QString &line);

// Per system: the updater's file name, and the line end of the record's lines.
extern const QString updaterName;
extern const QByteArray lineEnd;

// Per system: the console as the updater's bytes need it, before anything is written.
void prepareConsole();
// The console's modes as they were before the run, once all is written.
void restoreConsole();
// Set from the thread that hears it: the window is closing, or the session ending, and
// Windows ends this process within seconds.
extern std::atomic<bool> windowClosing;
// Whether the window was opened for this program alone (a double click), so that it
// would close with it before the verdict is read.
bool ownsItsConsole();
// What was typed during the run is not an answer to "Press Enter".
void discardTypedAhead();
// Waits for Enter; a stop then ends the program as Enter does.
void waitForEnter();
// The window's title, where the system has one.
void setWindowTitle(const QString &title);
// The verdict is in the record and the rollout file: a closing window may end us now.
void verdictKept();
