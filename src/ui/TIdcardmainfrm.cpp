#include "TIdcardmainfrm.h"
#include "ui_Idcardmainfrm.h"

#include "AuditLogDialog.h"
#include "ConnectDeviceCommand.h"
#include "DeleteReadingsCommand.h"
#include "DeviceTransfer.h"
#include "ExportReadingsCommand.h"
#include "FileImportCommand.h"
#include "Global.h"
#include "IdNumberKeys.h"
#include "PrintCardCommand.h"
#include "ReadingDetails.h"
#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "RetentionCommand.h"
#include "ScratchFolder.h"
#include "Settings.h"
#include "SettingsDialog.h"
#include "StatsWindow.h"
#include "WatchListDialog.h"
#include "WatchListMenu.h"
#include "WidgetProgress.h"

#include <QApplication>
#include <QCalendarWidget>
#include <QDropEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMimeData>
#include <QScopedValueRollback>
#include <QScreen>
#include <QSqlError>
#include <QTimer>

#include <algorithm>

namespace {

const QDate kLatestPickDate(9999, 12, 30);

// Display widths of the four visible columns, in characters.
constexpr int kColumnChars[] = {12, 20, 22, 52};

} // namespace

TIdcardmainfrm::TIdcardmainfrm(TDM_Main* dm, const QString& programFolder, QWidget* parent)
    : QWidget(parent)
    , ui(std::make_unique<Ui::TIdcardmainfrm>())
    , m_dm(dm)
    , m_programFolder(programFolder)
    , m_model(new ReadingLogModel(this))
    , Timer1(new QTimer(this))
    , m_now([] { return QDateTime::currentDateTime(); })
    , m_ownRunner(std::make_unique<QtProcessRunner>())
    , m_runner(m_ownRunner.get())
    , m_ownProgress(std::make_unique<WidgetProgress>(this))
    , m_progress(m_ownProgress.get())
    , m_scratchFolder(PrivateScratchFolder())
    , m_txtdlgFileName(QStringLiteral("dealwater"))
{
    ui->setupUi(this);
    QFont font(QStringLiteral("新宋体"));
    font.setPixelSize(12);
    setFont(font);
    setFixedSize(879, 595);
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint
                   | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    // Status bar: the first panel 220 pixels and empty, the second takes the rest.
    m_statusPanel1 = new QLabel(this);
    m_statusPanel1->setObjectName(QStringLiteral("StatusPanel1"));
    m_statusPanel1->setFixedWidth(220);
    m_statusPanel2 = new QLabel(this);
    m_statusPanel2->setObjectName(QStringLiteral("StatusPanel2"));
    m_statusPanel2->setMinimumWidth(50);
    ui->StatusBar1->addWidget(m_statusPanel1);
    ui->StatusBar1->addWidget(m_statusPanel2, 1);

    QTableView* grid = ui->DBGrid1;
    grid->setModel(m_model);
    grid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    grid->verticalHeader()->setDefaultSectionSize(grid->fontMetrics().height() + 6);
    grid->verticalHeader()->setFixedWidth(14);
    grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    grid->horizontalHeader()->setDefaultAlignment(Qt::AlignCenter);
    grid->horizontalHeader()->setStretchLastSection(false);
    const int charWidth = grid->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    for (int c = 0; c < ReadingLogModel::ColumnCount; ++c)
        grid->setColumnWidth(c, kColumnChars[c] * charWidth + 8);
    connect(grid->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) { currentRowChanged(current.isValid() ? current.row() : -1); });
    connect(m_model, &QAbstractItemModel::modelReset, this, [this] { currentRowChanged(-1); });
    connect(m_model, &ReadingLogModel::fetchFailed, this, &TIdcardmainfrm::fetchFailed);

    // The day after the last day is the query's upper bound; it must still be a date the store
    // can write (four year digits).
    ui->begin_pick->setMaximumDate(kLatestPickDate);
    ui->end_pick->setMaximumDate(kLatestPickDate);

    ui->DBImage1->setScaledContents(false);
    m_details = std::make_unique<ReadingDetails>(ReadingDetails::Controls{
        ui->DBEdit1, ui->DBEdit2, ui->DBEdit3, ui->DBEdit4, ui->DBEdit6, ui->DBImage1, ui->lb_black, ui->lb_odd, ui->lb_station});
    ui->g_IDcardno->setAttribute(Qt::WA_InputMethodEnabled, false);
    ui->g_IDcardno->installEventFilter(this);
    ui->cb_all->setChecked(false);

    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(500);
    connect(Timer1, &QTimer::timeout, this, &TIdcardmainfrm::Timer1Timer);

    connect(ui->g_IDcardno, &QLineEdit::textChanged, this, &TIdcardmainfrm::g_IDcardnoChange);
    connect(ui->g_name, &QLineEdit::textChanged, this, &TIdcardmainfrm::g_IDcardnoChange);
    connect(ui->begin_pick, &QDateEdit::dateChanged, this, &TIdcardmainfrm::g_IDcardnoChange);
    connect(ui->end_pick, &QDateEdit::dateChanged, this, &TIdcardmainfrm::g_IDcardnoChange);
    watchCalendar(ui->begin_pick);
    watchCalendar(ui->end_pick);

    connect(ui->retbtn, &QPushButton::clicked, this, &TIdcardmainfrm::retbtnClick);
    connect(ui->Button1, &QPushButton::clicked, this, &TIdcardmainfrm::Button1Click);
    connect(ui->prtbtn, &QPushButton::clicked, this, &TIdcardmainfrm::prtbtnClick);
    connect(ui->waterbtn, &QPushButton::clicked, this, &TIdcardmainfrm::waterbtnClick);
    connect(ui->delbtn, &QPushButton::clicked, this, &TIdcardmainfrm::delbtnClick);

    // Watch list: the filter box, the list's context menu and the list's dialog.
    connect(ui->cb_black, &QCheckBox::toggled, this, &TIdcardmainfrm::g_IDcardnoChange);
    new WatchListMenu(grid, m_model, [this] { return store(); }, [this] { RefreshQuery(); },
                      [this] { return m_dm ? m_dm->Pg() : nullptr; });
    connect(ui->blackbtn, &QPushButton::clicked, this, &TIdcardmainfrm::blackbtnClick);
    connect(ui->statbtn, &QPushButton::clicked, this, &TIdcardmainfrm::statbtnClick);
    connect(ui->fileimpbtn, &QPushButton::clicked, this, &TIdcardmainfrm::fileimpbtnClick);
    setAcceptDrops(true);
    // Card checks: the filter box.
    connect(ui->cb_odd, &QCheckBox::toggled, this, &TIdcardmainfrm::g_IDcardnoChange);
    connect(ui->logbtn, &QPushButton::clicked, this, &TIdcardmainfrm::logbtnClick);
    connect(ui->setbtn, &QPushButton::clicked, this, &TIdcardmainfrm::setbtnClick);
}

