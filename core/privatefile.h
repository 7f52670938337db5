// SPDX-License-Identifier: MIT
// TPrivateSaveFile: a file the user asked us to write (the CSV export) that appears whole or not at
// all, readable by its owner alone (0600), and never written through a symbolic link: the data
// goes to a temporary file in the same folder, which then replaces the name itself.
#pragma once

#include <QFile>
#include <QString>

class TPrivateSaveFile
{
public:
    explicit TPrivateSaveFile(QString Path);
    ~TPrivateSaveFile();
    TPrivateSaveFile(const TPrivateSaveFile &) = delete;
    TPrivateSaveFile &operator=(const TPrivateSaveFile &) = delete;

    // Makes the temporary file; false with errorString() set when the folder cannot take it.
    bool open();
    QIODevice &device() { return m_file; }
    // Flushes, syncs and renames the temporary file over the path (a link there is replaced, its
    // target left alone); false with errorString() set, and the temporary file gone, on failure.
    bool commit();
    QString errorString() const { return m_error; }

private:
    void discard();

    QString m_path;
    QString m_temporary;
    QFile m_file;
    QString m_error;
};
