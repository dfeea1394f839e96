#include "testharness.h"

#include "buildsettings.h"
#include "monitor/serialportmonitor.h"
#include "sim/childprocess.h"

#include <QEventLoop>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <memory>

namespace {
DebugCapture *activeCapture = nullptr;
}

DebugCapture::DebugCapture()
{
    clock.start();
    activeCapture = this;
    previous = qInstallMessageHandler(&DebugCapture::handle);
}

DebugCapture::~DebugCapture()
{
    qInstallMessageHandler(previous);
    activeCapture = nullptr;
}

void DebugCapture::handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    // Only the program's own lines: warnings of the serial library are not part of its output.
    if (type == QtDebugMsg && activeCapture)
        activeCapture->captured.append({ activeCapture->clock.elapsed(), message });
    else if (activeCapture && activeCapture->previous)
        activeCapture->previous(type, context, message);
}

QStringList DebugCapture::lines() const
{
    QStringList texts;
    for (const Line &line : captured)
        texts.append(line.text);
    return texts;
}

QList<DebugCapture::Line> DebugCapture::linesContaining(const QString &text) const
{
    QList<Line> found;
    for (const Line &line : captured) {
        if (line.text.contains(text))
            found.append(line);
    }
    return found;
}

int runSimulationTest(int argc, char *argv[], QObject *(*makeTest)())
{
    // Before Qt reads it: the script of no country, whatever the developer's locale,
    // for the monitors of this process and the programs it starts.
    qputenv("LC_ALL", "C.UTF-8");
    const QString unavailable = SimulatedSystem::enter();
    QCoreApplication app(argc, argv);
    if (!unavailable.isEmpty()) {
        QTextStream(stderr) << "No simulated tracker here, so no test ran: " << unavailable << '\n';
        // A CI run that tested nothing has not passed.
        return qEnvironmentVariableIsSet("CI") ? 1 : SIMULATION_UNAVAILABLE_EXIT_CODE;
    }
    const std::unique_ptr<QObject> test(makeTest());
    return QTest::qExec(test.get(), argc, argv);
}

int runUntilQuit(SerialPortMonitor &monitor, int timeoutMs)
{
    QEventLoop loop;
    QObject::connect(&monitor, &SerialPortMonitor::quit, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, [&loop] { loop.exit(-1); });
    return loop.exec();
}

QStringList localeEnvironment(const QString &locale)
{
    static QTemporaryDir made;
    const QStringList environment { "LC_ALL=" + locale, "LOCPATH=" + made.path() };
    if (locale == QLatin1String("C.UTF-8"))
        return { environment.first() };
    if (QFileInfo::exists(made.filePath(locale)))
        return environment;
    const QString definition = locale.section('.', 0, 0);
    const QString charmap = locale.section('.', 1);
    QProcess localedef;
    localedef.setProcessChannelMode(QProcess::ForwardedChannels);
    localedef.start("localedef", { "-i", definition, "-f", charmap, made.filePath(locale) });
    // Exit code 1 tells of warnings only: the locale was made.
    if (!made.isValid() || !localedef.waitForFinished(60000) || localedef.exitStatus() != QProcess::NormalExit
        || localedef.exitCode() > 1) {
        QDir(made.filePath(locale)).removeRecursively();
        return {};
    }
    return environment;
}

QString trackerDescription()
{
    return QString::fromUtf8(BuildSettings::portDescription);
}

QProcessEnvironment systemEnvironmentWith(const QStringList &settings)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &setting : settings)
        environment.insert(setting.section('=', 0, 0), setting.section('=', 1));
    return environment;
}

ProgramRun runProgram(const QStringList &arguments, const QStringList &extraEnvironment, int timeoutMs)
{
    QProcess program;
    program.setProcessEnvironment(systemEnvironmentWith(extraEnvironment));
    killWithParent(program);
    program.start(QStringLiteral(TRACKER_UPDATER_PATH), arguments);

    ProgramRun run;
    run.finished = program.waitForFinished(timeoutMs) && program.exitStatus() == QProcess::NormalExit;
    if (!run.finished)
        program.kill();
    run.exitCode = program.exitCode();
    run.lines = QString::fromUtf8(program.readAllStandardError()).split('\n');
    if (run.lines.last().isEmpty())
        run.lines.removeLast();
    return run;
}

QString sendLine(const QByteArray &command)
{
    QString escaped = QString::fromUtf8(command);
    escaped.replace('\\', "\\\\").replace('"', "\\\"").replace('\r', "\\r").replace('\n', "\\n");
    return "Send \"" + escaped + '"';
}

QByteArrayList commandsIn(const QByteArray &received)
{
    QByteArrayList commands = received.split('\n');
    commands.removeLast(); // what follows the last line end
    for (QByteArray &command : commands)
        command += '\n';
    return commands;
}

QStringList withoutModemChunks(const QStringList &lines)
{
    QStringList kept;
    for (const QString &line : lines) {
        if (!line.startsWith('"'))
            kept.append(line);
    }
    return kept;
}
