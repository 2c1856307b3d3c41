#include "StatsWindow.h"

#include "DateText.h"
#include "Global.h"
#include "StatsWorkbook.h"

#include <QBarSeries>
#include <QBarSet>
#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QGuiApplication>
#include <QEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QLocale>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// Room between two axis labels, in pixels.
constexpr int kLabelGap = 12;

QString number(qint64 n) { return QLocale(QLocale::Chinese, QLocale::China).toString(n); }

QString hourText(int hour) { return QStringLiteral("%1:00-%1:59").arg(hour, 2, 10, QLatin1Char('0')); }

QString periodTitle(StatsPeriod period)
{
    switch (period) {
    case StatsPeriod::Week:
        return QStringLiteral("每周刷卡次数（柱）与人数（线）　按周统计：周一至周日为一周，标注周一的日期");
    case StatsPeriod::Month:
        return QStringLiteral("每月刷卡次数（柱）与人数（线）　按月统计");
    case StatsPeriod::Day:
        break;
    }
    return QStringLiteral("每日刷卡次数（柱）与人数（线）");
}

// Steps between shown labels that read well: whole weeks of days, quarters of weeks, and so on.
const std::vector<int>& niceSteps(StatsPeriod period)
{
    static const std::vector<int> days = {1, 2, 7, 14, 28, 56, 91, 182, 364};
    static const std::vector<int> weeks = {1, 2, 4, 13, 26, 52, 104};
    static const std::vector<int> months = {1, 2, 3, 6, 12, 24, 60, 120};
    switch (period) {
    case StatsPeriod::Week:
        return weeks;
    case StatsPeriod::Month:
        return months;
    case StatsPeriod::Day:
        break;
    }
    return days;
}

// Every how many categories a label goes, so that none overlaps its neighbour.
int labelStep(int count, int labelWidth, qreal plotWidth, const std::vector<int>& nice)
{
    if (count <= 1 || plotWidth <= 0)
        return 1;
    const qreal slot = plotWidth / count;
    const int needed = std::max(1, static_cast<int>(std::ceil((labelWidth + kLabelGap) / slot)));
    for (int s : nice)
        if (s >= needed)
            return s;
    return needed;
}

void setAxisLabels(QCategoryAxis* axis, const QStringList& labels, int step)
{
    for (const QString& label : axis->categoriesLabels())
        axis->remove(label);
    for (int i = 0; i < labels.size(); i += step)
        axis->append(labels[i], i);
}

int widestLabel(const QCategoryAxis* axis, const QStringList& labels)
{
    const QFontMetrics metrics(axis->labelsFont());
    int widest = 0;
    for (const QString& label : labels)
        widest = std::max(widest, metrics.horizontalAdvance(label));
    return widest;
}

QCategoryAxis* newCategoryAxis(QChart* chart, int count, const QString& title)
{
    auto* axis = new QCategoryAxis;
    axis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    axis->setStartValue(-0.5);
    axis->setRange(-0.5, std::max(count, 1) - 0.5);
    axis->setTitleText(title);
    axis->setGridLineVisible(false);
    chart->addAxis(axis, Qt::AlignBottom);
    return axis;
}

QValueAxis* newCountAxis(QChart* chart, qint64 highest)
{
    auto* axis = new QValueAxis;
    axis->setRange(0, std::max<qint64>(highest, 1));
    axis->applyNiceNumbers();
    axis->setLabelFormat(QStringLiteral("%d"));
    chart->addAxis(axis, Qt::AlignLeft);
    return axis;
}

QChartView* newChartView(const char* name)
{
    auto* chart = new QChart;
    chart->setMargins(QMargins(4, 4, 4, 4));
    chart->legend()->setAlignment(Qt::AlignTop);
    auto* view = new QChartView(chart);
    view->setObjectName(QLatin1String(name));
    view->setRenderHint(QPainter::Antialiasing);
    return view;
}

// A chart emptied of its series and axes.
void clearChart(QChart* chart)
{
    chart->removeAllSeries();
    for (QAbstractAxis* axis : chart->axes()) {
        chart->removeAxis(axis);
        delete axis;
    }
}

} // namespace

