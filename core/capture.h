// SPDX-License-Identifier: MIT
// TCapture: what passed between the monitor and the router, kept for a bug report. One JSON
// object a line (docs/capture.md): the time, who sent the bytes and the bytes in base64. At most
// kMaxBytes of lines are kept, the oldest dropped first; the password reaches it masked already.
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

class TCapture
{
public:
    // The bound on the file: a capture left running for days stays a mail attachment.
    static constexpr size_t kMaxBytes = 10 * 1024 * 1024;

    // Milliseconds since the epoch; tests put a fixed clock here.
    std::function<int64_t()> Clock;

    // One chunk: Typed false for the router's bytes, true for the monitor's. A chunk larger than
    // the bound is cut to its newest bytes.
    void Record(bool Typed, std::string_view Bytes);
    // The lines kept, oldest first, each ending in a line feed.
    const std::deque<std::string> &Lines() const { return m_lines; }
    size_t Size() const { return m_size; }
    // Writes every line kept to Path, whole or not at all, readable by its owner alone; false
    // with Error set when the file cannot be written.
    bool Save(const QString &Path, QString &Error) const;

private:
    std::deque<std::string> m_lines;
    size_t m_size = 0;
};

// One line of a capture read back; false for a line that is none.
struct TCaptureChunk
{
    int64_t TimeMs = 0;
    bool Typed = false;
    std::string Bytes;
};
bool ParseCaptureLine(std::string_view Line, TCaptureChunk &Chunk);
