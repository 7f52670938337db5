// SPDX-License-Identifier: MIT
// One monitor per settings file. The first program started with a settings file listens on a
// local socket in the user's runtime directory, named after the file's path; a later start with
// the same file asks it to show its window and ends, before it touches the router or the ports.
#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

class TSingleInstance : public QObject
{
    Q_OBJECT

public:
    // What a second start sends, and what the first answers once it has shown its window.
    static constexpr char kShowRequest[] = "show\n";
    static constexpr char kShowAnswer[] = "ok\n";

    explicit TSingleInstance(QObject *Parent = nullptr);
    ~TSingleInstance() override;

    // The socket's path for a settings file: the runtime directory and a hash of the file's
    // absolute path, canonical where the file or its directory exists.
    static QString ServerPath(const QString &SettingsFile);

    // True when this program is the settings file's only monitor (it listens from now on, or no
    // runtime directory can be had and it runs alone unguarded); false when another one runs
    // and was asked to show itself (answered or not within AnswerWaitMs).
    bool claim(const QString &SettingsFile, int AnswerWaitMs = 2000);

signals:
    // A later start asked for the window.
    void showRequested();

private:
    bool askRunning(const QString &Path, int AnswerWaitMs);
    bool listenOn(const QString &Path);
    void acceptClients();

    int m_listener = -1;
    QSocketNotifier *m_listenerNotifier = nullptr;
    QByteArray m_path;
    int m_clients = 0;
};