StatsWindow::StatsWindow(QSqlDatabase db, const ReadingLogFilter& filter, const QString& outputFolder, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_db(std::move(db))
    , m_filter(filter)
    , m_outputFolder(outputFolder)
{
    setObjectName(QStringLiteral("StatsWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("刷卡统计图表"));
    resize(960, 720);

    m_rangeLabel = new QLabel(this);
    m_rangeLabel->setObjectName(QStringLiteral("rangeLabel"));
    m_noticeLabel = new QLabel(this);
    m_noticeLabel->setObjectName(QStringLiteral("noticeLabel"));
    m_noticeLabel->setStyleSheet(QStringLiteral("color: #b00000;"));
    m_noticeLabel->setWordWrap(true);
    m_totalsLabel = new QLabel(this);
    m_totalsLabel->setObjectName(QStringLiteral("totalsLabel"));
    m_totalsLabel->setWordWrap(true);
    m_periodView = newChartView("periodChart");
    m_hourView = newChartView("hourChart");

    // What the picture shows: the range, the notice, the two charts, the totals.
    m_chartsArea = new QWidget(this);
    m_chartsArea->setObjectName(QStringLiteral("chartsArea"));
    m_chartsArea->setAutoFillBackground(true);
    auto* area = new QVBoxLayout(m_chartsArea);
    area->addWidget(m_rangeLabel);
    area->addWidget(m_noticeLabel);
    area->addWidget(m_periodView, 3);
    area->addWidget(m_hourView, 2);
    area->addWidget(m_totalsLabel);

    auto* savepicbtn = new QPushButton(QStringLiteral("保存图片"), this);
    savepicbtn->setObjectName(QStringLiteral("savepicbtn"));
    auto* exportdatabtn = new QPushButton(QStringLiteral("导出数据"), this);
    exportdatabtn->setObjectName(QStringLiteral("exportdatabtn"));
    auto* closebtn = new QPushButton(QStringLiteral("关 闭"), this);
    closebtn->setObjectName(QStringLiteral("closebtn"));
    for (QPushButton* b : {savepicbtn, exportdatabtn, closebtn})
        b->setAutoDefault(false);
    connect(savepicbtn, &QPushButton::clicked, this, &StatsWindow::savepicbtnClick);
    connect(exportdatabtn, &QPushButton::clicked, this, &StatsWindow::exportdatabtnClick);
    connect(closebtn, &QPushButton::clicked, this, &QWidget::close);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(savepicbtn);
    buttons->addWidget(exportdatabtn);
    buttons->addWidget(closebtn);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_chartsArea, 1);
    layout->addLayout(buttons);

    // The labels are thinned to the room the plot has, which is known only after layout.
    for (QChartView* view : {m_periodView, m_hourView})
        connect(view->chart(), &QChart::plotAreaChanged, this, &StatsWindow::thinLabels);

    // A window of its own, it would keep the program running after the main window has closed.
    if (parent)
        parent->installEventFilter(this);
    recount();
}

StatsWindow::~StatsWindow() = default;

bool StatsWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parentWidget() && event->type() == QEvent::Close)
        close();
    return QWidget::eventFilter(watched, event);
}

void StatsWindow::SetFilter(const ReadingLogFilter& filter)
{
    m_filter = filter;
    recount();
}

void StatsWindow::recount()
{
    m_error.clear();
    // Seconds on a shared store over a year of readings: the pointer shows that it counts.
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    const bool counted = ReadingStats(m_db).Count(m_filter, &m_stats, &m_error);
    QGuiApplication::restoreOverrideCursor();
    if (!counted) {
        if (m_error.isEmpty())
            m_error = QStringLiteral("unknown error");
        m_stats = ReadingStatsResult();
    }
    showStats();
}

QString StatsWindow::NoticeText() const { return m_noticeLabel->text(); }

