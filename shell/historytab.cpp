// SPDX-License-Identifier: MIT
// The History tab; see historytab.h. The list never counts or offsets: it asks for the next
// page after the last call it holds, so opening a million calls costs one page. Reloads after a
// change of the history wait a moment (a busy line ends calls in bursts) and wait for the tab to
// be shown when it is hidden.
#include "historytab.h"

#include "dailychart.h"
#include "privatefile.h"
#include "refresh.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDateTime>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// Days in the bar chart, and the wait before a reload.
constexpr int kChartDays = 31;
constexpr int kRefreshDelayMs = 500;
constexpr int kCallerTypingDelayMs = 300;

QString clockText(int64_t seconds)
{
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

// The router's channel counters count packets: shown as the plain count they are.
QString packetsText(int64_t packets)
{
    return QLocale().toString(qint64(packets));
}

// An ISDN B channel carries 64 kbit/s, 8,000 bytes a second, at 100 % line usage.
constexpr double kChannelBytesPerSecond = 8000.0;

} // namespace

THistoryModel::THistoryModel(QObject *parent) : QAbstractTableModel(parent) {}

THistoryModel::~THistoryModel() = default;

void THistoryModel::reset(history::THistoryReader *reader, const history::TCallFilter &filter)
{
    beginResetModel();
    m_reader = reader;
    m_filter = filter;
    m_rows.clear();
    m_rows.shrink_to_fit();
    m_atEnd = reader == nullptr || !reader->isOpen();
    endResetModel();
    // The first page now, so the list shows calls before the view asks.
    if (canFetchMore({}))
        fetchMore({});
}

int THistoryModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int THistoryModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

bool THistoryModel::canFetchMore(const QModelIndex &parent) const
{
    return !parent.isValid() && !m_atEnd;
}

void THistoryModel::fetchMore(const QModelIndex &parent)
{
    if (!canFetchMore(parent))
        return;
    std::optional<history::TPageKey> after;
    if (!m_rows.empty())
        after = history::TPageKey{m_rows.back().StartUtc, m_rows.back().Id};
    std::vector<history::TCallRow> page = m_reader->callPage(m_filter, after, kPageSize);
    if (int(page.size()) < kPageSize)
        m_atEnd = true;
    if (page.empty())
        return;
    const int first = int(m_rows.size());
    beginInsertRows({}, first, first + int(page.size()) - 1);
    m_rows.insert(m_rows.end(), std::make_move_iterator(page.begin()), std::make_move_iterator(page.end()));
    endInsertRows();
}

QVariant THistoryModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= int(m_rows.size()))
        return {};
    const history::TCallRow &call = m_rows[std::size_t(index.row())];
    if (role == Qt::TextAlignmentRole && index.column() != Remote && index.column() != Type)
        return QVariant(Qt::AlignRight | Qt::AlignVCenter);
    if (role == Qt::ToolTipRole && index.column() == Duration && call.ClosedAtStop)
        return tr("The call was still up when the monitor stopped; it counts until then.");
    // The router tells packets, not bytes: the volume is estimated from the line usage it shows.
    if (role == Qt::ToolTipRole && (index.column() == Sent || index.column() == Received) &&
        call.Kind != QLatin1String("voice"))
        return tr("The router counts packets, not bytes. Estimated volume of the call: about %1 "
                  "(mean line usage %2 % of 64 kbit/s for %3 s).")
            .arg(QLocale().formattedDataSize(
                     qint64(call.MeanUsage / 100.0 * kChannelBytesPerSecond * double(call.Duration)), 0,
                     QLocale::DataSizeSIFormat),
                 QLocale().toString(call.MeanUsage, 'f', 1), QLocale().toString(qint64(call.Duration)));
    if (role != Qt::DisplayRole)
        return {};
    // A voice call moves no data: its packet and usage cells stay empty rather than read "0".
    const bool voice = call.Kind == QLatin1String("voice");
    if (voice && (index.column() == Sent || index.column() == Received || index.column() == Peak))
        return {};
    switch (index.column()) {
    case Start:
        return QDateTime::fromSecsSinceEpoch(call.StartUtc).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    case Channel:
        return QStringLiteral("B%1").arg(call.Channel);
    case Type: {
        const bool out = call.Direction == QLatin1String("out");
        return voice ? (out ? tr("Voice, outgoing") : tr("Voice, incoming"))
                     : (out ? tr("Data, outgoing") : tr("Data, incoming"));
    }
    case Duration:
        return clockText(call.Duration) + (call.ClosedAtStop ? QStringLiteral(" *") : QString());
    case Remote: {
        // A caller ID as the caller-ID lists show it; an address, or a text the router never
        // sent (beyond Latin-1), as it is.
        const QByteArray bytes = call.Remote.toLatin1();
        if (call.Direction != QLatin1String("in") || QString::fromLatin1(bytes) != call.Remote)
            return call.Remote;
        return CallerIdText(bytes.toStdString());
    }
    case Sent:
        return packetsText(call.TxPackets);
    case Received:
        return packetsText(call.RxPackets);
    case Peak:
        return QStringLiteral("%1 %").arg(call.PeakUsage);
    default:
        return {};
    }
}

