#pragma once

// tracker-sim's command line: what it asks for, and the rules every option is checked
// against before anything happens.
#include "sim/simulatedtracker.h"

#include "buildsettings.h"

#include <QFile>
#include <QStringList>

#include <list>
#include <memory>

// The text of --help.
extern const char trackerSimUsage[];

// One --port: what it asks for.
struct PortPlan
{
    QString name;
    QString description = QString::fromUtf8(BuildSettings::portDescription);
    ModemBehaviour behaviour;
    int plugAtMs = 0;
    int plugAfterOutputMs = -1;
    int unplugAtMs = -1;
    int busyUntilMs = 0;
    QStringList given; // its options, in the order given
};

// What tracker-sim's command line asks for.
struct TrackerSimOptions
{
    std::list<PortPlan> ports;
    QString reportPath;
    std::shared_ptr<QFile> report; // created before anything else happens
    QString program;
    QStringList programArguments;
    bool helpRequested = false;
};

// Checks every option; returns why one cannot be taken, or an empty string.
QString parseTrackerSimArguments(const QStringList &arguments, TrackerSimOptions &options);

// Created at once, so that a report that could not be written never costs a whole run.
QString createTrackerSimReport(TrackerSimOptions &options);
