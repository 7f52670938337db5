// SPDX-License-Identifier: MIT
// The History tab over databases made here: the list loads page by page, the filters change its
// rows, a change of the history shows up, the export writes the filtered calls, and logging off
// or an unreadable file is said in the tab instead of failing.
#include "dailychart.h"
#include "historyschema.h"
#include "historytab.h"
#include "sqlitedb.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <set>

namespace {

// Calls a minute apart, ending an hour ago; odd ids on B1, even ones on B2, every tenth from
// "5551234", the rest from "0305558812".
void addCalls(const QString &Path, int Count, bool Create)
{
    sqlitedb::TDb db(Path);
    QVERIFY(db.isOpen());
    if (Create) {
        QVERIFY(db.exec(QStringLiteral("PRAGMA journal_mode=WAL")));
        for (const char *step : history::kMigrations)
            QVERIFY2(db.exec(QString::fromLatin1(step)), qPrintable(db.error()));
        QVERIFY(db.exec(QStringLiteral("PRAGMA user_version = %1").arg(history::kSchemaVersion)));
    }
    const QList<QStringList> counted = db.query(QStringLiteral("SELECT count(*) FROM calls"));
    QCOMPARE(counted.size(), 1);
    const int first = counted[0][0].toInt();
    const qint64 start = QDateTime::currentSecsSinceEpoch() - 3600 - 60 * 5000;
    QVERIFY(db.exec(QStringLiteral("BEGIN")));
    sqlitedb::TStatement insert(
        db.handle(),
        QStringLiteral("INSERT INTO calls(channel, kind, direction, start_utc, end_utc, duration, remote, "
                       "tx_packets, rx_packets, peak_usage, mean_usage) VALUES(?, 'data', 'out', ?, ?, 30, ?, "
                       "100, 200, 50, 20)"));
    for (int i = first; i < first + Count; ++i)
        QVERIFY(insert.run({1 + i % 2, start + 60 * i, start + 60 * i + 30,
                            i % 10 == 0 ? QStringLiteral("5551234") : QStringLiteral("0305558812")}));
    QVERIFY(db.exec(QStringLiteral("COMMIT")));
}

} // namespace

class TstHistoryTab : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void listLoadsPageByPage();
    void filtersChangeTheRows();
    void newCallsShowAfterAChange();
    void exportWritesTheFilteredCalls();
    void offOrUnreadableIsSaidInTheTab();
    void chartFollowsADarkPalette();
    void builtAndShownWhenFirstOpened();

private:
    QTemporaryDir m_dir;
    QString m_path;
};

void TstHistoryTab::init()
{
    m_path = m_dir.filePath(QString::fromLatin1(QTest::currentTestFunction()) + QStringLiteral(".sqlite"));
}

void TstHistoryTab::listLoadsPageByPage()
{
    addCalls(m_path, 1000, true);
    THistoryTab tab;
    tab.setDatabase(m_path, true);
    tab.refresh();
    THistoryModel *model = tab.model();
    QCOMPARE(model->rowCount(), THistoryModel::kPageSize);
    QVERIFY(model->canFetchMore({}));
    QVERIFY(!tab.messageLabel()->isVisibleTo(&tab));

    // Scrolling to the end asks for the next pages, never all at once.
    tab.resize(700, 500);
    tab.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tab));
    tab.view()->scrollToBottom();
    QTRY_VERIFY(model->rowCount() > THistoryModel::kPageSize);
    QVERIFY(model->rowCount() < 1000);
    while (model->canFetchMore({}))
        model->fetchMore({});
    QCOMPARE(model->rowCount(), 1000);
    std::set<qint64> seen;
    for (int row = 0; row < model->rowCount(); ++row) {
        QVERIFY(seen.insert(model->call(row).Id).second);
        if (row > 0)
            QVERIFY(model->call(row).StartUtc <= model->call(row - 1).StartUtc);
    }
    // The router's counters count packets: shown as counts, a volume only as an estimate (30 s at
    // a mean 20 % of 64 kbit/s).
    const QModelIndex sent = model->index(0, THistoryModel::Sent);
    QCOMPARE(model->headerData(THistoryModel::Sent, Qt::Horizontal, Qt::DisplayRole).toString(),
             QStringLiteral("Packets sent"));
    QCOMPARE(sent.data().toString(), QStringLiteral("100"));
    QVERIFY2(sent.data(Qt::ToolTipRole).toString().contains(QLatin1String("about 48 kB")),
             qPrintable(sent.data(Qt::ToolTipRole).toString()));
    // Thirty-one bars ending today, and a month's totals.
    QCOMPARE(tab.chart()->bars().size(), std::size_t(31));
    QCOMPARE(tab.chart()->bars().back().Day, QDate::currentDate());
}

