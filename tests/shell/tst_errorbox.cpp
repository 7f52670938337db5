// SPDX-License-Identifier: MIT
// The error box as the user meets it: one box per fault of the user's own doing, one for a fault
// the router repeats with every repaint, none for strangers on the network; below the system's
// text, which connection failed, the number in words and what to try.
#include "apperror.h"
#include "errorbox.h"
#include "loopbacksocket.h"
#include "socketlayer.h"

#include <QtTest>

#include <cerrno>
#include <cstring>

Q_DECLARE_METATYPE(TErrorOrigin)
Q_DECLARE_METATYPE(TErrorPlace)

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

    void detailSaysWhereWhatAndWhatToTry_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<TErrorOrigin>("origin");
        QTest::addColumn<TErrorPlace>("place");
        QTest::addColumn<QStringList>("fragments");
        QTest::addColumn<QString>("namedOnce");
        const QString refused = QString::fromLocal8Bit(std::strerror(ECONNREFUSED));
        QTest::newRow("router refused") << "Asynchronous socket error 111" << TErrorOrigin::Router << TErrorPlace::None
                                        << QStringList{"router at 10.0.0.138:23", "111 means: " + refused,
                                                       "Is the router on? Is the address right?"}
                                        << "10.0.0.138:23";
        QTest::newRow("router silent") << "Asynchronous socket error 110" << TErrorOrigin::Router << TErrorPlace::None
                                       << QStringList{"router at", "No answer"} << "";
        QTest::newRow("no address") << "No address specified" << TErrorOrigin::User << TErrorPlace::RouterConnection
                                    << QStringList{"Type the router's address"} << "";
        QTest::newRow("name for an address")
            << "Windows socket error: Invalid argument (22), on API 'connect'" << TErrorOrigin::User
            << TErrorPlace::RouterConnection << QStringList{"four numbers"} << "";
        QTest::newRow("web port taken") << "Windows socket error: Address already in use (98), on API 'bind'"
                                        << TErrorOrigin::User << TErrorPlace::WebServer
                                        << QStringList{"web server", "port 8080", "Another program"} << "8080";
        QTest::newRow("relay port taken")
            << "Windows socket error: Address already in use (98), on API 'bind'" << TErrorOrigin::User
            << TErrorPlace::TelnetRelay << QStringList{"telnet relay", "port 2323", "Another program"} << "2323";
        QTest::newRow("low web port") << "Windows socket error: Permission denied (13), on API 'bind'"
                                      << TErrorOrigin::User << TErrorPlace::WebServer
                                      << QStringList{"port 8080", "below 1024"} << "8080";
        QTest::newRow("update server") << "10061:Connection refused" << TErrorOrigin::User << TErrorPlace::UpdateServer
                                       << QStringList{"www.brelwick.example", "connected to the Internet"} << "";
        QTest::newRow("nothing to add") << "Done." << TErrorOrigin::User << TErrorPlace::None << QStringList{} << "";
    }

    void detailSaysWhereWhatAndWhatToTry()
    {
        QFETCH(QString, message);
        QFETCH(TErrorOrigin, origin);
        QFETCH(TErrorPlace, place);
        QFETCH(QStringList, fragments);
        QFETCH(QString, namedOnce);
        TErrorContext context{origin, place, "10.0.0.138", 23, 2323, 8080, "www.brelwick.example", ""};
        const QString detail = ErrorDetail(message.toStdString(), context);
        for (const QString &fragment : fragments)
            QVERIFY2(detail.contains(fragment), qPrintable(detail));
        QCOMPARE(detail.isEmpty(), fragments.isEmpty());
        if (!namedOnce.isEmpty())
            QCOMPARE(detail.count(namedOnce), 1);

        // Through the box: the main text stays the system's, the detail comes below it.
        QString shownText;
        QString shownDetail;
        const ErrorContextProvider previous = SetErrorContextProvider([&context] { return context; });
        InstallErrorBox([&](const QString &, const QString &text, const QString &detail) {
            shownText = text;
            shownDetail = detail;
        });
        {
            const TErrorPlaceScope scope(place);
            ReportError(message.toStdString(), origin);
        }
        RemoveErrorBox();
        SetErrorContextProvider(previous);
        SetLogSink({});
        ResetLogLimits();
        QCOMPARE(shownText, QString::fromStdString(ErrorBoxText(message.toStdString())));
        QCOMPARE(shownDetail, detail);
    }

    void bindErrorSaidWindowsWithoutPort()
    {
        // A web port another program holds: the headline keeps the fixed text, the detail and the
        // log name the address and port tried and what for.
        int port = 0;
        const int held = listenLoopback(port);
        QVERIFY(held >= 0);
        std::vector<std::string> lines;
        SetLogSink([&](const std::string &line) { lines.push_back(line); });
        QString shownText;
        QString shownDetail;
        const ErrorContextProvider previous =
            SetErrorContextProvider([port] { return TErrorContext{{}, {}, "10.0.0.138", 23, 2323, port, {}, {}}; });
        InstallErrorBox([&](const QString &, const QString &text, const QString &detail) {
            shownText = text;
            shownDetail = detail;
        });
        TServerSocket server;
        server.SetBindAddress("127.0.0.1");
        server.SetPort(port);
        {
            const TErrorPlaceScope scope(TErrorPlace::WebServer);
            Guarded([&] { server.SetActive(true); });
        }
        ::close(held);
        RemoveErrorBox();
        SetErrorContextProvider(previous);
        SetLogSink({});
        ResetLogLimits();
        QCOMPARE(shownText, QStringLiteral("Windows socket error: Address already in use (98), on API 'bind'"));
        const QString endpoint = QStringLiteral("127.0.0.1:%1").arg(port);
        QVERIFY2(shownDetail.startsWith("The web server (status page) could not listen on " + endpoint + "."),
                 qPrintable(shownDetail));
        QCOMPARE(shownDetail.count(QString::number(port)), 1);
        QCOMPARE(lines, std::vector<std::string>{"linewatch: cannot listen on " + endpoint.toStdString() +
                                                 " for the web page: address already in use"});
    }
};

QTEST_GUILESS_MAIN(TestErrorBox)
#include "tst_errorbox.moc"
