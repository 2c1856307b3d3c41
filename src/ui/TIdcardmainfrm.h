#pragma once
// The program's only working window: the reading-log filter, the list, the details of the current
// reading, and the commands.

#include "CommandView.h"
#include "ReadingDetails.h"
#include "ReadingLogQuery.h"

#include <QDateTime>
#include <QPointer>
#include <QSqlDatabase>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

namespace Ui {
class TIdcardmainfrm;
}
class QLabel;
class QTimer;
class ReadingLogModel;
class StatsWindow;
class TDM_Main;
class ProcessRunner;
class OperationProgress;

// The window asks and shows: each command's flow is a class of its own, run through the
// CommandView the window implements.
class TIdcardmainfrm : public QWidget, public CommandView {
    Q_OBJECT
public:
    TIdcardmainfrm(TDM_Main* dm, const QString& programFolder, QWidget* parent = nullptr);
    ~TIdcardmainfrm() override;

    // Tests set the clock that FormShow reads.
    void SetClock(std::function<QDateTime()> now) { m_now = std::move(now); }

    // Tests and tools replace how adb runs, how waiting is shown, and where scratch files go.
    void SetProcessRunner(ProcessRunner* runner) { m_runner = runner; }
    void SetProgress(OperationProgress* progress) { m_progress = progress; }
    void SetScratchFolder(const QString& folder) { m_scratchFolder = folder; }

    void RefreshQuery();
    // The filter as the date pickers and the two prefixes give it now.
    ReadingLogFilter CurrentFilter() const;
    // Imports a device database on disk and shows the outcome: the number of rows taken, or -1
    // when the file is not a readable device database.
    int ImportDeviceDb(const QString& path);
    ReadingLogModel* Model() const { return m_model; }
    QString StatusText() const;
    QString ProgramFolderPath() const { return m_programFolder; }

    // CommandView
    const ReadingRows& Rows() const override;
    bool AnyChosen() const override;
    bool ChosenRows(std::vector<int>& rows) override;
    int CurrentRow() const override;
    void SetCurrentRow(int row) override;
    void FinishListing() override;
    void RefreshList() override { RefreshQuery(); }
    QString FilterText() const override;
    OperationProgress* Progress() override { return m_progress; }
    void BeginBlocking(const QString& text, bool suspendList) override;
    void EndBlocking() override;
    std::uint32_t WindowHandle() const override;

    bool QueryDirty = false;
    bool QueryBusy = false;
    bool HasExcel2007 = false;
    QDateTime LastBeginDate; // invalid stands for "never"
    QDateTime LastEndDate;

public slots:
    void FormShow();
    void Timer1Timer();
    void g_IDcardnoChange();
    void begin_pickCloseUp();
    void retbtnClick();
    void Button1Click();
    void prtbtnClick();
    void waterbtnClick();
    void delbtnClick();
    void blackbtnClick();
    void statbtnClick();
    void fileimpbtnClick();
    void logbtnClick();
    void setbtnClick();
    // The retention question, when a period is set; run after the list is first shown and after
    // every import (inside the import's command).
    void RetentionCheck();

signals:
    // The list has been re-run with this filter (an edit, an import, a deletion).
    void queryRefreshed(const ReadingLogFilter& filter);

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // A device database dropped on the window is imported as by fileimpbtn.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    bool g_IDcardnoKeyPress(class QKeyEvent* event) const; // true: the key passes
    void currentRowChanged(int row);
    void runFileImport(const QStringList& dropped); // the dialog when none were dropped
    void watchCalendar(class QDateEdit* picker);
    void showResultState(); // buttons and status line for the rows the model holds
    void fetchFailed(const QString& error);
    QSqlDatabase store() const; // the open store's connection; invalid when there is none
    // Runs one command: never two at once (a second press while the first waits), and the filter
    // timer held meanwhile, since the command's waits and boxes keep the event loop turning.
    void runCommand(const std::function<void()>& command);

    std::unique_ptr<Ui::TIdcardmainfrm> ui;
    TDM_Main* m_dm;
    QString m_programFolder;
    ReadingLogModel* m_model;
    QTimer* Timer1;
    QLabel* m_statusPanel1;
    QLabel* m_statusPanel2;
    std::function<QDateTime()> m_now;
    std::unique_ptr<ProcessRunner> m_ownRunner;
    ProcessRunner* m_runner;
    std::unique_ptr<OperationProgress> m_ownProgress;
    std::unique_ptr<ReadingDetails> m_details;
    OperationProgress* m_progress;
    QString m_scratchFolder;
    bool m_placed = false; // centred on its screen at the first show
    bool m_commandRunning = false;
    bool m_listSuspended = false; // a blocking step stopped painting the list and the details
    QString m_txtdlgFileName; // the export dialog's proposal: the last name chosen
    QPointer<StatsWindow> m_statsWindow; // at most one; deleted when closed
};

// Top-left corner that centres a frame of the given size on a screen's available area, kept on
// the screen when the frame is larger.
QPoint CenteredTopLeft(const QSize& frame, const QRect& available);

