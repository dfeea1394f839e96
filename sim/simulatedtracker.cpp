#include "simulatedtracker.h"

#include "simulatedsystem.h"

#include <chrono>
#include <fcntl.h>
#include <algorithm>
#include <utility>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QByteArray ok = "\r\nOK\r\n";
const QByteArray errorReply = "\r\nERROR\r\n";
const QByteArray fileDirectory = "/custapp/";
// A late answer, from its command on.
constexpr int lateReplyStartMs = 9400;
constexpr int lateReplyRestMs = 10250;

qint64 nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The arguments after '=', split at commas outside double quotes, quotes removed.
QList<QByteArray> argumentsOf(const QByteArray &command)
{
    QList<QByteArray> arguments;
    const qsizetype equals = command.indexOf('=');
    if (equals < 0)
        return arguments;
    QByteArray current;
    bool inQuotes = false;
    for (const char c : command.mid(equals + 1)) {
        if (c == '"')
            inQuotes = !inQuotes;
        else if (c == ',' && !inQuotes)
            arguments.append(std::exchange(current, {}));
        else
            current.append(c);
    }
    arguments.append(current);
    return arguments;
}

} // namespace

const QByteArray SimulatedTracker::currentImage = "firmware 1.4 (running)\n";
const QByteArray SimulatedTracker::backupImage = "firmware 1.3 (backup)\n";

SimulatedTracker::SimulatedTracker(const QString &portName, const QString &description,
                                   ModemBehaviour modemBehaviour)
    : name(portName), behaviour(modemBehaviour)
{
    fileSystem.insert(QStringLiteral("cust_app.bin"), currentImage);
    if (!behaviour.noBackup)
        fileSystem.insert(QStringLiteral("cust_app_bck.bin"), backupImage);

    char slavePath[128] = {};
    if (::openpty(&masterFd, &slaveFd, slavePath, nullptr, nullptr) != 0) {
        setupError = QStringLiteral("cannot open a pseudo-terminal");
        return;
    }
    // A master inherited by a child would keep the port alive after an unplug.
    ::fcntl(masterFd, F_SETFD, FD_CLOEXEC);
    ::fcntl(slaveFd, F_SETFD, FD_CLOEXEC);
    // Raw from the start, so nothing the modem sends early is echoed back by the line discipline.
    termios raw {};
    ::tcgetattr(slaveFd, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slaveFd, TCSANOW, &raw);

    setupError = SimulatedSystem::plugPort(portName, description, QString::fromLocal8Bit(slavePath));
    if (!setupError.isEmpty())
        return;
    // Never block on a program that stops reading: the modem must stay stoppable.
    ::fcntl(masterFd, F_SETFL, ::fcntl(masterFd, F_GETFL) | O_NONBLOCK);
    plugged = true;
    wakeFd = ::eventfd(0, EFD_CLOEXEC);
    modem = std::thread(&SimulatedTracker::run, this);
}

SimulatedTracker::~SimulatedTracker()
{
    unplug();
    if (wakeFd >= 0)
        ::close(wakeFd);
}

void SimulatedTracker::unplug()
{
    stopping = true;
    if (wakeFd >= 0) {
        const quint64 one = 1;
        [[maybe_unused]] const auto written = ::write(wakeFd, &one, sizeof one);
    }
    if (modem.joinable())
        modem.join();
    vanish();
}

void SimulatedTracker::vanish()
{
    std::lock_guard lock(mutex);
    // Only what this tracker plugged in: a port of the same name may belong to another.
    if (plugged.exchange(false))
        SimulatedSystem::unplugPort(name);
    if (masterFd < 0)
        return;
    ::close(masterFd);
    ::close(slaveFd);
    masterFd = slaveFd = -1;
}

void SimulatedTracker::setBehaviour(const ModemBehaviour &newBehaviour)
{
    std::lock_guard lock(mutex);
    behaviour = newBehaviour;
}

void SimulatedTracker::queueReply(const QList<TimedReply> &reply)
{
    std::lock_guard lock(mutex);
    scriptedReplies.append(reply);
}

QByteArray SimulatedTracker::received() const
{
    std::lock_guard lock(mutex);
    return receivedBytes;
}

QByteArrayList SimulatedTracker::receivedCommands() const
{
    std::lock_guard lock(mutex);
    QByteArrayList pieces;
    qsizetype start = 0;
    qsizetype end;
    while ((end = receivedBytes.indexOf('\r', start)) >= 0) {
        if (receivedBytes.size() > end + 1 && receivedBytes[end + 1] == '\n')
            ++end;
        const QByteArray piece = receivedBytes.mid(start, end + 1 - start);
        // Line ends alone make no command.
        if (piece.size() > piece.count('\r') + piece.count('\n'))
            pieces.append(piece);
        start = end + 1;
    }
    return pieces;
}

