#include "StatsWorkbook.h"

#include "ScratchWorkbook.h"

#include <QFile>
#include <QFileInfo>

#include <xlsxwriter.h>

namespace {

struct Sheet {
    lxw_worksheet* sheet;
    lxw_format* header;
    lxw_error failed = LXW_NO_ERROR;
    lxw_row_t row = 0;

    void Headers(std::initializer_list<const char*> names)
    {
        lxw_col_t c = 0;
        for (const char* name : names) {
            if (!failed)
                failed = worksheet_set_column(sheet, c, c, c == 0 ? 24 : 14, nullptr);
            if (!failed)
                failed = worksheet_write_string(sheet, 0, c++, name, header);
        }
        row = 1;
    }
    void Text(lxw_col_t c, const QString& text)
    {
        if (!failed)
            failed = worksheet_write_string(sheet, row, c, text.toUtf8().constData(), nullptr);
    }
    void Number(lxw_col_t c, qint64 value)
    {
        if (!failed)
            failed = worksheet_write_number(sheet, row, c, static_cast<double>(value), nullptr);
    }
};

const char* periodSheetName(StatsPeriod period)
{
    switch (period) {
    case StatsPeriod::Week:
        return "按周";
    case StatsPeriod::Month:
        return "按月";
    case StatsPeriod::Day:
        break;
    }
    return "按日";
}

const char* periodHeader(StatsPeriod period)
{
    switch (period) {
    case StatsPeriod::Week:
        return "周（周一至周日，列周一日期）";
    case StatsPeriod::Month:
        return "月份";
    case StatsPeriod::Day:
        break;
    }
    return "日期";
}

} // namespace

bool WriteStatsWorkbook(const QString& fileName, const ReadingStatsResult& stats, QString* error)
{
    const QFileInfo target(fileName);
    ScratchWorkbook scratch;
    if (!scratch.Create(target, error))
        return false;
    lxw_workbook* workbook = workbook_new(QFile::encodeName(scratch.Path()).constData());
    if (!workbook) {
        *error = QStringLiteral("the workbook writer could not be created");
        return false;
    }
    lxw_format* header = workbook_add_format(workbook);
    format_set_bold(header);
    format_set_align(header, LXW_ALIGN_CENTER);

    lxw_error failed = LXW_NO_ERROR;
    auto addSheet = [&](const char* name) {
        lxw_worksheet* s = workbook_add_worksheet(workbook, name);
        if (!s && !failed)
            failed = LXW_ERROR_MEMORY_MALLOC_FAILED;
        return Sheet{s, header};
    };

    Sheet periods = addSheet(periodSheetName(stats.period));
    if (periods.sheet) {
        periods.Headers({periodHeader(stats.period), "刷卡次数", "人数"});
        const QString form = stats.period == StatsPeriod::Month ? QStringLiteral("yyyy-MM") : QStringLiteral("yyyy-MM-dd");
        for (const StatsBucket& b : stats.buckets) {
            periods.Text(0, b.start.toString(form));
            periods.Number(1, b.readings);
            periods.Number(2, b.holders);
            ++periods.row;
        }
        failed = failed ? failed : periods.failed;
    }

    Sheet hours = addSheet("按小时");
    if (hours.sheet) {
        hours.Headers({"时段", "刷卡次数"});
        for (int h = 0; h < 24; ++h) {
            hours.Text(0, QStringLiteral("%1:00-%1:59").arg(h, 2, 10, QLatin1Char('0')));
            hours.Number(1, stats.byHour[static_cast<size_t>(h)]);
            ++hours.row;
        }
        failed = failed ? failed : hours.failed;
    }

    Sheet totals = addSheet("合计");
    if (totals.sheet) {
        totals.Headers({"项目", "数值"});
        auto line = [&](const char* what, const QString* text, qint64 number) {
            totals.Text(0, QString::fromUtf8(what));
            if (text)
                totals.Text(1, *text);
            else
                totals.Number(1, number);
            ++totals.row;
        };
        line("刷卡次数", nullptr, stats.readings);
        line("人数", nullptr, stats.holders);
        if (stats.busiestDay.isValid()) {
            const QString day = stats.busiestDay.toString(QStringLiteral("yyyy-MM-dd"));
            line("最忙的一天", &day, 0);
            line("当天刷卡次数", nullptr, stats.busiestDayReadings);
        }
        if (stats.busiestHour >= 0) {
            const QString hour = QStringLiteral("%1:00-%1:59").arg(stats.busiestHour, 2, 10, QLatin1Char('0'));
            line("最忙的时段", &hour, 0);
            line("该时段刷卡次数", nullptr, stats.busiestHourReadings);
        }
        if (stats.watchListedReadings)
            line("关注名单人员刷卡次数", nullptr, *stats.watchListedReadings);
        if (stats.checkedReadings)
            line("已核验刷卡次数", nullptr, *stats.checkedReadings);
        if (stats.unplacedReadings)
            line("时间无法识别的刷卡次数", nullptr, stats.unplacedReadings);
        failed = failed ? failed : totals.failed;
    }

    // Closing frees the writer on every path; only a complete workbook is kept.
    const lxw_error closed = workbook_close(workbook);
    if (failed || closed) {
        *error = QString::fromUtf8(lxw_strerror(failed ? failed : closed));
        return false;
    }
    return scratch.MoveTo(target, error);
}
