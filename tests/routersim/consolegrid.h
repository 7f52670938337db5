// SPDX-License-Identifier: MIT
// The monitor's own virtual console screen, wrapped with the two reads the simulator's tests
// make of it: a whole row and a trimmed field, both 1-based.
#pragma once

#include "consolescreen.h"
#include "convert.h"

#include <string>
#include <string_view>

class ConsoleGrid
{
public:
    void feed(std::string_view bytes) { m_screen.DrawChunk(m_buffer, bytes); }
    std::string row(int r) const { return std::string(m_screen.Row(r)); }
    std::string field(int r, int first, int last) const
    {
        return TrimControls(m_screen.Row(r).substr(first - 1, last - first + 1));
    }

private:
    TConsoleScreen m_screen;
    std::string m_buffer;
};
