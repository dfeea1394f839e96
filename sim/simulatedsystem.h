#pragma once

#include <QString>

// A private view of /sys, /dev and the lock directories for this process and its
// children, on which simulated serial ports are plugged and unplugged (Linux: as root,
// or as any user where unprivileged user namespaces are allowed).
namespace SimulatedSystem {

// Must run while the process is still single-threaded. Returns why the simulation is
// unavailable, or an empty string once the process is inside it.
QString enter();

// Where Qt Serial Port keeps the lock file of a port.
QString lockFilePath(const QString &portName);

// Why portName cannot name a simulated port, or an empty string when it can.
QString portNameError(const QString &portName);

// Makes the port enumeration list portName with the given description, backed by the
// terminal device at devicePath. Returns an error text, having created nothing, or an
// empty string.
QString plugPort(const QString &portName, const QString &description, const QString &devicePath);
// Removes what plugPort created for portName.
void unplugPort(const QString &portName);

}