QVariant THistoryModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case Start:
        return tr("Start");
    case Channel:
        return tr("Ch.");
    case Type:
        return tr("Call");
    case Duration:
        return tr("Duration");
    case Remote:
        return tr("Caller / address");
    case Sent:
        return tr("Packets sent");
    case Received:
        return tr("Packets received");
    case Peak:
        return tr("Peak");
    default:
        return {};
    }
}

THistoryTab::THistoryTab(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("tabHistory"));
    AskExportFile = [this] {
        return QFileDialog::getSaveFileName(this, tr("Export Calls"), QStringLiteral("calls.csv"),
                                            tr("CSV files (*.csv);;All files (*)"));
    };
}

THistoryTab *THistoryTab::built() const
{
    // Built on first use only: most users never open the tab, and its table, chart and date edits
    // would be held in memory for the whole run.
    auto *self = const_cast<THistoryTab *>(this);
    if (!m_model)
        self->build();
    return self;
}

void THistoryTab::build()
{
    m_model = new THistoryModel(this);

    m_dates = new QCheckBox(tr("From"), this);
    m_dates->setToolTip(tr("Only calls that started on these days"));
    m_from = new QDateEdit(QDate::currentDate().addDays(1 - kChartDays), this);
    m_to = new QDateEdit(QDate::currentDate(), this);
    for (QDateEdit *edit : {m_from, m_to}) {
        edit->setCalendarPopup(true);
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
        edit->setEnabled(false);
    }
    m_channel = new QComboBox(this);
    m_channel->addItems({tr("Both channels"), QStringLiteral("B1"), QStringLiteral("B2")});
    m_caller = new QLineEdit(this);
    m_caller->setPlaceholderText(tr("Caller or address"));
    m_export = new QPushButton(tr("Export CSV..."), this);
    m_export->setToolTip(tr("Save the calls the filters show as a CSV file"));

    auto *filters = new QHBoxLayout;
    filters->addWidget(m_dates);
    filters->addWidget(m_from);
    filters->addWidget(new QLabel(tr("to"), this));
    filters->addWidget(m_to);
    filters->addWidget(m_channel);
    filters->addWidget(m_caller, 1);
    filters->addWidget(m_export);

    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("lblHistoryMessage"));
    m_message->setTextFormat(Qt::PlainText);
    m_message->setWordWrap(true);
    m_message->hide();
    m_todayTotals = new QLabel(this);
    m_monthTotals = new QLabel(this);
    auto *totals = new QGridLayout;
    totals->setVerticalSpacing(0);
    totals->addWidget(new QLabel(tr("Today:"), this), 0, 0);
    totals->addWidget(m_todayTotals, 0, 1);
    totals->addWidget(new QLabel(tr("This month:"), this), 1, 0);
    totals->addWidget(m_monthTotals, 1, 1);
    totals->setColumnStretch(1, 1);

    m_chart = new TDailyChart(this);
    m_chart->setTexts(tr("Connected time per day, last %1 days").arg(kChartDays), tr("Connected"),
                      tr("Outgoing calls"));
    m_chart->setFixedHeight(120);

    m_view = new QTableView(this);
    m_view->setModel(m_model);
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setAlternatingRowColors(true);
    m_view->setWordWrap(false);
    m_view->verticalHeader()->hide();
    m_view->verticalHeader()->setDefaultSectionSize(m_view->fontMetrics().height() + 4);
    m_view->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_view->horizontalHeader()->setStretchLastSection(false);
    m_view->horizontalHeader()->setSectionResizeMode(THistoryModel::Remote, QHeaderView::Stretch);
    const QFontMetrics fm = m_view->fontMetrics();
    m_view->setColumnWidth(THistoryModel::Start, fm.horizontalAdvance(QStringLiteral("0000-00-00 00:00:00")) + 12);
    m_view->setColumnWidth(THistoryModel::Channel, fm.horizontalAdvance(QStringLiteral("B2")) + 16);
    m_view->setColumnWidth(THistoryModel::Type, fm.horizontalAdvance(tr("Voice, outgoing")) + 12);
    m_view->setColumnWidth(THistoryModel::Duration, fm.horizontalAdvance(QStringLiteral("00:00:00 *")) + 12);
    for (const int column : {THistoryModel::Sent, THistoryModel::Received})
        m_view->setColumnWidth(column, fm.horizontalAdvance(QStringLiteral("0,000,000")) + 12);
    m_view->setColumnWidth(THistoryModel::Peak, fm.horizontalAdvance(QStringLiteral("100 %")) + 12);
    // A column is never narrower than its title, which is longer than the figures in some languages.
    const QFontMetrics headerMetrics = m_view->horizontalHeader()->fontMetrics();
    for (int column = 0; column < m_model->columnCount(); ++column) {
        const QString title = m_model->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
        m_view->setColumnWidth(column,
                               std::max(m_view->columnWidth(column), headerMetrics.horizontalAdvance(title) + 16));
    }
    m_view->setMinimumHeight(60);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setSpacing(4);
    layout->addLayout(filters);
    layout->addWidget(m_message);
    layout->addLayout(totals);
    layout->addWidget(m_chart);
    layout->addWidget(m_view, 1);

    m_refreshTimer = new QTimer(this);
    m_refreshTimer->setSingleShot(true);
    m_refreshTimer->setInterval(kRefreshDelayMs);
    connect(m_refreshTimer, &QTimer::timeout, this, [this] { refresh(); });
    m_callerTimer = new QTimer(this);
    m_callerTimer->setSingleShot(true);
    m_callerTimer->setInterval(kCallerTypingDelayMs);
    connect(m_callerTimer, &QTimer::timeout, this, [this] { applyFilter(); });

    connect(m_dates, &QCheckBox::toggled, this, [this](bool on) {
        m_from->setEnabled(on);
        m_to->setEnabled(on);
        applyFilter();
    });
    connect(m_from, &QDateEdit::dateChanged, this, [this] { applyFilter(); });
    connect(m_to, &QDateEdit::dateChanged, this, [this] { applyFilter(); });
    connect(m_channel, &QComboBox::currentIndexChanged, this, [this] { applyFilter(); });
    connect(m_caller, &QLineEdit::textChanged, m_callerTimer, [this] { m_callerTimer->start(); });
    connect(m_export, &QPushButton::clicked, this, [this] { exportClicked(); });

    // Built while the tab is being shown: children made after its own show start hidden.
    if (isVisible()) {
        for (QWidget *child : findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            if (!child->testAttribute(Qt::WA_WState_ExplicitShowHide))
                child->show();
    }
}

