// SPDX-License-Identifier: MIT
// The yardstick for linewatchd's idle cost: a bare QCoreApplication whose one-second timer
// formats the time and nothing else.
#include <QCoreApplication>
#include <QTime>
#include <QTimer>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QString now;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &app, [&now] { now = QTime::currentTime().toString(); });
    tick.start(1000);
    return app.exec();
}
