// SPDX-License-Identifier: MIT
// Every designed control of the main window in one value: the window with its Status tab
// (frmmain.ui) and the Graph, Settings and About tabs (graphpage.ui, settingspage.ui,
// aboutpage.ui). The Settings and About tabs' controls are made when the tab is first shown; until
// then their pointers are null.
#pragma once

#include "ui_aboutpage.h"
#include "ui_frmmain.h"
#include "ui_graphpage.h"
#include "ui_settingspage.h"

struct TfrmMainControls : Ui::TfrmMain, Ui::TGraphPage, Ui::TSettingsPage, Ui::TAboutPage
{
};
