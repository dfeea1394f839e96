#include "simulatedsystem.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStringList>

#include <cerrno>
#include <mutex>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SimulatedSystem {
namespace {

bool entered = false;
// Trackers vanish from their own threads.
std::mutex portsMutex;
QHash<QString, QString> usbDeviceOfPort;
int nextUsbDevice = 1;

QString systemError(const char *what, const QByteArray &path)
{
    return QStringLiteral("%1 %2: %3").arg(QLatin1String(what), QString::fromLocal8Bit(path),
                                           QString::fromLocal8Bit(std::strerror(errno)));
}

// Shared ones (mode 1777) also take no device nodes.
QString mountTmpfs(const QByteArray &path, bool shared = false)
{
    const unsigned long flags = shared ? MS_NOSUID | MS_NODEV : MS_NOSUID;
    if (::mount("tmpfs", path.constData(), "tmpfs", flags, shared ? "mode=1777" : "mode=0755") != 0)
        return systemError("cannot mount a tmpfs on", path);
    return {};
}

QString bindMount(const QByteArray &from, const QByteArray &to)
{
    if (::mount(from.constData(), to.constData(), nullptr, MS_BIND, nullptr) != 0)
        return systemError("cannot bind-mount onto", to);
    return {};
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

bool touch(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

// A /dev with only what a terminal program needs; port nodes are added by plugPort.
QString replaceDev()
{
    char stagingTemplate[] = "/tmp/simulated-dev-XXXXXX";
    if (!::mkdtemp(stagingTemplate))
        return systemError("cannot create", stagingTemplate);
    const QByteArray staging = stagingTemplate;
    QString error = mountTmpfs(staging);
    if (!error.isEmpty())
        return error;

    for (const char *node : { "null", "zero", "full", "random", "urandom", "tty" }) {
        const QByteArray target = staging + '/' + node;
        if (!touch(target))
            return systemError("cannot create", target);
        error = bindMount(QByteArray("/dev/") + node, target);
        if (!error.isEmpty())
            return error;
    }
    // Pseudo-terminals of our own, whose ptmx any user may open (the system's is often
    // mode 000, which only real root can open).
    ::mkdir((staging + "/pts").constData(), 0755);
    if (::mount("devpts", (staging + "/pts").constData(), "devpts", MS_NOSUID | MS_NOEXEC,
                "newinstance,ptmxmode=0666,mode=0620") != 0)
        return systemError("cannot mount a devpts on", staging + "/pts");
    ::symlink("pts/ptmx", (staging + "/ptmx").constData());
    ::mkdir((staging + "/shm").constData(), 01777);
    error = mountTmpfs(staging + "/shm", true);
    if (!error.isEmpty())
        return error;
    ::symlink("/proc/self/fd", (staging + "/fd").constData());
    ::symlink("/proc/self/fd/0", (staging + "/stdin").constData());
    ::symlink("/proc/self/fd/1", (staging + "/stdout").constData());
    ::symlink("/proc/self/fd/2", (staging + "/stderr").constData());

    if (::mount(staging.constData(), "/dev", nullptr, MS_MOVE, nullptr) != 0)
        return systemError("cannot move the simulated /dev from", staging);
    ::rmdir(staging.constData());
    return {};
}

// Qt Serial Port looks for its lock files in the first of these that exists.
const char *const lockDirectories[] = { "/var/lock", "/run/lock" };

// Empty lock directories, whether or not one is a link to the other.
QString replaceLockDirectories()
{
    QStringList mounted;
    for (const char *directory : lockDirectories) {
        const QString target = QFileInfo(QString::fromLatin1(directory)).canonicalFilePath();
        if (target.isEmpty() || mounted.contains(target))
            continue;
        const QString error = mountTmpfs(QFile::encodeName(target), true);
        if (!error.isEmpty())
            return error;
        mounted.append(target);
    }
    return {};
}

bool writeProcFile(const char *path, const QByteArray &content)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, content.constData(), content.size()) == content.size();
    ::close(fd);
    return written;
}

// A private mount namespace; without root, inside a user namespace in which the caller is root.
QString enterMountNamespace()
{
    if (::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0)
        return {};
    const QByteArray uid = QByteArray::number(::geteuid());
    const QByteArray gid = QByteArray::number(::getegid());
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        return QStringLiteral("user namespaces are not available (%1): run as root, or allow "
                              "unprivileged user namespaces (sysctl kernel.unprivileged_userns_clone=1)")
                .arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    if (!writeProcFile("/proc/self/setgroups", "deny") || !writeProcFile("/proc/self/uid_map", "0 " + uid + " 1")
        || !writeProcFile("/proc/self/gid_map", "0 " + gid + " 1"))
        return systemError("cannot map the user into its namespace in", "/proc/self");
    return {};
}

} // namespace