TIdcardmainfrm::~TIdcardmainfrm() = default;

void TIdcardmainfrm::watchCalendar(QDateEdit* picker)
{
    // The calendar is a popup window of its own; its hiding is the close-up.
    picker->calendarWidget()->window()->installEventFilter(this);
}

QPoint CenteredTopLeft(const QSize& frame, const QRect& available)
{
    QRect placed(QPoint(), frame);
    placed.moveCenter(available.center());
    // A screen smaller than the window keeps the title bar and the filter in reach.
    return QPoint(std::max(placed.left(), available.left()), std::max(placed.top(), available.top()));
}

void TIdcardmainfrm::showEvent(QShowEvent* event)
{
    if (!event->spontaneous() && !m_placed) {
        m_placed = true;
        if (const QScreen* where = screen()) {
            // The window frame is not known before the first show; the client area stands for it.
            const QSize frame = frameGeometry().size().expandedTo(size());
            move(CenteredTopLeft(frame, where->availableGeometry()));
        }
    }
    QWidget::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

QString TIdcardmainfrm::StatusText() const { return m_statusPanel2->text(); }

void TIdcardmainfrm::FormShow()
{
    const QDateTime now = m_now();
    {
        // Setting the range is not an edit of the operator's; the refresh below covers it.
        const QSignalBlocker blockBegin(ui->begin_pick);
        const QSignalBlocker blockEnd(ui->end_pick);
        ui->begin_pick->setDate(now.date().addDays(-365));
        ui->end_pick->setDate(now.date());
    }
    LastBeginDate = QDateTime();
    LastEndDate = QDateTime();
    QueryBusy = false;
    QueryDirty = false;
    HasExcel2007 = false;
    if (IsExcel2007Installed())
        HasExcel2007 = true;
    Timer1->start();
    RefreshQuery();
    // Asked once the window with its list is on the screen, not over a window not yet drawn.
    QTimer::singleShot(0, this, [this] { runCommand([this] { RetentionCheck(); }); });
}

ReadingLogFilter TIdcardmainfrm::CurrentFilter() const
{
    ReadingLogFilter filter;
    filter.begin = ui->begin_pick->date().startOfDay();
    filter.end = ui->end_pick->date().startOfDay();
    filter.idText = ui->g_IDcardno->text();
    filter.nameText = ui->g_name->text();
    filter.listedOnly = ui->cb_black->isChecked();
    filter.oddOnly = ui->cb_odd->isChecked();
    return filter;
}

QString TIdcardmainfrm::FilterText() const
{
    return ReadingLogFilterText(CurrentFilter(), ui->cb_all->isChecked());
}

void TIdcardmainfrm::RefreshQuery()
{
    const ReadingLogFilter filter = CurrentFilter();
    const ReadingLogQuery query = BuildReadingLogQuery(filter, m_dm && m_dm->Pg());

    QString error;
    const bool ok = m_model->Run(m_dm ? m_dm->Listing() : QSqlDatabase(), query, &error);
    if (!ok && m_dm && m_dm->Pg() && !m_dm->LastOpenError().isEmpty())
        error = m_dm->LastOpenError(); // the server is gone: say so rather than "not open"
    if (!ok) {
        // The buttons and the status line keep what they showed before.
        ShowError(error);
        return;
    }
    if (m_model->rowCount() > 0) {
        QItemSelectionModel* selection = ui->DBGrid1->selectionModel();
        selection->setCurrentIndex(m_model->index(0, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    showResultState();
    emit queryRefreshed(filter);
}

void TIdcardmainfrm::showResultState()
{
    const int rows = m_model->rowCount();
    const bool any = rows > 0;
    ui->prtbtn->setEnabled(any);
    ui->waterbtn->setEnabled(any);
    ui->delbtn->setEnabled(any);
    if (!any)
        m_statusPanel2->setText(QStringLiteral(" 提示：当前条件下，查询记录为空"));
    else
        m_statusPanel2->setText(QStringLiteral(" 提示：当前条件下，查询记录合计：%1 笔").arg(rows));
}

void TIdcardmainfrm::fetchFailed(const QString& error)
{
    // The model has shrunk to the rows it could read; the status line must say the same.
    showResultState();
    ShowError(error);
}

const ReadingRows& TIdcardmainfrm::Rows() const { return *m_model; }

bool TIdcardmainfrm::AnyChosen() const
{
    return ui->cb_all->isChecked() || ui->DBGrid1->selectionModel()->hasSelection();
}

bool TIdcardmainfrm::ChosenRows(std::vector<int>& rows)
{
    rows.clear();
    if (ui->cb_all->isChecked()) {
        if (!m_model->FetchAll())
            return false;
        const int n = m_model->rowCount();
        rows.resize(static_cast<size_t>(n));
        for (int r = 0; r < n; ++r)
            rows[static_cast<size_t>(r)] = r;
        return true;
    }
    // The selection keeps the order of clicking; commands act in the order of the list.
    const QModelIndexList selected = ui->DBGrid1->selectionModel()->selectedRows();
    rows.reserve(static_cast<size_t>(selected.size()));
    for (const QModelIndex& index : selected)
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    return true;
}

int TIdcardmainfrm::CurrentRow() const
{
    const QModelIndex current = ui->DBGrid1->selectionModel()->currentIndex();
    return current.isValid() ? current.row() : -1;
}

void TIdcardmainfrm::SetCurrentRow(int row)
{
    ui->DBGrid1->selectionModel()->setCurrentIndex(m_model->index(row, 0), QItemSelectionModel::NoUpdate);
}

void TIdcardmainfrm::FinishListing() { m_model->FetchAll(); }

void TIdcardmainfrm::BeginBlocking(const QString& text, bool suspendList)
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (m_progress)
        m_progress->Begin(text, false);
    m_listSuspended = suspendList;
    if (suspendList) {
        ui->DBGrid1->setUpdatesEnabled(false);
        ui->GroupBox2->setUpdatesEnabled(false);
    }
}

void TIdcardmainfrm::EndBlocking()
{
    if (m_listSuspended) {
        ui->DBGrid1->setUpdatesEnabled(true);
        ui->GroupBox2->setUpdatesEnabled(true);
        m_listSuspended = false;
    }
    if (m_progress)
        m_progress->End();
    QApplication::restoreOverrideCursor();
}

std::uint32_t TIdcardmainfrm::WindowHandle() const { return static_cast<std::uint32_t>(window()->winId()); }

void TIdcardmainfrm::runCommand(const std::function<void()>& command)
{
    if (m_commandRunning)
        return;
    const QScopedValueRollback<bool> running(m_commandRunning, true);
    const QScopedValueRollback<bool> busy(QueryBusy, true);
    command();
}

void TIdcardmainfrm::Timer1Timer()
{
    if (!QueryDirty || QueryBusy)
        return;
    QueryBusy = true;
    QueryDirty = false;
    RefreshQuery();
    QueryBusy = false;
}

void TIdcardmainfrm::g_IDcardnoChange() { QueryDirty = true; }

void TIdcardmainfrm::begin_pickCloseUp()
{
    const QDateTime b = ui->begin_pick->date().startOfDay();
    const QDateTime e = ui->end_pick->date().startOfDay();
    if (b != LastBeginDate || e != LastEndDate) {
        QueryDirty = true;
        LastBeginDate = b;
        LastEndDate = e;
    }
}

void TIdcardmainfrm::retbtnClick() { close(); }

void TIdcardmainfrm::statbtnClick()
{
    if (!m_statsWindow) {
        m_statsWindow = new StatsWindow(store(), CurrentFilter(),
                                         m_programFolder + QStringLiteral("output"), this);
        connect(this, &TIdcardmainfrm::queryRefreshed, m_statsWindow, &StatsWindow::SetFilter);
    }
    m_statsWindow->show();
    m_statsWindow->raise();
    m_statsWindow->activateWindow();
}

int TIdcardmainfrm::ImportDeviceDb(const QString& path)
{
    ImportOutcome outcome;
    return ImportAndReport(m_dm, m_scratchFolder, *this, path, outcome);
}

QSqlDatabase TIdcardmainfrm::store() const { return m_dm ? m_dm->con1() : QSqlDatabase(); }

void TIdcardmainfrm::Button1Click()
{
    runCommand([this] {
        ConnectDeviceCommand command(m_dm, *m_runner, m_programFolder, m_scratchFolder, *this);
        command.Run();
        if (command.LastImport().count > 0)
            RetentionCheck();
    });
}

void TIdcardmainfrm::delbtnClick()
{
    runCommand([this] { DeleteReadingsCommand(store(), *this, m_dm ? m_dm->Pg() : nullptr).Run(); });
}

void TIdcardmainfrm::waterbtnClick()
{
    runCommand([this] {
        ExportReadingsCommand command(*this, m_programFolder, HasExcel2007, m_txtdlgFileName, store());
        command.Run();
        m_txtdlgFileName = command.Proposal();
    });
}

void TIdcardmainfrm::prtbtnClick()
{
    runCommand([this] { PrintCardCommand(store(), *this, m_programFolder, m_scratchFolder).Run(); });
}

void TIdcardmainfrm::fileimpbtnClick()
{
    runCommand([this] { runFileImport({}); });
}

void TIdcardmainfrm::runFileImport(const QStringList& dropped)
{
    FileImportCommand command(m_dm, m_programFolder, m_scratchFolder, *this);
    if (dropped.isEmpty())
        command.Run();
    else
        command.RunDropped(dropped);
    if (command.LastImport().count > 0)
        RetentionCheck();
}

void TIdcardmainfrm::dragEnterEvent(QDragEnterEvent* event)
{
    if (!m_commandRunning && !FileImportCommand::LocalFiles(event->mimeData()->urls()).isEmpty())
        event->acceptProposedAction();
}

void TIdcardmainfrm::dropEvent(QDropEvent* event)
{
    const QStringList paths = FileImportCommand::LocalFiles(event->mimeData()->urls());
    if (paths.isEmpty())
        return;
    event->acceptProposedAction();
    // Run after the drop has ended: the dragging program waits for its answer meanwhile.
    QMetaObject::invokeMethod(this, [this, paths] {
        runCommand([this, paths] { runFileImport(paths); });
    }, Qt::QueuedConnection);
}

bool TIdcardmainfrm::g_IDcardnoKeyPress(QKeyEvent* event) const { return IdNumberKeyPasses(event); }

bool TIdcardmainfrm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui->g_IDcardno && event->type() == QEvent::KeyPress) {
        if (!g_IDcardnoKeyPress(static_cast<QKeyEvent*>(event)))
            return true;
    } else if (event->type() == QEvent::Hide
               && (watched == ui->begin_pick->calendarWidget()->window() || watched == ui->end_pick->calendarWidget()->window())) {
        begin_pickCloseUp();
    }
    return QWidget::eventFilter(watched, event);
}

void TIdcardmainfrm::currentRowChanged(int row)
{
    m_model->SetCurrentRow(row);
    const qint64 serial = row >= 0 ? m_model->SerialAt(row) : -1;
    m_details->Show(store(), serial, serial >= 0 ? m_model->IdcardnoAt(row) : QString());
}

void TIdcardmainfrm::blackbtnClick()
{
    runCommand([this] {
        // The list's cursor is finished first: the dialog writes through the same connection.
        m_model->FetchAll();
        WatchListDialog dialog(store(), this, m_dm ? m_dm->Pg() : nullptr);
        dialog.exec();
        if (dialog.Changed())
            RefreshQuery();
    });
}

void TIdcardmainfrm::RetentionCheck()
{
    RetentionCommand(store(), Settings(m_programFolder).RetentionDays(), m_now().date(), *this, m_dm ? m_dm->Pg() : nullptr).Run();
}

void TIdcardmainfrm::logbtnClick()
{
    runCommand([this] {
        m_model->FetchAll();
        AuditLogDialog(store(), m_now().date(), this).exec();
    });
}

void TIdcardmainfrm::setbtnClick()
{
    runCommand([this] { SettingsDialog(m_programFolder, this).exec(); });
}
