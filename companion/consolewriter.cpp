#include "companion/consolewriter.h"

#include "app/consoleline.h"

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
};

struct Writer
{
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Item> queue;
    qsizetype heldBytes = 0;
    qint64 leftOut = 0;
    bool running = false;
    bool finishing = false;
    std::thread thread;

    void write(const Item &item)
    {
        if (item.kind == Item::Kind::LeftOut)
            return;
        if (item.kind == Item::Kind::Own) {
            printLine(item.line);
            std::fflush(stdout);
        } else {
            std::fwrite(item.bytes.constData(), 1, size_t(item.bytes.size()), stderr);
            std::fflush(stderr);
        }
    }

    void run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return !queue.empty() || finishing; });
            if (queue.empty()) {
                if (leftOut > 0)
                    queue.push_back({ Item::Kind::LeftOut, {}, {} }); // for the line on what was left out
                else
                    return;
            }
            const Item item = std::move(queue.front());
            queue.pop_front();
            heldBytes -= item.bytes.size();
            const qint64 missed = queue.empty() ? std::exchange(leftOut, 0) : 0;
            lock.unlock();
            write(item);
            if (missed > 0) {
                write({ Item::Kind::Own, {}, QStringLiteral("update-tracker: the window held its output, and %1 bytes of "
                                                 "tracker-updater's lines are not shown above; the record has them all")
                                          .arg(missed) });
            }
            lock.lock();
        }
    }
};

Writer writer;

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
            if (writer.heldBytes + bytes.size() > heldBytesBound) {
                writer.leftOut += bytes.size();
                return;
            }
            writer.heldBytes += bytes.size();
            writer.queue.push_back({ Item::Kind::Program, bytes, {} });
            writer.changed.notify_one();
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
            writer.queue.push_back({ Item::Kind::Own, {}, line });
            writer.changed.notify_one();
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
        writer.finishing = true;
        writer.changed.notify_one();
    }
    writer.thread.join();
    const std::lock_guard<std::mutex> lock(writer.mutex);
    writer.running = false;
}
