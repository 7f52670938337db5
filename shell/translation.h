// SPDX-License-Identifier: MIT
// The user's language for the window, the tray, the dialogs and the monitor's messages: our own
// translation, compiled into the program, and Qt's for its standard buttons and dialogs. The web
// page, the texts typed to the router and the settings file stay English.
#pragma once

#include <QLocale>

// Installs the translators for Locale's languages on the application (earlier ones are removed
// first). Returns whether our own translation was found; English needs none.
bool InstallTranslations(const QLocale &Locale = QLocale::system());
