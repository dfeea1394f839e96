#pragma once

#include "monitor/serialportmonitor.h"

#include <QSerialPortInfo>

// Reaches the monitor's command exchange directly, on a port the test chose.
class TestMonitor : public SerialPortMonitor
{
public:
    using SerialPortMonitor::SerialPortMonitor;
    using SerialPortMonitor::sendCommand;

    bool openPort(const QString &portName)
    {
        port = std::make_unique<QSerialPort>(QSerialPortInfo(portName));
        return port->open(QIODevice::ReadWrite);
    }
};
