#include "monitor/serialportmonitor.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    SerialPortMonitor monitor;
    QObject::connect(&monitor, &SerialPortMonitor::quit, &app, &QCoreApplication::quit);
    return app.exec();
}