void TstHistoryTab::filtersChangeTheRows()
{
    addCalls(m_path, 100, true);
    THistoryTab tab;
    tab.setDatabase(m_path, true);
    tab.refresh();
    THistoryModel *model = tab.model();
    QCOMPARE(model->rowCount(), 100);

    tab.channelFilter()->setCurrentIndex(2);
    QCOMPARE(model->rowCount(), 50);
    for (int row = 0; row < model->rowCount(); ++row)
        QCOMPARE(model->call(row).Channel, 2);

    // That caller only ever called on B1.
    tab.callerFilter()->setText(QStringLiteral("5551234"));
    QTRY_COMPARE(model->rowCount(), 0);
    tab.channelFilter()->setCurrentIndex(0);
    QCOMPARE(model->rowCount(), 10);
    tab.callerFilter()->clear();
    QTRY_COMPARE(model->rowCount(), 100);

    // A day range that holds none of the calls, then one that holds all.
    const QDate today = QDate::currentDate();
    tab.fromDate()->setDate(today.addDays(-30));
    tab.toDate()->setDate(today.addDays(-20));
    tab.dateFilter()->setChecked(true);
    QCOMPARE(model->rowCount(), 0);
    tab.toDate()->setDate(today);
    tab.fromDate()->setDate(today.addDays(-5));
    QCOMPARE(model->rowCount(), 100);
}

void TstHistoryTab::newCallsShowAfterAChange()
{
    addCalls(m_path, 10, true);
    THistoryTab tab;
    tab.setDatabase(m_path, true);
    tab.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tab));
    QCOMPARE(tab.model()->rowCount(), 10);
    // Another connection writes while the tab holds its reader, as the monitor's writer does.
    addCalls(m_path, 5, false);
    tab.scheduleRefresh();
    QTRY_COMPARE(tab.model()->rowCount(), 15);
    QCOMPARE(tab.model()->call(0).Id, 15);
}

void TstHistoryTab::exportWritesTheFilteredCalls()
{
    addCalls(m_path, 30, true);
    THistoryTab tab;
    tab.setDatabase(m_path, true);
    tab.refresh();
    tab.channelFilter()->setCurrentIndex(1);
    const QString file = m_dir.filePath(QStringLiteral("b1.csv"));
    QCOMPARE(tab.exportCsv(file), QString());
    QFile csv(file);
    QVERIFY(csv.open(QIODevice::ReadOnly));
    QCOMPARE(csv.readAll().count("\r\n"), 16); // header and B1's fifteen calls

    const QString problem = tab.exportCsv(m_dir.filePath(QStringLiteral("no/such/dir/calls.csv")));
    QVERIFY2(problem.contains(QLatin1String("no/such/dir")), qPrintable(problem));
}