QString enter()
{
    if (entered)
        return {};
    QString error = enterMountNamespace();
    if (!error.isEmpty())
        return error;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return systemError("cannot make the mounts private under", "/");

    error = mountTmpfs("/sys");
    if (error.isEmpty())
        error = replaceDev();
    if (error.isEmpty())
        error = replaceLockDirectories();
    if (error.isEmpty() && !QDir().mkpath(QStringLiteral("/sys/class/tty")))
        error = QStringLiteral("cannot create /sys/class/tty");
    entered = error.isEmpty();
    return error;
}

QString lockFilePath(const QString &portName)
{
    for (const char *directory : lockDirectories) {
        if (QFileInfo(QString::fromLatin1(directory)).isDir())
            return QString::fromLatin1(directory) + QStringLiteral("/LCK..") + portName;
    }
    return {};
}

QString plugPort(const QString &portName, const QString &description, const QString &devicePath)
{
    std::lock_guard lock(portsMutex);
    const QString usbDevice = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-%1")
                                      .arg(nextUsbDevice++);
    const QString interface = usbDevice + QStringLiteral("/1-1:1.2/") + portName;
    const QString ttyDevice = interface + QStringLiteral("/tty/") + portName;
    if (!QDir().mkpath(ttyDevice))
        return QStringLiteral("cannot create ") + ttyDevice;

    const bool written =
            writeFile(usbDevice + QStringLiteral("/uevent"), "DEVTYPE=usb_device\nDRIVER=usb\n")
            && writeFile(usbDevice + QStringLiteral("/product"), description.toUtf8() + '\n')
            && writeFile(usbDevice + QStringLiteral("/manufacturer"), "SimTech, Incorporated\n")
            && writeFile(usbDevice + QStringLiteral("/idVendor"), "1e0e\n")
            && writeFile(usbDevice + QStringLiteral("/idProduct"), "9205\n")
            && writeFile(interface + QStringLiteral("/uevent"), "DRIVER=option1\n")
            && writeFile(ttyDevice + QStringLiteral("/uevent"),
                         "MAJOR=188\nMINOR=2\nDEVNAME=" + portName.toUtf8() + '\n');
    if (!written)
        return QStringLiteral("cannot write the device files under ") + usbDevice;
    const QByteArray classLink = QFile::encodeName(QStringLiteral("/sys/class/tty/") + portName);
    if (::symlink("../..", QFile::encodeName(ttyDevice + QStringLiteral("/device")).constData()) != 0
        || ::symlink(QFile::encodeName(QStringLiteral("../..") + ttyDevice.mid(4)).constData(),
                     classLink.constData()) != 0)
        return systemError("cannot link", classLink);

    const QByteArray node = QFile::encodeName(QStringLiteral("/dev/") + portName);
    if (!touch(node))
        return systemError("cannot create", node);
    const QString error = bindMount(QFile::encodeName(devicePath), node);
    if (!error.isEmpty())
        return error;
    usbDeviceOfPort.insert(portName, usbDevice);
    return {};
}

void unplugPort(const QString &portName)
{
    std::lock_guard lock(portsMutex);
    const QString usbDevice = usbDeviceOfPort.take(portName);
    if (usbDevice.isEmpty())
        return;
    QFile::remove(QStringLiteral("/sys/class/tty/") + portName);
    QDir(usbDevice).removeRecursively();
    const QByteArray node = QFile::encodeName(QStringLiteral("/dev/") + portName);
    ::umount2(node.constData(), MNT_DETACH);
    ::unlink(node.constData());
}

}