QByteArray SimulatedTracker::sent() const
{
    std::lock_guard lock(mutex);
    return sentBytes;
}

QMap<QString, QByteArray> SimulatedTracker::files() const
{
    std::lock_guard lock(mutex);
    return fileSystem;
}

void SimulatedTracker::run()
{
    while (!stopping) {
        int waitMs = -1;
        bool portFull = false;
        {
            std::lock_guard lock(mutex);
            const qint64 now = nowMs();
            while (!outgoing.isEmpty() && outgoing.first().dueMs <= now) {
                QByteArray &bytes = outgoing.first().bytes;
                const ssize_t written = ::write(masterFd, bytes.constData(), bytes.size());
                if (written > 0) {
                    sentBytes += bytes.left(written);
                    bytes.remove(0, written);
                }
                if (!bytes.isEmpty()) {
                    portFull = true; // the program is not reading: go on once it does
                    break;
                }
                outgoing.removeFirst();
            }
            if (!outgoing.isEmpty() && !portFull)
                waitMs = int(std::max<qint64>(0, outgoing.first().dueMs - now));
        }

        const short events = portFull ? POLLIN | POLLOUT : POLLIN;
        pollfd fds[2] = { { masterFd, events, 0 }, { wakeFd, POLLIN, 0 } };
        if (::poll(fds, 2, waitMs) <= 0)
            continue;
        if (fds[1].revents & POLLIN) {
            quint64 wakes;
            [[maybe_unused]] const auto count = ::read(wakeFd, &wakes, sizeof wakes);
            continue;
        }
        if (fds[0].revents & POLLIN) {
            char buffer[4096];
            const ssize_t count = ::read(masterFd, buffer, sizeof buffer);
            if (count > 0)
                handleInput(QByteArray(buffer, count), nowMs());
        }
    }
}

void SimulatedTracker::handleInput(const QByteArray &bytes, qint64 now)
{
    QList<QByteArray> lines;
    {
        std::lock_guard lock(mutex);
        receivedBytes += bytes;
        input += bytes;
        qsizetype end;
        while ((end = input.indexOf('\r')) >= 0) {
            lines.append(input.left(end));
            input.remove(0, end + 1);
        }
    }
    for (QByteArray line : lines) {
        // A command ends at CR; the LF after it belongs to no command.
        if (line.startsWith('\n'))
            line.remove(0, 1);
        if (!line.isEmpty() && plugged)
            answer(line, now);
    }
}

void SimulatedTracker::answer(const QByteArray &command, qint64 now)
{
    std::unique_lock lock(mutex);
    ++commands;
    if (behaviour.unplugAfterCommands >= 0 && commands >= behaviour.unplugAfterCommands) {
        lock.unlock();
        vanish();
        stopping = true;
        return;
    }

    const auto unanswered = [&command](const QByteArray &prefix) { return command.startsWith(prefix); };
    if (std::any_of(behaviour.unansweredPrefixes.cbegin(), behaviour.unansweredPrefixes.cend(), unanswered))
        return;

    const QByteArray echo = command + "\r\n";
    auto send = [this](qint64 dueMs, const QByteArray &bytes) {
        const auto later = std::upper_bound(outgoing.begin(), outgoing.end(), dueMs,
                                            [](qint64 due, const Outgoing &o) { return due < o.dueMs; });
        outgoing.insert(later, Outgoing { dueMs, bytes });
    };

    switch (behaviour.mode) {
    case ModemBehaviour::Mode::Silent:
        break;
    case ModemBehaviour::Mode::Scripted:
        if (!scriptedReplies.isEmpty()) {
            for (const TimedReply &reply : scriptedReplies.takeFirst())
                send(now + reply.delayMs, reply.bytes);
        }
        break;
    case ModemBehaviour::Mode::Error:
        send(now, echo + errorReply);
        break;
    case ModemBehaviour::Mode::OnePiece:
    case ModemBehaviour::Mode::Answering: {
        QList<TimedReply> later;
        const QByteArray reply = replyTo(command, later);
        if (behaviour.mode == ModemBehaviour::Mode::OnePiece) {
            QByteArray all = echo + reply;
            for (const TimedReply &urc : later)
                all += urc.bytes;
            send(now, all);
            break;
        }
        const int attach = command == "AT+CGATT=1" ? behaviour.attachDelayMs : 0;
        const qint64 replyAt = now + behaviour.replyDelayMs + attach;
        if (std::any_of(behaviour.latePrefixes.cbegin(), behaviour.latePrefixes.cend(), unanswered)) {
            // The reply's first line end starts the program's last wait of a 10 s step; the
            // rest comes in that wait, after the limit: "Timed out" shows under the answer.
            send(now, echo);
            send(now + lateReplyStartMs, reply.left(2));
            send(now + lateReplyRestMs, reply.mid(2));
        } else if (!(behaviour.downloadReportAlone && command.startsWith("AT+HTTPTOFS="))) {
            send(now, echo);
            send(replyAt, reply);
        }
        for (const TimedReply &urc : later)
            send(replyAt + urc.delayMs, urc.bytes);
        break;
    }
    }
}

