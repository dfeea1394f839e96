#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QList>
#include <QMap>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

// How the simulated modem answers.
struct ModemBehaviour
{
    enum class Mode {
        Answering, // echo at once, reply replyDelayMs later, like the real modem
        OnePiece,  // echo and the whole reply in one write, at once
        Silent,    // never answers
        Error,     // echo, then ERROR to everything
        Scripted,  // answers each command with the next reply queued by the test
    };
    Mode mode = Mode::Answering;
    int replyDelayMs = 5;
    int attachDelayMs = 0;     // extra pause before answering a network attach
    int activationDelayMs = 20; // from OK to "+APP PDP: 0,ACTIVE"
    int unregisteredQueries = 0; // the first this many operator queries find no network yet: "+COPS: 2"
    int downloadDelayMs = 50;  // from OK to "+HTTPTOFS: <status>,<size>"
    int downloadStatus = 200;  // HTTP status, or from 600 up the modem's network error; a 2xx one writes the file
    bool downloadEmpty = false; // status 200, but the file written is empty
    bool downloadSilent = false; // the download never reports
    int downloadFloodBytes = 0; // above 0: the report's status is this many digits, then its line end
    QByteArray downloadReportPrefix; // what the modem puts before the report on its line
    QByteArray downloadReportExtra; // what it puts after the report's size, before its line end
    int downloadSplitMs = -1;  // the report's rest follows its first downloadSplitAt bytes this much later (-1: at once)
    int downloadSplitAt = 10;  // 10: right after "+HTTPTOFS:"
    bool downloadReportUnspaced = false; // "+HTTPTOFS:200,<size>": no space after the colon
    bool downloadReportAlone = false; // the download command gets its report alone: no echo, no OK before it
    int unplugAfterCommands = -1; // the tracker vanishes once it received this many commands
    bool noBackup = false; // no backup image yet, as before a tracker's first update
    QByteArray imei = "869951040000017"; // its answer to AT+GSN
    QByteArrayList unansweredPrefixes; // commands beginning with one get no echo, no reply and do nothing
    QByteArrayList latePrefixes; // commands beginning with one are answered in the last wait of a 10 s step
};

// Bytes the modem sends a given time after the command that triggers them.
struct TimedReply
{
    int delayMs;
    QByteArray bytes;
};

// A tracker on a pseudo-terminal: the program sees the slave side as a serial port,
// a thread on the master side plays the modem, with its own small file system.
class SimulatedTracker
{
public:
    static const QByteArray currentImage;
    static const QByteArray backupImage;

    SimulatedTracker(const QString &portName, const QString &description, ModemBehaviour modemBehaviour = {});
    ~SimulatedTracker();
    SimulatedTracker(const SimulatedTracker &) = delete;
    SimulatedTracker &operator=(const SimulatedTracker &) = delete;

    // Empty once the port is listed by the enumeration; otherwise why it is not.
    QString error() const { return setupError; }

    void unplug();

    // Takes effect from the next command on.
    void setBehaviour(const ModemBehaviour &newBehaviour);

    // Scripted mode: the replies to the next command that has none yet.
    void queueReply(const QList<TimedReply> &reply);

    QByteArray received() const;
    // The commands in what it received, cut where it cuts them: at CR (with an LF right
    // after it); bytes after the last CR are no command yet.
    QByteArrayList receivedCommands() const;
    QByteArray sent() const;
    QMap<QString, QByteArray> files() const;

private:
    struct Outgoing
    {
        qint64 dueMs;
        QByteArray bytes;
    };

    void run();
    void handleInput(const QByteArray &bytes, qint64 nowMs);
    void answer(const QByteArray &command, qint64 nowMs);
    QByteArray replyTo(const QByteArray &command, QList<TimedReply> &later);
    QByteArray fileCommand(const QByteArray &command);
    void vanish();

    const QString name;
    ModemBehaviour behaviour;
    QString setupError;
    int masterFd = -1;
    int slaveFd = -1;
    int wakeFd = -1;
    std::atomic<bool> plugged { false };
    std::atomic<bool> stopping { false };

    mutable std::mutex mutex;
    QByteArray input;
    QByteArray receivedBytes;
    QByteArray sentBytes;
    int commands = 0;
    QList<QList<TimedReply>> scriptedReplies;
    QList<Outgoing> outgoing;
    QMap<QString, QByteArray> fileSystem;
    bool fileSystemOpen = false;
    QByteArray accessPoint;
    int operatorQueries = 0;

    std::thread modem;
};
