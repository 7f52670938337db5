// SPDX-License-Identifier: MIT
// The application's error report as the user meets it: a modal box titled with the application
// title and holding the message, never more than one at a time, and a line in the log for every
// report. A router that sends the same bad field every second raises one box, not one a second.
// Below the message the box says which connection failed, what the number means and what to try.
#pragma once

#include "apperror.h"

#include <QString>

#include <functional>
#include <string>

// The application title: the task bar's name for the program and the caption of every error box.
inline constexpr char kApplicationTitle[] = "Brelwick ISDN Router Monitor";

// Shows one report and returns once the user has dismissed it (a modal box runs its own event
// loop meanwhile, so further reports can arrive while it is open).
using ErrorBoxShower = std::function<void(const QString &Title, const QString &Text)>;
// The same with the box's detail below the text (empty when there is nothing to add).
using ErrorBoxDetailShower = std::function<void(const QString &Title, const QString &Text, const QString &Detail)>;

// Hooks the box into ReportError. An empty Shower shows a QMessageBox; tests pass their own.
void InstallErrorBox(ErrorBoxShower Shower = {});
void InstallErrorBox(ErrorBoxDetailShower Shower);

// What a report's detail draws on besides the message: whose doing the error is, what the
// program was doing, and where its connections go.
struct TErrorContext
{
    TErrorOrigin Origin = TErrorOrigin::User;
    TErrorPlace Place = TErrorPlace::None;
    std::string RouterAddress;
    int RouterPort = 0;
    int TelnetRelayPort = 0;
    int WebPort = 0;
    std::string UpdateServer;
    // The address and port the report is about, as the socket layer names them ("0.0.0.0:8080");
    // filled in with the origin and place.
    std::string Endpoint;
};

// The detail for a message: which connection or listener, the error number in words when the
// message gives only the number, and what to try. Empty when there is nothing useful to add.
QString ErrorDetail(const std::string &Message, const TErrorContext &Context);

// The window supplies the context of each report (its connections' addresses and ports); the
// current origin and place are filled in before it is asked. Unset: no detail. Returns the
// previous provider.
using ErrorContextProvider = std::function<TErrorContext()>;
ErrorContextProvider SetErrorContextProvider(ErrorContextProvider Provider);

// Restores ReportError's default (standard error only); the program calls it before the
// application object goes away.
void RemoveErrorBox();

// True while a box is open.
bool ErrorBoxOpen();

// A message's bytes as display text: UTF-8 when they are valid UTF-8 (the system's own texts),
// otherwise one character per byte (the router's 8-bit texts).
QString MessageToDisplayText(const std::string &Message);
