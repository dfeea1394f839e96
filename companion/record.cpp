#include "companion/record.h"

#include "console/consoleline.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>

QStringList Record::folders()
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString localData = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QStringList all = {
        QCoreApplication::applicationDirPath() + QStringLiteral("/records"),
        documents.isEmpty() ? QString() : documents + QStringLiteral("/tracker-updater records"),
        localData.isEmpty() ? QString() : localData + QStringLiteral("/records"),
    };
    all.removeAll(QString());
    return all;
}

bool Record::open()
{
    QStringList reasons;
    for (const QString &folder : folders()) {
        if (openIn(folder))
            return true;
        reasons.append(failure);
    }
    failure = reasons.join(QStringLiteral("; "));
    return false;
}

QString Record::folder() const
{
    return QFileInfo(file).absolutePath();
}

bool Record::openIn(const QString &folder)
{
    if (!QDir().mkpath(folder)) {
        failure = QStringLiteral("%1 cannot be made").arg(QDir::toNativeSeparators(folder));
        return false;
    }
    stem = folder + QStringLiteral("/update-")
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

QString Record::nameAfter(const QStringList &imeis)
{
    if (!created)
        return {};
    const QString named = stem + u'-' + imeis.join(u'-');
    // One cut short is renamed too, and stays closed.
    const bool wasOpen = file.isOpen();
    file.close(); // Windows renames no file that is open
    // The first free name: rename() never replaces a file.
    for (int number = 1; number <= 100; ++number) {
        const QString name = named + (number == 1 ? QString() : QStringLiteral("-%1").arg(number)) + QStringLiteral(".txt");
        if (file.rename(name) || !QFile::exists(name))
            break; // renamed, or kept under the name it has
    }
    if (wasOpen && !file.open(QIODevice::WriteOnly | QIODevice::Append))
        return file.errorString();
    return {};
}
