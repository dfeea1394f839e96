#include "simulatedsystem.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
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

// What plugging a port created, so that unplugging removes that and nothing else.
struct PluggedPort
{
    QString usbDevice;
    QString ttyDevice;
    QByteArray classEntry;
    QByteArray deviceNode;
    bool nodeMounted = false;
};

// Trackers vanish from their own threads.
std::mutex portsMutex;
QHash<QString, PluggedPort> pluggedPorts;
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
// Staged in our own /sys, so that a failure leaves nothing behind on the machine.
QString replaceDev()
{
    const QByteArray staging = "/sys/.simulated-dev";
    if (::mkdir(staging.constData(), 0755) != 0)
        return systemError("cannot create", staging);
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
    // Ports plugged later reach a command that has a mount namespace of its own too.
    if (::mount(nullptr, "/dev", nullptr, MS_SHARED, nullptr) != 0)
        return systemError("cannot share the mounts of", "/dev");
    return {};
}

// Where Qt Serial Port keeps a port's lock file: the first of these it can read and write.
const char *const lockDirectories[] = { "/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp",
                                        "/tmp", "/var/tmp", "/var/lock/lockdev", "/run/lock" };
// Shared with the rest of the machine, so never replaced by a directory of our own.
const char *const sharedDirectories[] = { "/tmp", "/var/tmp" };

QString qtLockDirectory()
{
    for (const char *directory : lockDirectories) {
        const QFileInfo info(QString::fromLatin1(directory));
        if (info.isDir() && info.isReadable() && info.isWritable())
            return info.filePath();
    }
    return {};
}

