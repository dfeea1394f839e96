// Starts Qt's event loop, prints a line through Qt's debug output like the product, and
// leaves with code 0: enough to show that everything Qt Core needs was found.
#include <QCoreApplication>
#include <QDebug>
#include <QLocale>
#include <QTimer>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    qDebug() << "probe: Qt" << qVersion() << "locale" << QLocale::system().name();
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return app.exec();
}
