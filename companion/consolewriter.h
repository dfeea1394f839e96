#pragma once

#include <QByteArray>
#include <QString>

// The window's writing, on a thread of its own, in the order it was asked for: a console
// that holds a write (text selected in it, Ctrl+S in a terminal) holds up no reading of
// tracker-updater's lines, so no step's clock runs on while its answer waits unread.
namespace ConsoleWriter {

void start();
// tracker-updater's bytes, to standard error as they are. What a held console has not
// taken beyond a bound is left out of the window (the record has it), and a line says so.
void programBytes(const QByteArray &bytes);
// A line of update-tracker's own, to standard output; never left out.
void ownLine(const QString &line);
// Waits until all is written, however long the console holds it; from then on lines are
// written at once.
void finish();

} // namespace ConsoleWriter
