#include "companion/record.h"

#include "app/consoleline.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QStandardPaths>

#include <cerrno>

bool Record::open()
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString localData = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    const QStringList folders = {
        QCoreApplication::applicationDirPath() + QStringLiteral("/records"),
        documents.isEmpty() ? QString() : documents + QStringLiteral("/tracker-updater records"),
        localData.isEmpty() ? QString() : localData + QStringLiteral("/records"),
    };
    QStringList reasons;
    for (const QString &folder : folders) {
        if (folder.isEmpty())
            continue;
        if (openIn(folder))
            return true;
        reasons.append(failure);
    }
    failure = reasons.join(QStringLiteral("; "));
    return false;
}

bool Record::openIn(const QString &folder)
{
    if (!QDir().mkpath(folder)) {
        failure = QStringLiteral("%1 cannot be made").arg(QDir::toNativeSeparators(folder));
        return false;
    }
    const QString stem = folder + QStringLiteral("/update-")
            + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-HHmmss"));
    // A second run in the same second gets the next free number.
    for (int number = 1; number <= 100; ++number) {
        file.setFileName(stem + (number == 1 ? QString() : QStringLiteral("-%1").arg(number)) + QStringLiteral(".txt"));
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return created = true;
        if (!file.exists())
            break;
    }
    failure = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(file.fileName()), file.errorString());
    return false;
}

QString Record::write(const QByteArray &bytes)
{
    if (!file.isOpen())
        return {};
    errno = 0;
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        // Where Qt has no text for it ("Unknown error"), the C library's.
        const int number = errno;
        QString why = file.errorString();
        if (number != 0 && (file.error() == QFileDevice::NoError || why.isEmpty() || why == QLatin1String("Unknown error")))
            why = cLibraryError(number);
        file.close();
        return why;
    }
    return {};
}
