#include "companion/consolewriter.h"

#include "console/consoleline.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

namespace {

// Far more than a run prints while a technician reads: only a flood reaches it.
constexpr qsizetype heldBytesBound = 4 * 1024 * 1024;

struct Item
{
    enum class Kind { Program, Own, LeftOut } kind;
    QByteArray bytes; // tracker-updater's
    QString line;     // ours
    qint64 leftOut = 0;
};

struct Writer
{
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Item> queue;
    qsizetype heldBytes = 0;
    qint64 leftOut = 0; // since the last line that said so
    bool leaving = false; // from the bound until the window has taken half of what it held
    bool lineOpen = false; // the program's last bytes shown end in the middle of a line
    bool running = false;
    bool finishing = false;
    std::thread thread;

    void write(const Item &item)
    {
        switch (item.kind) {
        case Item::Kind::Program:
            std::fwrite(item.bytes.constData(), 1, size_t(item.bytes.size()), stderr);
            std::fflush(stderr);
            if (!item.bytes.isEmpty())
                lineOpen = !item.bytes.endsWith('\n');
            break;
        case Item::Kind::LeftOut:
            if (std::exchange(lineOpen, false)) {
                std::fputc('\n', stderr);
                std::fflush(stderr);
            }
            printLine(QStringLiteral("update-tracker: the window held its output, and %1 bytes of tracker-updater's "
                                     "lines are not shown above; the record has them all")
                              .arg(item.leftOut));
            std::fflush(stdout);
            break;
        case Item::Kind::Own:
            printLine(item.line);
            std::fflush(stdout);
            break;
        }
    }

    // Called with the mutex held: where bytes were left out, the line that says so comes
    // in their place.
    void enqueue(Item item)
    {
        if (leftOut > 0)
            queue.push_back({ Item::Kind::LeftOut, {}, {}, std::exchange(leftOut, 0) });
        heldBytes += item.bytes.size();
        queue.push_back(std::move(item));
        changed.notify_one();
    }

    void run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return !queue.empty() || finishing; });
            if (queue.empty())
                return;
            const Item item = std::move(queue.front());
            queue.pop_front();
            heldBytes -= item.bytes.size();
            if (heldBytes < heldBytesBound / 2)
                leaving = false;
            lock.unlock();
            write(item);
            lock.lock();
        }
    }
};

// Never destroyed: a process ended while the thread still writes (a closing window) must
// not run a destructor over a thread that is joinable.
Writer &writer = *new Writer;

} // namespace

void ConsoleWriter::start()
{
    const std::lock_guard<std::mutex> lock(writer.mutex);
    if (writer.running)
        return;
    writer.running = true;
    writer.finishing = false;
    writer.thread = std::thread([] { writer.run(); });
}

void ConsoleWriter::programBytes(const QByteArray &bytes)
{
    {
        const std::lock_guard<std::mutex> lock(writer.mutex);
        if (writer.running) {
            writer.leaving = writer.leaving || writer.heldBytes + bytes.size() > heldBytesBound;
            if (writer.leaving)
                writer.leftOut += bytes.size();
            else
                writer.enqueue({ Item::Kind::Program, bytes, {} });
            return;
        }
    }
    writer.write({ Item::Kind::Program, bytes, {} });
}

void ConsoleWriter::ownLine(const QString &line)
{
    {
        const std::lock_guard<std::mutex> lock(writer.mutex);
        if (writer.running) {
            writer.enqueue({ Item::Kind::Own, {}, line });
            return;
        }
    }
    writer.write({ Item::Kind::Own, {}, line });
}

void ConsoleWriter::finish()
{
    {
        const std::lock_guard<std::mutex> lock(writer.mutex);
        if (!writer.running)
            return;
        if (writer.leftOut > 0)
            writer.queue.push_back({ Item::Kind::LeftOut, {}, {}, std::exchange(writer.leftOut, 0) });
        writer.finishing = true;
        writer.changed.notify_one();
    }
    writer.thread.join();
    const std::lock_guard<std::mutex> lock(writer.mutex);
    writer.running = false;
}
