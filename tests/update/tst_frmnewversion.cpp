// SPDX-License-Identifier: MIT
// Tests of the new-version dialog: its texts, the link that opens only real addresses, and the
// ways it closes (Close button, Escape, modal run through ShowNewVersionDialog).
#include "frmnewversion.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {

TNewVersionTexts sampleTexts(const QString &url)
{
    TNewVersionTexts texts;
    texts.ThisVersion = QStringLiteral("1.0.1.3  8/16/00");
    texts.CurrentVersion = QStringLiteral("1.0.2.0  3/1/01");
    texts.Url = url;
    texts.Features = QStringList{"1.0.2.0:", QStringLiteral("  \u2022Faster"), QStringLiteral("  \u2022<b>bold</b>")};
    return texts;
}

} // namespace

class TestFrmNewVersion : public QObject
{
    Q_OBJECT

private slots:
    void showsTexts();
    void linkOpensOnlyAddresses_data();
    void linkOpensOnlyAddresses();
    void closesOnButtonAndEscape();
    void runsModallyUntilClosed();
};

void TestFrmNewVersion::showsTexts()
{
    TfrmNewVersion dialog;
    dialog.SetTexts(sampleTexts(QStringLiteral("http://www.brelwick.example/linewatch/")));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("New Version Available!"));
    QCOMPARE(dialog.size(), QSize(400, 355));
    QCOMPARE(dialog.lblThisVersion()->text(), QStringLiteral("1.0.1.3  8/16/00"));
    QCOMPARE(dialog.lblCurrentVersion()->text(), QStringLiteral("1.0.2.0  3/1/01"));
    QCOMPARE(dialog.lblURL()->text(), QStringLiteral("http://www.brelwick.example/linewatch/"));
    // Texts from the version file are shown as they are, never as markup.
    QCOMPARE(dialog.lblURL()->textFormat(), Qt::PlainText);
    QCOMPARE(dialog.mmoNewFeatures()->toPlainText(), QStringLiteral("1.0.2.0:\n  \u2022Faster\n  \u2022<b>bold</b>"));
    QVERIFY(dialog.mmoNewFeatures()->isReadOnly());
    QCOMPARE(dialog.btnClose()->text(), QStringLiteral("&Close"));
}

void TestFrmNewVersion::linkOpensOnlyAddresses_data()
{
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("opens");
    QTest::newRow("web page") << "http://www.brelwick.example/linewatch/" << true;
    QTest::newRow("not found") << "Location Not Found" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("no scheme") << "www.brelwick.example/linewatch/" << false;
}

void TestFrmNewVersion::linkOpensOnlyAddresses()
{
    QFETCH(QString, caption);
    QFETCH(bool, opens);
    TfrmNewVersion dialog;
    QList<QUrl> opened;
    dialog.OpenUrl = [&](const QUrl &url) { opened << url; };
    dialog.SetTexts(sampleTexts(caption));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(dialog.lblURL(), Qt::LeftButton);
    QCOMPARE(opened.size(), opens ? 1 : 0);
    if (opens)
        QCOMPARE(opened[0], QUrl(caption));
}

void TestFrmNewVersion::closesOnButtonAndEscape()
{
    TfrmNewVersion dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(dialog.btnClose(), Qt::LeftButton);
    QVERIFY(!dialog.isVisible());

    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(!dialog.isVisible());
}

void TestFrmNewVersion::runsModallyUntilClosed()
{
    QString seenVersion;
    bool wasModal = false;
    QTimer::singleShot(0, [&] {
        auto *dialog = qobject_cast<TfrmNewVersion *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        wasModal = true;
        seenVersion = dialog->lblCurrentVersion()->text();
        dialog->btnClose()->click();
    });
    ShowNewVersionDialog(nullptr, sampleTexts(QStringLiteral("Location Not Found")));
    QVERIFY(wasModal);
    QCOMPARE(seenVersion, QStringLiteral("1.0.2.0  3/1/01"));
}

QTEST_MAIN(TestFrmNewVersion)
#include "tst_frmnewversion.moc"
