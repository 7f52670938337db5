// The error box as the user meets it: one box per fault of the user's own doing, one for a fault
// the router repeats with every repaint, none for strangers on the network.
#include "apperror.h"
#include "errorbox.h"

#include <QtTest>

class TestErrorBox : public QObject
{
    Q_OBJECT

private slots:
    void routerRepeatRaisedABoxPerRepaint()
    {
        QStringList boxes;
        std::vector<std::string> lines;
        SetLogSink([&](const std::string &line) { lines.push_back(line); });
        InstallErrorBox([&](const QString &, const QString &text) { boxes << text; });
        // The same bad field on five repaints, then another fault of the router's.
        for (int i = 0; i < 5; ++i)
            ReportError("'$1X' is not a valid integer value", TErrorOrigin::Router);
        ReportError("'ab' is not a valid integer value", TErrorOrigin::Router);
        // The user's own action fails twice: both times the user is told.
        ReportError("No address specified", TErrorOrigin::User);
        ReportError("No address specified", TErrorOrigin::User);
        // A stranger's reset.
        ReportError("Asynchronous socket error 104", TErrorOrigin::Peer);
        RemoveErrorBox();
        SetLogSink({});
        QCOMPARE(boxes, QStringList({"'$1X' is not a valid integer value.", "'ab' is not a valid integer value.",
                                     "No address specified.", "No address specified."}));
        // Every report is in the log, the repeats collapsed.
        QCOMPARE(lines.size(), size_t(4));
        QCOMPARE(lines.back(), std::string("linewatch: Asynchronous socket error 104."));
        ResetLogLimits();
    }
};

QTEST_GUILESS_MAIN(TestErrorBox)
#include "tst_errorbox.moc"
