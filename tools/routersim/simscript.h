// SPDX-License-Identifier: MIT
// Scripted behaviour for tests and demos: fixed field values, a swapped channel row, a prompt
// split across two writes, a rejected password, a connection closed part-way through a screen,
// and the repaint timing. The line format is described in README.md beside this file.
#pragma once

#include "routermodel.h"
#include "screens.h"

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

struct SplitPrompt
{
    ScreenId screen = ScreenId::Password;
    int at = -1;   // bytes of the prompt in the first write; -1 for half of it
    int times = 1; // how many paints are split; 0 for every paint
};

struct CloseMidScreen
{
    ScreenId screen = ScreenId::Status;
    size_t bytes = 0; // bytes of the screen sent before the connection is closed
    int paint = 1;    // which paint of that screen, counted per connection from 1
};

struct ScriptCall
{
    int channel = 0;
    LineState kind = LineState::Idle;
    std::string clid;
};

struct SimScript
{
    std::optional<uint32_t> seed;
    std::optional<std::string> password;
    int intervalMs = 1000;
    bool hold = false;
    bool live = true;
    bool swapRows = false;
    StatusLayout layout = StatusLayout::Known;
    int passwordRejects = 0;
    int passwordTries = 3; // 0: never hang up on wrong passwords
    int splitDelayMs = 150;
    int repromptMs = 0; // 0: a prompt is sent once per paint
    std::vector<SplitPrompt> splits;
    std::vector<CloseMidScreen> closes;
    FieldValues fields;
    std::vector<RawText> raws;
    std::vector<ScriptCall> calls;
};

constexpr size_t kMaxScriptLine = 4096;

// Reads a script. Each bad line adds "NAME:LINE: message" to errors and reading goes on, so one
// run reports every mistake; the caller refuses to start when errors is not empty.
SimScript parseScript(std::istream &in, const std::string &name, std::vector<std::string> &errors);