void TstHistoryTab::offOrUnreadableIsSaidInTheTab()
{
    addCalls(m_path, 5, true);
    THistoryTab tab;
    tab.setDatabase(m_path, false);
    tab.refresh();
    QVERIFY(tab.messageLabel()->isVisibleTo(&tab));
    QVERIFY(tab.messageLabel()->text().contains(QLatin1String("Keep a call history")));
    QCOMPARE(tab.model()->rowCount(), 0);
    QVERIFY(!tab.exportButton()->isEnabled());

    const QString missing = m_dir.filePath(QStringLiteral("missing.sqlite"));
    tab.setDatabase(missing, true);
    tab.refresh();
    QVERIFY(tab.messageLabel()->text().contains(missing));
    QVERIFY(!QFile::exists(missing));

    const QString garbage = m_dir.filePath(QStringLiteral("garbage.sqlite"));
    QFile file(garbage);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(8192, 'x'));
    file.close();
    tab.setDatabase(garbage, true);
    tab.refresh();
    QVERIFY(tab.messageLabel()->isVisibleTo(&tab));
    QCOMPARE(tab.model()->rowCount(), 0);

    tab.setDatabase(m_path, true);
    tab.refresh();
    QVERIFY(!tab.messageLabel()->isVisibleTo(&tab));
    QCOMPARE(tab.model()->rowCount(), 5);
    QVERIFY(tab.exportButton()->isEnabled());
}

void TstHistoryTab::chartFollowsADarkPalette()
{
    TDailyChart chart;
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));
    dark.setColor(QPalette::Base, QColor(0x10, 0x10, 0x10));
    dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Highlight, QColor(0x30, 0x90, 0xff));
    chart.setPalette(dark);
    chart.resize(400, 150);
    chart.setTexts(QStringLiteral("Title"), QStringLiteral("All"), QStringLiteral("Out"));
    const QDate day(2026, 12, 7);
    // Three days: nothing, a short call, and a long day half outgoing.
    chart.setBars({{day.addDays(-2), 0, 0}, {day.addDays(-1), 1, 0}, {day, 10 * 3600, 5 * 3600}});
    const QImage image = chart.grab().toImage();
    QCOMPARE(image.pixelColor(1, 1), dark.color(QPalette::Window));
    QVERIFY(chart.barRect(0).height() == 0);
    QCOMPARE(chart.barRect(1).height(), 1); // a second of traffic still shows
    const QRect full = chart.barRect(2);
    QCOMPARE(full.top(), chart.plotRect().top()); // the scale's top is the largest day
    QCOMPARE(image.pixelColor(full.center().x(), full.top() + 1), dark.color(QPalette::Highlight));
    QCOMPARE(image.pixelColor(full.center().x(), full.bottom() - 1).rgb(),
             dark.color(QPalette::Highlight).darker(170).rgb());
    // Some text in the palette's text colour: the title's pixels are light on the dark window.
    bool lightText = false;
    for (int x = 0; x < image.width() && !lightText; ++x)
        for (int y = 0; y < chart.plotRect().top() && !lightText; ++y)
            lightText = image.pixelColor(x, y).lightness() > 180;
    QVERIFY(lightText);
}

void TstHistoryTab::builtAndShownWhenFirstOpened()
{
    // A tab nobody opened holds no list; opened, everything it builds then is on screen.
    addCalls(m_path, 10, true);
    QTabWidget tabs;
    tabs.addTab(new QWidget, QStringLiteral("Status"));
    auto *tab = new THistoryTab;
    tabs.addTab(tab, QStringLiteral("History"));
    tab->setDatabase(m_path, true);
    tabs.resize(700, 500);
    tabs.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tabs));
    QVERIFY(tab->findChildren<QTableView *>().isEmpty());

    tabs.setCurrentWidget(tab);
    QTRY_VERIFY(tab->view()->isVisible());
    for (QWidget *shown : std::initializer_list<QWidget *>{tab->chart(), tab->dateFilter(), tab->channelFilter(),
                                                           tab->callerFilter(), tab->exportButton()})
        QVERIFY(shown->isVisible());
    QVERIFY(!tab->messageLabel()->isVisible());
    QCOMPARE(tab->model()->rowCount(), 10);
    QTRY_VERIFY(tab->view()->height() > 60);
}

QTEST_MAIN(TstHistoryTab)
#include "tst_historytab.moc"
