// SPDX-License-Identifier: MIT
// The private save file; see privatefile.h. mkstemp makes the temporary file 0600 whatever the
// umask, and rename(2) replaces a link at the path rather than following it.
#include "privatefile.h"

#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

TPrivateSaveFile::TPrivateSaveFile(QString Path) : m_path(std::move(Path)) {}

TPrivateSaveFile::~TPrivateSaveFile()
{
    discard();
}

bool TPrivateSaveFile::open()
{
    discard();
    // The folder of the name itself, not of a link's target.
    const QFileInfo info(m_path);
    if (info.isDir()) {
        m_error = QStringLiteral("is a folder");
        return false;
    }
    QByteArray pattern =
        QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".XXXXXX"));
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    m_temporary = QFile::decodeName(pattern);
    if (!m_file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        m_error = m_file.errorString();
        discard();
        return false;
    }
    return true;
}

bool TPrivateSaveFile::commit()
{
    if (m_temporary.isEmpty()) {
        m_error = QStringLiteral("not open");
        return false;
    }
    bool ok = m_file.flush();
    if (!ok)
        m_error = m_file.errorString();
    if (ok && ::fsync(m_file.handle()) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        ok = false;
    }
    m_file.close();
    if (ok && std::rename(QFile::encodeName(m_temporary).constData(), QFile::encodeName(m_path).constData()) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        ok = false;
    }
    if (ok)
        m_temporary.clear();
    discard();
    return ok;
}

void TPrivateSaveFile::discard()
{
    if (m_file.isOpen())
        m_file.close();
    if (!m_temporary.isEmpty())
        ::unlink(QFile::encodeName(m_temporary).constData());
    m_temporary.clear();
}
