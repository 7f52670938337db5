// SPDX-License-Identifier: MIT
// The History tab: the call list as a model that loads keyset pages as the view scrolls (a
// million calls open at once), the filters, today's and this month's totals, the bar chart of the
// last 31 days and the CSV export. It reads the database through its own read-only connection.
#pragma once

#include "historyquery.h"

#include <QAbstractTableModel>
#include <QWidget>

#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;
class QTimer;
class TDailyChart;

class THistoryModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Start, Channel, Type, Duration, Remote, Sent, Received, Peak, ColumnCount };
    // Calls read from the database at a time.
    static constexpr int kPageSize = 200;

    explicit THistoryModel(QObject *parent = nullptr);
    ~THistoryModel() override;

    // Reads Filter's calls from Reader (not owned; null for none) from the newest on.
    void reset(history::THistoryReader *reader, const history::TCallFilter &filter);
    const history::TCallFilter &filter() const { return m_filter; }
    const history::TCallRow &call(int row) const { return m_rows[std::size_t(row)]; }

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool canFetchMore(const QModelIndex &parent) const override;
    void fetchMore(const QModelIndex &parent) override;

private:
    history::THistoryReader *m_reader = nullptr;
    history::TCallFilter m_filter;
    std::vector<history::TCallRow> m_rows;
    bool m_atEnd = true;
};

class THistoryTab : public QWidget
{
    Q_OBJECT

public:
    explicit THistoryTab(QWidget *parent = nullptr);
    ~THistoryTab() override;

    // The database to read and whether logging is on; reloads when either changed.
    void setDatabase(const QString &path, bool enabled);
    // Reloads list, totals and chart now (the filters stay).
    void refresh();
    // The history changed: reloads soon, or when the tab is next shown.
    void scheduleRefresh();

    // Writes the filtered calls to Path; an empty text on success, else why not.
    QString exportCsv(const QString &path);
    // Asks for the export's file name; a test puts its own answer here.
    std::function<QString()> AskExportFile;

    THistoryModel *model() const { return built()->m_model; }
    QTableView *view() const { return built()->m_view; }
    TDailyChart *chart() const { return built()->m_chart; }
    QComboBox *channelFilter() const { return built()->m_channel; }
    QLineEdit *callerFilter() const { return built()->m_caller; }
    QCheckBox *dateFilter() const { return built()->m_dates; }
    QDateEdit *fromDate() const { return built()->m_from; }
    QDateEdit *toDate() const { return built()->m_to; }
    QPushButton *exportButton() const { return built()->m_export; }
    // The line that says why there is no list (logging off, unreadable database); hidden otherwise.
    QLabel *messageLabel() const { return built()->m_message; }
    QString totalsText() const;

signals:
    // One line for the status bar (an export's result).
    void statusMessage(const QString &text);

protected:
    void showEvent(QShowEvent *event) override;

private:
    // The tab's widgets, made the first time anything needs them.
    THistoryTab *built() const;
    void build();
    history::TCallFilter currentFilter() const;
    void applyFilter();
    void showTotals();
    void exportClicked();

    QString m_path;
    bool m_enabled = false;
    bool m_stale = true;
    std::unique_ptr<history::THistoryReader> m_reader;
    THistoryModel *m_model = nullptr;
    QTableView *m_view = nullptr;
    TDailyChart *m_chart = nullptr;
    QCheckBox *m_dates = nullptr;
    QDateEdit *m_from = nullptr;
    QDateEdit *m_to = nullptr;
    QComboBox *m_channel = nullptr;
    QLineEdit *m_caller = nullptr;
    QPushButton *m_export = nullptr;
    QLabel *m_message = nullptr;
    QLabel *m_todayTotals = nullptr;
    QLabel *m_monthTotals = nullptr;
    QTimer *m_refreshTimer = nullptr;
    QTimer *m_callerTimer = nullptr;
};