void StatsWindow::showStats()
{
    QString range = QStringLiteral("统计范围：%1 至 %2").arg(DateText(m_filter.begin.date()), DateText(m_filter.end.date()));
    const QString id = TrimBlanks(m_filter.idText);
    const QString name = TrimBlanks(m_filter.nameText);
    if (!id.isEmpty())
        range += QStringLiteral("　身份证号以“%1”开头").arg(id);
    if (!name.isEmpty())
        range += QStringLiteral("　姓名以“%1”开头").arg(name);
    m_rangeLabel->setText(range);

    QString notice;
    if (!m_error.isEmpty())
        notice = QStringLiteral("统计失败：%1").arg(m_error);
    else if (m_stats.IsEmpty())
        notice = QStringLiteral("当前条件下没有刷卡记录，图表为空。");
    else if (m_stats.unplacedReadings > 0)
        notice = QStringLiteral("另有 %1 次刷卡的时间无法识别，计入合计，未计入图表。").arg(number(m_stats.unplacedReadings));
    m_noticeLabel->setText(notice);
    m_noticeLabel->setVisible(!notice.isEmpty());

    QStringList totals;
    totals << QStringLiteral("刷卡次数：%1").arg(number(m_stats.readings))
           << QStringLiteral("人数（不同证件）：%1").arg(number(m_stats.holders));
    if (m_stats.busiestDay.isValid())
        totals << QStringLiteral("最忙的一天：%1（%2 次）").arg(DateText(m_stats.busiestDay), number(m_stats.busiestDayReadings));
    if (m_stats.busiestHour >= 0)
        totals << QStringLiteral("最忙的时段：%1（%2 次）").arg(hourText(m_stats.busiestHour), number(m_stats.busiestHourReadings));
    if (m_stats.watchListedReadings)
        totals << QStringLiteral("黑名单人员刷卡：%1").arg(number(*m_stats.watchListedReadings));
    if (m_stats.checkedReadings)
        totals << QStringLiteral("异常刷卡：%1").arg(number(*m_stats.checkedReadings));
    m_totalsLabel->setText(totals.join(QStringLiteral("　　")));

    fillPeriodChart();
    fillHourChart();
    m_periodStep = 0;
    m_hourStep = 0;
    thinLabels();
}

void StatsWindow::fillPeriodChart()
{
    QChart* chart = m_periodView->chart();
    clearChart(chart);
    m_periodAxis = nullptr;
    m_periodLabels.clear();
    if (m_stats.buckets.empty()) {
        chart->setTitle(m_error.isEmpty() ? QStringLiteral("当前条件下没有刷卡记录") : QStringLiteral("统计失败"));
        return;
    }
    chart->setTitle(periodTitle(m_stats.period));

    // Dates carry their year only when the chart spans more than one.
    const bool oneYear = m_stats.buckets.front().start.year() == m_stats.buckets.back().start.year();
    const QString form = m_stats.period == StatsPeriod::Month ? QStringLiteral("yyyy-MM")
                         : oneYear                        ? QStringLiteral("MM-dd")
                                                          : QStringLiteral("yyyy-MM-dd");
    auto* readings = new QBarSet(QStringLiteral("刷卡次数"));
    auto* holders = new QLineSeries;
    holders->setName(QStringLiteral("人数（不同证件）"));
    qint64 highest = 0;
    int i = 0;
    for (const StatsBucket& b : m_stats.buckets) {
        m_periodLabels << b.start.toString(form);
        readings->append(static_cast<qreal>(b.readings));
        holders->append(i++, static_cast<qreal>(b.holders));
        highest = std::max(highest, b.readings);
    }
    auto* bars = new QBarSeries;
    bars->setBarWidth(0.8);
    bars->append(readings);
    chart->addSeries(bars);
    chart->addSeries(holders);

    QString axisTitle = QStringLiteral("日期");
    if (m_stats.period == StatsPeriod::Week)
        axisTitle = QStringLiteral("周（标注周一的日期）");
    else if (m_stats.period == StatsPeriod::Month)
        axisTitle = QStringLiteral("月份");
    if (oneYear && m_stats.period != StatsPeriod::Month)
        axisTitle += QStringLiteral("，%1 年").arg(m_stats.buckets.front().start.year());
    m_periodAxis = newCategoryAxis(chart, static_cast<int>(m_stats.buckets.size()), axisTitle);
    QValueAxis* counts = newCountAxis(chart, highest);
    for (QAbstractSeries* s : {static_cast<QAbstractSeries*>(bars), static_cast<QAbstractSeries*>(holders)}) {
        s->attachAxis(m_periodAxis);
        s->attachAxis(counts);
    }
}

