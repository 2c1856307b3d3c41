#pragma once
// The statistics of the main window's filter as charts: readings and distinct holders per day (or
// week, or month), readings by hour of the day, and the totals. Non-modal; it follows the filter
// through SetFilter and is deleted when closed.

#include "ReadingStats.h"

#include <QImage>
#include <QSqlDatabase>
#include <QWidget>

class QLabel;
class QPushButton;
class QChart;
class QChartView;
class QCategoryAxis;

class StatsWindow : public QWidget {
    Q_OBJECT
public:
    StatsWindow(QSqlDatabase db, const ReadingLogFilter& filter, const QString& outputFolder, QWidget* parent = nullptr);
    ~StatsWindow() override;

    const ReadingStatsResult& Stats() const { return m_stats; }
    // Whether the last count succeeded; its error text otherwise.
    bool CountOk() const { return m_error.isEmpty(); }
    QString NoticeText() const;
    // The charts and the totals as one picture, as 保存图片 saves it.
    QImage ChartsImage() const;
    bool SaveImage(const QString& fileName, QString* error) const;

public slots:
    void SetFilter(const ReadingLogFilter& filter);
    void savepicbtnClick();
    void exportdatabtnClick();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void recount();
    void showStats();
    void fillPeriodChart();
    void fillHourChart();
    void thinLabels();
    QString askFileName(const QString& caption, const QString& name, const QString& filter, const QString& suffix);

    QSqlDatabase m_db;
    ReadingLogFilter m_filter;
    QString m_outputFolder;
    ReadingStatsResult m_stats;
    QString m_error;

    QLabel* m_rangeLabel;
    QLabel* m_noticeLabel;
    QLabel* m_totalsLabel;
    QWidget* m_chartsArea;
    QChartView* m_periodView;
    QChartView* m_hourView;
    QCategoryAxis* m_periodAxis = nullptr;
    QCategoryAxis* m_hourAxis = nullptr;
    QStringList m_periodLabels;
    int m_periodStep = 0; // labels shown: every n-th; 0 before the first layout
    int m_hourStep = 0;
};
