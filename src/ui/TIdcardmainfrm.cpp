#include "TIdcardmainfrm.h"
#include "ui_Idcardmainfrm.h"

#include "AuditLogDialog.h"
#include "ConnectDeviceCommand.h"
#include "DeleteReadingsCommand.h"
#include "DeviceTransfer.h"
#include "ExportReadingsCommand.h"
#include "FileImportCommand.h"
#include "Global.h"
#include "PrintCardCommand.h"
#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "RetentionCommand.h"
#include "ScratchFolder.h"
#include "CardCheckStore.h"
#include "Settings.h"
#include "SettingsDialog.h"
#include "WatchListDialog.h"
#include "WatchListMenu.h"
#include "StatsWindow.h"
#include "WidgetProgress.h"

#include <QApplication>
#include <QCalendarWidget>
#include <QDropEvent>
#include <QHeaderView>
#include <QImage>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMimeData>
#include <QPixmap>
#include <QScopedValueRollback>
#include <QScreen>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>

#include <algorithm>

namespace {

const char* const kDetailsSql =
    "select b.sex,c.nation,b.born,b.grantdept,b.UsefulLifeBegin,b.UsefulLifeEnd,b.photo "
    "from idcardwater a,idcardinfo b,nation_mes c "
    "where a.serialno=:p1 and a.idcardno=b.idcardno and b.nation_no=c.nation_no";

const QDate kLatestPickDate(9999, 12, 30);

// Display widths of the four visible columns, in characters.
constexpr int kColumnChars[] = {12, 20, 22, 52};

} // namespace

QString CalcPeriod(const QString& begin, const QString& end)
{
    return (begin + QStringLiteral("--") + end).left(30);
}

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
    new WatchListMenu(grid, m_model, [this] { return store(); }, [this] { RefreshQuery(); });
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
    const ReadingLogQuery query = BuildReadingLogQuery(filter);

    QString error;
    const bool ok = m_model->Run(m_dm ? m_dm->con1() : QSqlDatabase(), query, &error);
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
    runCommand([this] { DeleteReadingsCommand(store(), *this).Run(); });
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
    runCommand([this] {
        FileImportCommand command(m_dm, m_programFolder, m_scratchFolder, *this);
        command.Run();
        if (command.LastImport().count > 0)
            RetentionCheck();
    });
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
        runCommand([this, paths] {
            FileImportCommand command(m_dm, m_programFolder, m_scratchFolder, *this);
            command.RunDropped(paths);
            if (command.LastImport().count > 0)
                RetentionCheck();
        });
    }, Qt::QueuedConnection);
}

bool TIdcardmainfrm::g_IDcardnoKeyPress(QKeyEvent* event) const
{
    const int key = event->key();
    if (key == Qt::Key_Backspace || key == Qt::Key_Return || key == Qt::Key_Enter)
        return true;
    // Tab moves the focus; it is never a typed character.
    if (key == Qt::Key_Tab || key == Qt::Key_Backtab)
        return true;
    // Clipboard and undo shortcuts are typed characters too: they do nothing here.
    if (event->matches(QKeySequence::Paste) || event->matches(QKeySequence::Cut) || event->matches(QKeySequence::Copy)
        || event->matches(QKeySequence::Undo) || event->matches(QKeySequence::Redo) || event->matches(QKeySequence::SelectAll))
        return false;
    const QString text = event->text();
    if (text.isEmpty())
        return true; // cursor and editing keys that type nothing
    if (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return false;
    return text.size() == 1 && text[0] >= u'0' && text[0] <= u'9';
}

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
    if (serial < 0)
        clearDetails();
    else
        showDetails(serial);
    ui->lb_black->setText(serial < 0 || !m_dm ? QString() : WatchNote(m_dm->con1(), m_model->IdcardnoAt(row)));
    const QString checks = serial < 0 || !m_dm ? QString() : CardCheckNote(m_dm->con1(), serial);
    ui->lb_odd->setText(checks);
    ui->lb_odd->setToolTip(checks);
}

void TIdcardmainfrm::blackbtnClick()
{
    runCommand([this] {
        // The list's cursor is finished first: the dialog writes through the same connection.
        m_model->FetchAll();
        WatchListDialog dialog(store(), this);
        dialog.exec();
        if (dialog.Changed())
            RefreshQuery();
    });
}

void TIdcardmainfrm::RetentionCheck()
{
    RetentionCommand(store(), Settings(m_programFolder).RetentionDays(), m_now().date(), *this).Run();
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

void TIdcardmainfrm::clearDetails()
{
    for (QLineEdit* edit : {ui->DBEdit1, ui->DBEdit2, ui->DBEdit3, ui->DBEdit4, ui->DBEdit6})
        edit->clear();
    ui->DBImage1->clear();
}

void TIdcardmainfrm::showDetails(qint64 serialno)
{
    clearDetails();
    if (!m_dm || !m_dm->IsOpen())
        return;
    QSqlQuery q(m_dm->con1());
    q.setForwardOnly(true);
    q.prepare(QString::fromUtf8(kDetailsSql));
    q.bindValue(0, serialno);
    if (!q.exec() || !q.next())
        return; // the reading was deleted meanwhile: nothing to show
    ui->DBEdit1->setText(q.value(0).toString());
    ui->DBEdit2->setText(q.value(1).toString());
    ui->DBEdit3->setText(q.value(2).toString());
    ui->DBEdit4->setText(q.value(3).toString());
    ui->DBEdit6->setText(CalcPeriod(q.value(4).toString(), q.value(5).toString()));
    const QByteArray photo = q.value(6).toByteArray();
    QImage image;
    if (!photo.isEmpty() && image.loadFromData(photo)) {
        ui->DBImage1->setPixmap(QPixmap::fromImage(
            image.scaled(ui->DBImage1->contentsRect().size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)));
    }
}
