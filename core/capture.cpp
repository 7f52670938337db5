// SPDX-License-Identifier: MIT
// The capture's lines and file; the format is documented in docs/capture.md. Lines are made with
// fixed keys in a fixed order, so the reader below needs no general JSON parser and a line of the
// file stays readable with grep and a base64 decoder.
#include "capture.h"

#include "privatefile.h"

#include <QByteArray>
#include <QDateTime>

namespace {

constexpr std::string_view kTimeKey = "{\"t\":";
constexpr std::string_view kRouter = ",\"dir\":\"router\",\"data\":\"";
constexpr std::string_view kTyped = ",\"dir\":\"typed\",\"data\":\"";
constexpr std::string_view kEnd = "\"}";

} // namespace

void TCapture::Record(bool Typed, std::string_view Bytes)
{
    // Base64 takes 4 bytes for 3, plus the keys: keep the line inside the bound.
    constexpr size_t kMaxChunk = (kMaxBytes - 128) / 4 * 3;
    if (Bytes.size() > kMaxChunk)
        Bytes = Bytes.substr(Bytes.size() - kMaxChunk);
    const int64_t now = Clock ? Clock() : QDateTime::currentMSecsSinceEpoch();
    std::string line(kTimeKey);
    line += std::to_string(now);
    line += Typed ? kTyped : kRouter;
    line += QByteArray(Bytes.data(), static_cast<qsizetype>(Bytes.size())).toBase64().toStdString();
    line += kEnd;
    line += '\n';
    m_size += line.size();
    m_lines.push_back(std::move(line));
    while (m_size > kMaxBytes) {
        m_size -= m_lines.front().size();
        m_lines.pop_front();
    }
}

bool TCapture::Save(const QString &Path, QString &Error) const
{
    TPrivateSaveFile file(Path);
    if (!file.open()) {
        Error = file.errorString();
        return false;
    }
    for (const std::string &line : m_lines) {
        if (file.device().write(line.data(), static_cast<qint64>(line.size())) != static_cast<qint64>(line.size())) {
            Error = file.device().errorString();
            return false;
        }
    }
    if (!file.commit()) {
        Error = file.errorString();
        return false;
    }
    return true;
}

bool ParseCaptureLine(std::string_view Line, TCaptureChunk &Chunk)
{
    while (!Line.empty() && (Line.back() == '\n' || Line.back() == '\r'))
        Line.remove_suffix(1);
    if (!Line.starts_with(kTimeKey) || !Line.ends_with(kEnd))
        return false;
    Line.remove_prefix(kTimeKey.size());
    Line.remove_suffix(kEnd.size());
    int64_t time = 0;
    size_t digits = 0;
    while (digits < Line.size() && digits < 18 && Line[digits] >= '0' && Line[digits] <= '9')
        time = time * 10 + (Line[digits++] - '0');
    if (digits == 0)
        return false;
    Line.remove_prefix(digits);
    if (Line.starts_with(kRouter))
        Chunk.Typed = false;
    else if (Line.starts_with(kTyped))
        Chunk.Typed = true;
    else
        return false;
    Line.remove_prefix(Chunk.Typed ? kTyped.size() : kRouter.size());
    const auto decoded = QByteArray::fromBase64Encoding(QByteArray(Line.data(), static_cast<qsizetype>(Line.size())),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return false;
    Chunk.TimeMs = time;
    Chunk.Bytes = decoded.decoded.toStdString();
    return true;
}
