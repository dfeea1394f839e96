#pragma once

// The lines tracker-updater prints that update-tracker reads back: one place for both,
// so the companion recognises exactly what the program says.
namespace ConsoleText {

constexpr char banner[] = "Please plug the tracker"; // the first line of a run
constexpr char open[] = "Open ";
constexpr char send[] = "Send";
constexpr char alreadyUsed[] = " already used"; // after the quoted port name and a space
constexpr char timedOut[] = "Timed out";
constexpr char downloadFailed[] = "Download failed: firmware files left unchanged";
constexpr char separator[] = "-------------------------";
constexpr char finished[] = "You can finish the installation and quit";

} // namespace ConsoleText