THistoryTab::~THistoryTab()
{
    // The model holds the reader's pointer: it goes first.
    if (m_model)
        m_model->reset(nullptr, {});
}

void THistoryTab::setDatabase(const QString &path, bool enabled)
{
    if (path == m_path && enabled == m_enabled && !m_stale)
        return;
    m_path = path;
    m_enabled = enabled;
    m_stale = true;
    if (isVisible())
        refresh();
}

void THistoryTab::scheduleRefresh()
{
    m_stale = true;
    if (isVisible() && m_refreshTimer)
        m_refreshTimer->start();
}

void THistoryTab::showEvent(QShowEvent *event)
{
    built();
    QWidget::showEvent(event);
    if (m_stale)
        refresh();
}

void THistoryTab::refresh()
{
    built();
    m_refreshTimer->stop();
    m_stale = false;
    m_model->reset(nullptr, {});
    m_reader.reset();
    QString problem;
    if (!m_enabled) {
        problem = tr("The call history is off: switch on \"Keep a call history\" in the Settings tab's Logging "
                     "group.");
    } else {
        // A new connection each time: a deleted and remade file, or a new path, is read afresh.
        m_reader = std::make_unique<history::THistoryReader>(m_path);
        if (!m_reader->isOpen()) {
            problem = m_reader->errorText();
            m_reader.reset();
        }
    }
    m_message->setText(problem);
    m_message->setVisible(!problem.isEmpty());
    m_export->setEnabled(problem.isEmpty());
    m_chart->setMessage(problem.isEmpty() ? QString() : tr("No history to show"));
    m_model->reset(m_reader.get(), currentFilter());
    showTotals();
}