void StatsWindow::fillHourChart()
{
    QChart* chart = m_hourView->chart();
    clearChart(chart);
    m_hourAxis = nullptr;
    chart->setTitle(QStringLiteral("各时段刷卡次数（0–23 时，整个日期范围）"));
    if (m_stats.IsEmpty())
        return;
    auto* readings = new QBarSet(QStringLiteral("刷卡次数"));
    qint64 highest = 0;
    for (qint64 n : m_stats.byHour) {
        readings->append(static_cast<qreal>(n));
        highest = std::max(highest, n);
    }
    auto* bars = new QBarSeries;
    bars->setBarWidth(0.8);
    bars->append(readings);
    chart->addSeries(bars);
    chart->legend()->setVisible(false);
    m_hourAxis = newCategoryAxis(chart, 24, QStringLiteral("时（0–23）"));
    QValueAxis* counts = newCountAxis(chart, highest);
    bars->attachAxis(m_hourAxis);
    bars->attachAxis(counts);
}

void StatsWindow::thinLabels()
{
    static const QStringList hours = [] {
        QStringList out;
        for (int h = 0; h < 24; ++h)
            out << QString::number(h);
        return out;
    }();
    if (m_periodAxis) {
        const int step = labelStep(int(m_periodLabels.size()), widestLabel(m_periodAxis, m_periodLabels),
                                   m_periodView->chart()->plotArea().width(), niceSteps(m_stats.period));
        if (step != m_periodStep) {
            m_periodStep = step;
            setAxisLabels(m_periodAxis, m_periodLabels, step);
        }
    }
    if (m_hourAxis) {
        static const std::vector<int> hourSteps = {1, 2, 3, 4, 6, 12};
        const int step = labelStep(24, widestLabel(m_hourAxis, hours), m_hourView->chart()->plotArea().width(), hourSteps);
        if (step != m_hourStep) {
            m_hourStep = step;
            setAxisLabels(m_hourAxis, hours, step);
        }
    }
}

QImage StatsWindow::ChartsImage() const
{
    if (layout())
        layout()->activate();
    return m_chartsArea->grab().toImage();
}

bool StatsWindow::SaveImage(const QString& fileName, QString* error) const
{
    const QImage image = ChartsImage();
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || !image.save(&file, "PNG") || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

QString StatsWindow::askFileName(const QString& caption, const QString& name, const QString& filter, const QString& suffix)
{
    SaveFileRequest request;
    request.caption = caption;
    request.folder = m_outputFolder;
    request.fileName = name;
    request.filter = filter;
    request.defaultSuffix = suffix;
    QString chosen = AskSaveFileName(request);
    if (chosen.isEmpty())
        return QString();
    if (QFileInfo(chosen).suffix().compare(suffix, Qt::CaseInsensitive) != 0)
        chosen += u'.' + suffix;
    // The old file stays until the new one is complete and replaces it.
    if (QFileInfo::exists(chosen) && !AskConfirm(QStringLiteral("此文件已存在将被覆盖，是否继续？")))
        return QString();
    return chosen;
}

void StatsWindow::savepicbtnClick()
{
    const QString fileName = askFileName(QStringLiteral("保存图片"), QStringLiteral("刷卡统计.png"),
                                         QStringLiteral("PNG 图片 (*.png)"), QStringLiteral("png"));
    if (fileName.isEmpty())
        return;
    QString error;
    if (SaveImage(fileName, &error))
        ShowInfo(QStringLiteral("图片已保存。"));
    else
        ShowError(QStringLiteral("保存图片失败：%1").arg(error));
}

void StatsWindow::exportdatabtnClick()
{
    if (!m_error.isEmpty()) {
        ShowWarning(QStringLiteral("统计失败，没有可导出的数据。"));
        return;
    }
    const QString fileName = askFileName(QStringLiteral("导出数据"), QStringLiteral("刷卡统计.xlsx"),
                                         QStringLiteral("Excel表格（.xlsx） (*.xlsx)"), QStringLiteral("xlsx"));
    if (fileName.isEmpty())
        return;
    QString error;
    if (WriteStatsWorkbook(fileName, m_stats, &error))
        ShowInfo(QStringLiteral("统计数据已导出。"));
    else
        ShowError(QStringLiteral("导出数据失败：%1").arg(error));
}
