// A minimal 24 x 80 console for the simulator's tests: cursor positioning, erase display, the
// console's inverted line ends (LF to column 1, CR down a row) and wrap with scrolling. Every
// other escape sequence is skipped, as the monitor does, so the tests see what it would read.
#pragma once

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

class ConsoleGrid
{
public:
    ConsoleGrid() { clear(); }

    void clear() { m_rows.fill(std::string(80, ' ')); }

    void feed(std::string_view bytes)
    {
        m_pending += bytes;
        size_t i = 0;
        while (i < m_pending.size()) {
            const char c = m_pending[i];
            if (c != '\x1b') {
                put(c);
                ++i;
                continue;
            }
            if (i + 1 >= m_pending.size())
                break;
            if (m_pending[i + 1] != '[') {
                i += 2; // ESC 7, ESC c and the like
                continue;
            }
            size_t end = i + 2;
            while (end < m_pending.size() && !(m_pending[end] >= '@' && m_pending[end] <= '~'))
                ++end;
            if (end >= m_pending.size())
                break; // incomplete sequence: wait for the rest
            sequence(m_pending.substr(i + 2, end - i - 2), m_pending[end]);
            i = end + 1;
        }
        m_pending.erase(0, i);
    }

    // Row r (1-based), 80 characters.
    const std::string &row(int r) const { return m_rows.at(r - 1); }
    // Columns a..b (1-based, inclusive) of row r, blanks trimmed.
    std::string field(int r, int a, int b) const
    {
        std::string text = row(r).substr(a - 1, b - a + 1);
        text.erase(0, text.find_first_not_of(' '));
        text.erase(text.find_last_not_of(' ') + 1);
        return text;
    }
    int cursorRow() const { return m_row; }
    int cursorCol() const { return m_col; }

private:
    void sequence(const std::string &params, char command)
    {
        if (command == 'H') {
            const size_t semi = params.find(';');
            const std::string rowText = semi == std::string::npos ? std::string() : params.substr(0, semi);
            const std::string colText = semi == std::string::npos ? params : params.substr(semi + 1);
            if (!rowText.empty())
                m_row = std::clamp(std::stoi(rowText), 1, 24);
            if (!colText.empty())
                m_col = std::clamp(std::stoi(colText), 1, 81);
        } else if (command == 'J' && params == "2") {
            clear();
        }
    }

    void put(char c)
    {
        if (c == '\n') {
            m_col = 1;
        } else if (c == '\r') {
            ++m_row;
        } else if (c == '\b') {
            m_col = std::max(1, m_col - 1);
        } else if (c != '\a' && c != '\t') {
            if (m_col > 80) {
                m_col = 1;
                ++m_row;
            }
            if (m_row > 24) {
                std::rotate(m_rows.begin(), m_rows.begin() + 1, m_rows.end());
                m_rows.back() = std::string(80, ' ');
                m_row = 24;
            }
            m_rows[m_row - 1][m_col - 1] = c;
            ++m_col;
        }
    }

    std::array<std::string, 24> m_rows;
    std::string m_pending;
    int m_row = 1;
    int m_col = 1;
};