history::TCallFilter THistoryTab::currentFilter() const
{
    history::TCallFilter filter;
    if (m_dates->isChecked()) {
        // The user's days are local days.
        filter.SinceUtc = QDateTime(m_from->date(), QTime(0, 0)).toSecsSinceEpoch();
        filter.BeforeUtc = QDateTime(m_to->date().addDays(1), QTime(0, 0)).toSecsSinceEpoch();
    }
    filter.Channel = m_channel->currentIndex();
    filter.Caller = m_caller->text().trimmed();
    return filter;
}

void THistoryTab::applyFilter()
{
    m_callerTimer->stop();
    const history::TCallFilter filter = currentFilter();
    if (m_reader && filter != m_model->filter())
        m_model->reset(m_reader.get(), filter);
}

void THistoryTab::showTotals()
{
    const auto line = [](const history::TTotals &t) {
        return tr("%1 connected, %2 outgoing calls, %3 packets sent, %4 packets received")
            .arg(clockText(t.ConnectedSeconds), clockText(t.OutcallSeconds), packetsText(t.TxPackets),
                 packetsText(t.RxPackets));
    };
    if (!m_reader) {
        m_todayTotals->setText(QStringLiteral("-"));
        m_monthTotals->setText(QStringLiteral("-"));
        m_chart->setBars({});
        return;
    }
    const QDate today = QDate::currentDate();
    m_todayTotals->setText(line(m_reader->totals(today, today)));
    m_monthTotals->setText(line(m_reader->totals(QDate(today.year(), today.month(), 1), today)));
    std::vector<TDailyChart::TBar> bars;
    for (const history::TDayTotals &day : m_reader->dailyTotals(today, kChartDays))
        bars.push_back({day.Day, day.Totals.ConnectedSeconds, day.Totals.OutcallSeconds});
    m_chart->setBars(std::move(bars));
}

QString THistoryTab::totalsText() const
{
    const THistoryTab *tab = built();
    return tab->m_todayTotals->text() + QLatin1Char('\n') + tab->m_monthTotals->text();
}

QString THistoryTab::exportCsv(const QString &path)
{
    built();
    if (!m_reader)
        return m_message->text();
    // Whole or not at all, 0600, and never written through a link at the chosen name.
    TPrivateSaveFile file(path);
    if (!file.open())
        return tr("Cannot write %1: %2").arg(path, file.errorString());
    const std::optional<int64_t> rows = m_reader->exportCsv(currentFilter(), file.device());
    if (!rows)
        return m_reader->errorText();
    if (!file.commit())
        return tr("Cannot write %1: %2").arg(path, file.errorString());
    emit statusMessage(tr("%n call(s) exported to %1", nullptr, int(*rows)).arg(path));
    return {};
}

void THistoryTab::exportClicked()
{
    const QString path = AskExportFile ? AskExportFile() : QString();
    if (path.isEmpty())
        return;
    const QString problem = exportCsv(path);
    if (!problem.isEmpty())
        QMessageBox::warning(this, tr("Export Calls"), problem);
}
