// The application's error report as the user meets it: a modal box titled with the application
// title and holding the message, never more than one at a time, and a line in the log for every
// report. A router that sends the same bad field every second raises one box, not one a second.
#pragma once

#include <QString>

#include <functional>
#include <string>

// The application title: the task bar's name for the program and the caption of every error box.
inline constexpr char kApplicationTitle[] = "Brelwick ISDN Router Monitor";

// Shows one report and returns once the user has dismissed it (a modal box runs its own event
// loop meanwhile, so further reports can arrive while it is open).
using ErrorBoxShower = std::function<void(const QString &Title, const QString &Text)>;

// Hooks the box into ReportError. An empty Shower shows a QMessageBox; tests pass their own.
void InstallErrorBox(ErrorBoxShower Shower = {});

// Restores ReportError's default (standard error only); the program calls it before the
// application object goes away.
void RemoveErrorBox();

// True while a box is open.
bool ErrorBoxOpen();

// A message's bytes as display text: UTF-8 when they are valid UTF-8 (the system's own texts),
// otherwise one character per byte (the router's 8-bit texts).
QString MessageToDisplayText(const std::string &Message);