// An empty directory of our own where Qt will look, so simulated locks neither collide
// with another simulation's nor reach the machine's.
QString replaceLockDirectory()
{
    const QString directory = qtLockDirectory();
    for (const char *shared : sharedDirectories) {
        if (directory.isEmpty() || directory == QLatin1String(shared))
            return QStringLiteral("Qt Serial Port would keep its lock files in %1, shared with the machine: "
                                  "create /run/lock (mode 1777) and a link to it at /var/lock")
                    .arg(directory.isEmpty() ? QStringLiteral("no directory") : directory);
    }
    return mountTmpfs(QFile::encodeName(QFileInfo(directory).canonicalFilePath()), true);
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

// The USB device as Qt's enumeration reads it from /sys: product (the description),
// manufacturer, identifiers, and one interface with the port's tty.
QString createUsbDevice(const PluggedPort &port, const QString &portName, const QString &description)
{
    const QString &usbDevice = port.usbDevice;
    const QString interface = usbDevice + QStringLiteral("/1-1:1.2/") + portName;
    const QString &ttyDevice = port.ttyDevice;
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
    if (::symlink("../..", QFile::encodeName(ttyDevice + QStringLiteral("/device")).constData()) != 0)
        return systemError("cannot link", QFile::encodeName(ttyDevice + QStringLiteral("/device")));
    return {};
}

QString linkClassEntry(PluggedPort &port, const QString &portName)
{
    const QByteArray entry = QFile::encodeName(QStringLiteral("/sys/class/tty/") + portName);
    if (::symlink(QFile::encodeName(QStringLiteral("../..") + port.ttyDevice.mid(4)).constData(), entry.constData()) != 0)
        return systemError("cannot link", entry);
    port.classEntry = entry;
    return {};
}

// A node of its own: a name that is already taken in /dev (tty, null...) is refused.
QString createDeviceNode(PluggedPort &port, const QString &portName, const QString &devicePath)
{
    const QByteArray node = QFile::encodeName(QStringLiteral("/dev/") + portName);
    const int fd = ::open(node.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0)
        return systemError("cannot create", node);
    ::close(fd);
    port.deviceNode = node;
    const QString error = bindMount(QFile::encodeName(devicePath), node);
    port.nodeMounted = error.isEmpty();
    return error;
}

// No longer listed first, then gone.
void removePort(const PluggedPort &port)
{
    if (!port.classEntry.isEmpty())
        ::unlink(port.classEntry.constData());
    if (port.nodeMounted)
        ::umount2(port.deviceNode.constData(), MNT_DETACH);
    if (!port.deviceNode.isEmpty())
        ::unlink(port.deviceNode.constData());
    if (!port.usbDevice.isEmpty())
        QDir(port.usbDevice).removeRecursively();
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

bool isSameDirectory(const char *one, const char *other)
{
    struct stat first {};
    struct stat second {};
    return ::stat(one, &first) == 0 && ::stat(other, &second) == 0 && first.st_dev == second.st_dev
            && first.st_ino == second.st_ino;
}

// In a plain chroot "/" is no mount point, and the mount that holds it cannot be named
// from inside to make it private. Within our own mount namespace only: leave the chroot,
// make every mount private, and come back through a bind mount of the old root onto
// itself, which is then a private mount point.
QString makeRootAMountPoint()
{
    // Where the command is to start, as the chroot names it: the same path leads there
    // once the chroot is entered again.
    char workingDirectory[4096];
    if (!::getcwd(workingDirectory, sizeof workingDirectory))
        return systemError("cannot find the working directory under", "/");
    const int oldRoot = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (oldRoot < 0)
        return systemError("cannot open", "/");
    // A root below the working directory lets ".." climb past the old one.
    bool left = ::chdir("/") == 0 && ::chroot("/sys") == 0;
    while (left && !isSameDirectory(".", ".."))
        left = ::chdir("..") == 0;
    QString error;
    char path[4096];
    if (!left || ::chroot(".") != 0)
        error = systemError("cannot leave the chroot at", "/");
    else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        error = systemError("cannot make the mounts private under", "/");
    else if (::fchdir(oldRoot) != 0 || !::getcwd(path, sizeof path))
        error = systemError("cannot find the chroot's", "/");
    else if (::mount(path, path, nullptr, MS_BIND | MS_REC, nullptr) != 0)
        error = systemError("cannot bind-mount onto itself", path);
    else if (::chdir(path) != 0 || ::chroot(".") != 0)
        error = systemError("cannot return into", path);
    else if (::chdir(workingDirectory) != 0)
        error = systemError("cannot return to the working directory", workingDirectory);
    ::close(oldRoot);
    return error;
}

QString makeMountsPrivate()
{
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
        return {};
    if (errno == EINVAL) // "/" is no mount point
        return makeRootAMountPoint();
    return systemError("cannot make the mounts private under", "/");
}

} // namespace

QString enter()
{
    if (entered)
        return {};
    QString error = enterMountNamespace();
    if (error.isEmpty())
        error = makeMountsPrivate();
    if (!error.isEmpty())
        return error;

    error = mountTmpfs("/sys");
    if (error.isEmpty())
        error = replaceDev();
    if (error.isEmpty())
        error = replaceLockDirectory();
    if (error.isEmpty() && !QDir().mkpath(QStringLiteral("/sys/class/tty")))
        error = QStringLiteral("cannot create /sys/class/tty");
    entered = error.isEmpty();
    return error;
}

QString lockFilePath(const QString &portName)
{
    return qtLockDirectory() + QStringLiteral("/LCK..") + portName;
}

QString portNameError(const QString &portName)
{
    static const QRegularExpression plainName(QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9_.-]{1,32}")));
    if (!plainName.match(portName).hasMatch() || portName == QLatin1String(".") || portName == QLatin1String(".."))
        return QStringLiteral("must be a plain device name: 1 to 32 letters, digits, '-', '_' or '.', not . or ..");
    return {};
}

QString plugPort(const QString &portName, const QString &description, const QString &devicePath)
{
    const QString nameError = portNameError(portName);
    if (!nameError.isEmpty())
        return QStringLiteral("port name \"%1\" %2").arg(portName, nameError);
    std::lock_guard lock(portsMutex);
    if (pluggedPorts.contains(portName))
        return QStringLiteral("a port named %1 is plugged in already").arg(portName);

    PluggedPort port;
    port.usbDevice = QStringLiteral("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-%1").arg(nextUsbDevice++);
    port.ttyDevice = port.usbDevice + QStringLiteral("/1-1:1.2/%1/tty/%1").arg(portName);
    // Listed last, once its terminal is in place: an enumeration never lists a port
    // that cannot be opened yet.
    QString error = createUsbDevice(port, portName, description);
    if (error.isEmpty())
        error = createDeviceNode(port, portName, devicePath);
    if (error.isEmpty())
        error = linkClassEntry(port, portName);
    if (!error.isEmpty()) {
        removePort(port);
        return error;
    }
    pluggedPorts.insert(portName, port);
    return {};
}

void unplugPort(const QString &portName)
{
    std::lock_guard lock(portsMutex);
    removePort(pluggedPorts.take(portName));
}

}