// Called with the mutex held.
QByteArray SimulatedTracker::replyTo(const QByteArray &command, QList<TimedReply> &later)
{
    if (command == "AT+COPS?") {
        if (++operatorQueries <= behaviour.unregisteredQueries)
            return "\r\n+COPS: 2\r\n" + ok;
        return "\r\n+COPS: 0,2,\"20801\",9\r\n" + ok;
    }
    if (command == "AT+GSN")
        return "\r\n" + behaviour.imei + "\r\n" + ok;
    if (command == "AT+CNCFG?")
        return "\r\n+CNCFG: 0,1,\"" + accessPoint + "\",\"\",\"\",0\r\n" + ok;
    if (command.startsWith("AT+CNCFG=")) {
        accessPoint = argumentsOf(command).value(2);
        return ok;
    }
    if (command == "AT+CNACT=0,1") {
        later.append({ behaviour.activationDelayMs, "\r\n+APP PDP: 0,ACTIVE\r\n" });
        return ok;
    }
    if (command == "AT+CNACT?")
        return "\r\n+CNACT: 0,1,\"10.64.12.7\"\r\n" + ok;
    if (command.startsWith("AT+HTTPTOFS=")) {
        const QList<QByteArray> arguments = argumentsOf(command);
        QByteArray path = arguments.value(1);
        if (path.startsWith(fileDirectory))
            path.remove(0, fileDirectory.size());
        if (behaviour.downloadSilent)
            return ok;
        QByteArray image;
        // A successful status brings a body, whole or not: the status alone tells which.
        if (behaviour.downloadStatus / 100 == 2) {
            if (!behaviour.downloadEmpty)
                image = "firmware downloaded from " + arguments.value(0) + '\n';
            fileSystem.insert(QString::fromUtf8(path), image);
        }
        const QByteArray keyword = behaviour.downloadReportUnspaced ? "+HTTPTOFS:" : "+HTTPTOFS: ";
        const QByteArray report = behaviour.downloadFloodBytes > 0
                ? keyword + QByteArray(behaviour.downloadFloodBytes, '2') + "\r\n"
                : keyword + QByteArray::number(behaviour.downloadStatus) + ',' + QByteArray::number(image.size())
                        + behaviour.downloadReportExtra + "\r\n";
        const QByteArray lineStart = behaviour.downloadReportAlone ? QByteArray() : "\r\n" + behaviour.downloadReportPrefix;
        if (behaviour.downloadSplitMs < 0) {
            later.append({ behaviour.downloadDelayMs, lineStart + report });
        } else {
            later.append({ behaviour.downloadDelayMs, lineStart + report.left(behaviour.downloadSplitAt) });
            later.append({ behaviour.downloadDelayMs + behaviour.downloadSplitMs, report.mid(behaviour.downloadSplitAt) });
        }
        return ok;
    }
    if (command.startsWith("AT+CFS"))
        return fileCommand(command);
    return command.startsWith("AT") ? ok : errorReply;
}

// The modem's file operations in directory 0, which need an open file system.
QByteArray SimulatedTracker::fileCommand(const QByteArray &command)
{
    if (command == "AT+CFSINIT") {
        fileSystemOpen = true;
        return ok;
    }
    if (command == "AT+CFSTERM") {
        fileSystemOpen = false;
        return ok;
    }
    const QList<QByteArray> arguments = argumentsOf(command);
    if (!fileSystemOpen || arguments.value(0) != "0")
        return errorReply;
    const QString from = QString::fromUtf8(arguments.value(1));
    if (command.startsWith("AT+CFSDFILE=") && arguments.size() == 2)
        return fileSystem.remove(from) ? ok : errorReply;
    if (command.startsWith("AT+CFSREN=") && arguments.size() == 3) {
        const QString to = QString::fromUtf8(arguments.value(2));
        if (!fileSystem.contains(from) || fileSystem.contains(to))
            return errorReply;
        fileSystem.insert(to, fileSystem.take(from));
        return ok;
    }
    return errorReply;
}
