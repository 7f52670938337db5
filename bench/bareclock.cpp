// The yardstick for the monitor's idle cost: a bare Qt Widgets window whose one label is
// rewritten once a second, and nothing else.
#include <QApplication>
#include <QLabel>
#include <QTime>
#include <QTimer>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QLabel label;
    label.setMinimumSize(320, 80);
    label.setText(QTime::currentTime().toString());
    label.show();
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &label, [&label] { label.setText(QTime::currentTime().toString()); });
    tick.start(1000);
    return app.exec();
}
