// SPDX-License-Identifier: MIT
// The window in the user's language: the German translation compiled into the program is found,
// turns the captions German, and every German text fits the room the window gives it.
#include "alerts.h"
#include "apperror.h"
#include "frmmain.h"
#include "frmmaincontrols.h"
#include "frmnewversion.h"
#include "pagefit.h"
#include "translation.h"
#include "trayicon.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <stdexcept>

namespace {

// A window with every way out of the machine stubbed and its files in a scratch directory.
struct TWindow
{
    QTemporaryDir dir;
    ErrorReporter previousReporter;
    std::unique_ptr<TfrmMain> window;

    TWindow()
    {
        previousReporter = SetErrorReporter([](const std::string &) {});
        TfrmMain::THooks hooks;
        hooks.AppDir = dir.path().toStdString() + "/";
        hooks.OpenTarget = [](const QString &) {};
        hooks.FetchVersionFile = [](const std::string &) -> std::string { throw std::runtime_error("offline"); };
        hooks.TrayAvailable = [] { return true; };
        hooks.StartConnect = [](TClientSocket &) { throw std::logic_error("no connection expected"); };
        window = std::make_unique<TfrmMain>(std::move(hooks));
    }

    ~TWindow()
    {
        window.reset();
        SetErrorReporter(previousReporter);
    }

    TfrmMainControls &ui() { return *window->Form(); }
};

} // namespace

class TestTranslation : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { InstallTranslations(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void captionsFollowTheLanguage_data();
    void captionsFollowTheLanguage();
    void everyGermanTextFits();
};

void TestTranslation::captionsFollowTheLanguage_data()
{
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<bool>("translated");
    QTest::addColumn<QStringList>("captions"); // Connect, Settings tab, tray Exit, state panel, 1 and 2 minutes

    QTest::newRow("German") << QLocale(QLocale::German, QLocale::Germany) << true
                            << QStringList{"Verbinden",       "Einstellungen", "&Beenden",
                                           "Nicht verbunden", "1 Minute",      "2 Minuten"};
    QTest::newRow("Austrian German") << QLocale(QLocale::German, QLocale::Austria) << true
                                     << QStringList{"Verbinden",       "Einstellungen", "&Beenden",
                                                    "Nicht verbunden", "1 Minute",      "2 Minuten"};
    QTest::newRow("English") << QLocale(QLocale::English, QLocale::UnitedKingdom) << false
                             << QStringList{"Connect", "Settings", "E&xit", "Not Connected", "1 minute", "2 minutes"};
    QTest::newRow("no translation: English")
        << QLocale(QLocale::Japanese, QLocale::Japan) << false
        << QStringList{"Connect", "Settings", "E&xit", "Not Connected", "1 minute", "2 minutes"};
}

void TestTranslation::captionsFollowTheLanguage()
{
    QFETCH(QLocale, locale);
    QFETCH(bool, translated);
    QFETCH(QStringList, captions);

    QCOMPARE(InstallTranslations(locale), translated);
    TWindow w;
    QCOMPARE(w.ui().btnConnect->text(), captions[0]);
    QCOMPARE(w.ui().PageControl1->tabText(w.ui().PageControl1->indexOf(w.ui().tabSettings)), captions[1]);
    QCOMPARE(w.window->TrayIcon->mnuExit->text(), captions[2]);
    QCOMPARE(w.window->PanelText(1), captions[3]);
    QCOMPARE(TAlerts::Minutes(1), captions[4]);
    QCOMPARE(TAlerts::Minutes(2), captions[5]);
}

void TestTranslation::everyGermanTextFits()
{
    // German words are longer than the English ones the layout was drawn for: no caption, check
    // box or button may be cut, and nothing may stick out of its page.
    QVERIFY(InstallTranslations(QLocale(QLocale::German, QLocale::Germany)));
    TWindow w;
    w.window->show();
    const QString cut = lwtest::firstCutWidget(w.ui().PageControl1);
    QVERIFY2(cut.isEmpty(), qPrintable(cut));
    QLabel *panel1 = w.window->findChild<QLabel *>(QStringLiteral("StatusPanel1"));
    QVERIFY(panel1->width() >= panel1->sizeHint().width());

    // The new-version dialog has a fixed size.
    TfrmNewVersion dialog(nullptr);
    dialog.SetTexts({QStringLiteral("1.0.1.3  8/16/00"),
                     QStringLiteral("1.0.2.0  9/1/00"),
                     QStringLiteral("http://127.0.0.1/"),
                     {}});
    dialog.show();
    QCOMPARE(dialog.btnClose()->text(), QStringLiteral("&Schließen"));
    for (QWidget *widget : dialog.findChildren<QWidget *>()) {
        if (qobject_cast<QLabel *>(widget) || qobject_cast<QAbstractButton *>(widget))
            QVERIFY2(widget->width() >= widget->sizeHint().width(), qPrintable(widget->objectName()));
    }
}

QTEST_MAIN(TestTranslation)
#include "tst_translation.moc"
