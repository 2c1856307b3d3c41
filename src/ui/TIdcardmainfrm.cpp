#include "TIdcardmainfrm.h"
#include "ui_Idcardmainfrm.h"

#include "CardPrint.h"
#include "DateText.h"
#include "DeviceTransfer.h"
#include "Global.h"
#include "ReadingLogImport.h"
#include "ReadingDeletion.h"
#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "ScratchFolder.h"
#include "StatsWindow.h"
#include "WidgetProgress.h"
#include "WorkbookExport.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QCalendarWidget>
#include <QDir>
#include <QHeaderView>
#include <QImage>
#include <QItemSelectionModel>
#include <QKeyEvent>
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

// Suspends painting of the list and the details while a command walks the rows; resumed on every
// path out.
class UpdatesSuspended {
public:
    explicit UpdatesSuspended(std::initializer_list<QWidget*> widgets) : m_widgets(widgets)
    {
        for (QWidget* w : m_widgets)
            w->setUpdatesEnabled(false);
    }
    ~UpdatesSuspended()
    {
        for (QWidget* w : m_widgets)
            w->setUpdatesEnabled(true);
    }
    UpdatesSuspended(const UpdatesSuspended&) = delete;
    UpdatesSuspended& operator=(const UpdatesSuspended&) = delete;

private:
    std::vector<QWidget*> m_widgets;
};

// A step that blocks the window: the wait cursor and a box without Cancel, shown at once and
// taken down on every path.
class BlockingStep {
public:
    BlockingStep(OperationProgress* progress, const QString& text) : m_progress(progress)
    {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        if (m_progress)
            m_progress->Begin(text, false);
    }
    ~BlockingStep()
    {
        if (m_progress)
            m_progress->End();
        QApplication::restoreOverrideCursor();
    }
    BlockingStep(const BlockingStep&) = delete;
    BlockingStep& operator=(const BlockingStep&) = delete;

private:
    OperationProgress* m_progress;
};

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
    , m_lastImport(std::make_unique<ImportOutcome>())
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
    connect(ui->statbtn, &QPushButton::clicked, this, &TIdcardmainfrm::statbtnClick);
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
}

ReadingLogFilter TIdcardmainfrm::CurrentFilter() const
{
    ReadingLogFilter filter;
    filter.begin = ui->begin_pick->date().startOfDay();
    filter.end = ui->end_pick->date().startOfDay();
    filter.idText = ui->g_IDcardno->text();
    filter.nameText = ui->g_name->text();
    return filter;
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
        m_statsWindow = new StatsWindow(m_dm ? m_dm->con1() : QSqlDatabase(), CurrentFilter(),
                                         m_programFolder + QStringLiteral("output"), this);
        connect(this, &TIdcardmainfrm::queryRefreshed, m_statsWindow, &StatsWindow::SetFilter);
    }
    m_statsWindow->show();
    m_statsWindow->raise();
    m_statsWindow->activateWindow();
}

int TIdcardmainfrm::ImportDeviceDb(const QString& path)
{
    {
        const BlockingStep step(m_progress, QStringLiteral("正在导入读卡记录…"));
        // The list's cursor is finished first: the import writes through the same connection.
        m_model->FetchAll();
        ReadingLogImporter importer(m_dm ? m_dm->con1() : QSqlDatabase(), m_scratchFolder);
        *m_lastImport = importer.ImportDeviceDb(path);
    }
    if (m_lastImport->readFailed && m_dm && !m_dm->IsOpen() && !m_dm->LastOpenError().isEmpty())
        m_lastImport->error += QStringLiteral("：") + m_dm->LastOpenError(); // why it did not open

    const ImportOutcome& outcome = *m_lastImport;
    switch (outcome.validation) {
    case ImportOutcome::Validation::NoTable:
        ShowWarning(QStringLiteral("二代证读卡流水数据库验证失败"));
        return -1;
    case ImportOutcome::Validation::OpenFailed:
        ShowWarning(QStringLiteral("联接二代证读卡流水数据库失败"));
        return -1;
    case ImportOutcome::Validation::Ok:
        break;
    }
    const QString summary = ImportSummaryText(outcome);
    if (!summary.isEmpty())
        ShowInfo(summary);
    const QString incomplete = ImportIncompleteText(outcome);
    if (!incomplete.isEmpty())
        ShowWarning(incomplete);
    return outcome.count;
}

void TIdcardmainfrm::Button1Click()
{
    if (m_commandRunning)
        return; // one command at a time (a second press while the first waits)
    const QScopedValueRollback<bool> running(m_commandRunning, true);
    // The waits below keep the event loop turning; the filter timer must not requery meanwhile.
    const QScopedValueRollback<bool> busy(QueryBusy, true);
    const QString pulled = m_programFolder + QStringLiteral("input/idcard.db");
    DeviceTransfer transfer(m_programFolder, *m_runner, m_progress);
    if (transfer.PullDeviceDb(pulled) < 0) {
        ShowWarning(QStringLiteral("联接手持机设备失败，请检查设备连接及驱动是否正常！"));
        return;
    }
    const DeviceCopy imported = transfer.LastCopy();
    // The handheld hashes its files while the copy is imported, so that after the question only
    // their state is asked for.
    transfer.StartEarlyCheck(imported);
    if (ImportDeviceDb(pulled) < 0)
        return;
    const ImportOutcome& outcome = *m_lastImport;
    // Readings skipped as already stored still leave the handheld worth clearing.
    if (outcome.count <= 0 && outcome.alreadyStored <= 0)
        return;
    RefreshQuery();
    if (!outcome.Complete())
        return; // something of the handheld is not in the store: it must keep its readings
    if (!AskConfirm(QStringLiteral("是否删除手持机设备中已导出的数据？")))
        return;

    // The handheld may have read cards since the pull: look again before clearing it. When it
    // can tell that its files are still the ones imported, nothing is copied; otherwise they are
    // copied again and every reading in them looked up.
    const DeviceTransfer::Match match = transfer.DeviceDbMatches(imported);
    if (transfer.LastResult().cancelled) {
        ShowWarning(QStringLiteral("已取消核对，未清除手持机内流水记录。"));
        return;
    }
    bool unchanged = match == DeviceTransfer::Match::Same;
    QString why;
    bool unknown = false;
    if (!unchanged) {
        const QString check = m_programFolder + QStringLiteral("input/verify.db");
        if (transfer.PullDeviceDb(check) != 0) {
            unknown = true;
            why = QStringLiteral("无法再次从手持机读取数据");
        } else {
            unchanged = ReadingLogImporter(m_dm ? m_dm->con1() : QSqlDatabase(), QString()).AllReadingsStored(check, &why, &unknown);
        }
        DeviceTransfer::RemoveCopy(check);
    }
    if (!unchanged && unknown) {
        // Not a reading found missing: the check itself could not be made (the store busy or
        // unreadable), so the operator is told that, not that readings are missing.
        ShowWarning(QStringLiteral("无法核对手持机中的记录是否均已导入，未清除手持机内流水记录：%1").arg(why));
        return;
    }
    if (!unchanged) {
        ShowWarning(QStringLiteral("手持机中有尚未导入的数据，未清除手持机内流水记录，请重新联接设备。"));
        return;
    }
    if (transfer.PushDeviceDb(m_programFolder + QStringLiteral("input/empty.db")) < 0)
        ShowWarning(QStringLiteral("清除手持机内流水记录失败！"));
    else
        ShowWarning(QStringLiteral("清除手持机内流水记录成功！"));
}

void TIdcardmainfrm::delbtnClick()
{
    if (m_commandRunning)
        return; // one command at a time (a second press while the first waits)
    const QScopedValueRollback<bool> running(m_commandRunning, true);
    if (!ui->cb_all->isChecked() && !ui->DBGrid1->selectionModel()->hasSelection()) {
        ShowWarning(QStringLiteral("请首先选择要删除的记录！"));
        return;
    }
    // While the question is up the filter timer must not replace the rows the operator chose.
    const QScopedValueRollback<bool> busy(QueryBusy, true);
    if (!AskConfirm(QStringLiteral("选定记录将被删除，请再次确认！")))
        return;

    bool ok = true;
    QString error;
    {
        // A year's readings take seconds to read to the end and delete.
        const BlockingStep step(m_progress, QStringLiteral("正在删除记录…"));
        const UpdatesSuspended suspended({ui->DBGrid1, ui->GroupBox2});
        std::vector<int> rows;
        if (!ChosenRows(rows))
            return; // the list could not be read to its end; the model has said why
        std::vector<qint64> serials;
        serials.reserve(rows.size());
        for (int row : rows) {
            const qint64 serial = m_model->SerialAt(row);
            if (serial < 0)
                return; // as above: rows the list could not read are not guessed at
            serials.push_back(serial);
        }
        ok = DeleteReadings(m_dm ? m_dm->con1() : QSqlDatabase(), serials, &error);
    }
    // After a failure nothing was deleted; the list is re-run all the same so that it shows the
    // store as it is.
    RefreshQuery();
    if (!ok)
        ShowError(error);
}

void TIdcardmainfrm::waterbtnClick()
{
    if (m_commandRunning)
        return; // one command at a time (a second press while the first waits)
    const QScopedValueRollback<bool> running(m_commandRunning, true);
    if (!ui->cb_all->isChecked() && !ui->DBGrid1->selectionModel()->hasSelection()) {
        ShowWarning(QStringLiteral("请首先选择要导出的记录！"));
        return;
    }
    // The dialog and the boxes keep the event loop turning: a re-run by the filter timer would
    // replace the rows and the selection the command works on.
    const QScopedValueRollback<bool> busy(QueryBusy, true);
    SaveFileRequest request;
    request.folder = m_programFolder + QStringLiteral("output");
    request.fileName = m_txtdlgFileName;
    request.filter = QStringLiteral("Excel表格（.xls） (*.xls)");
    request.defaultSuffix = QStringLiteral("xls");
    const QString chosen = AskSaveFileName(request);
    if (chosen.isEmpty())
        return;
    m_txtdlgFileName = chosen;
    const QString fileName = ExportFileName(chosen, HasExcel2007);
    // The old file stays until the new workbook is complete and replaces it.
    if (QFileInfo::exists(fileName) && !AskConfirm(QStringLiteral("此文件已存在将被覆盖，是否继续？")))
        return;
    const int count = ExportToExcel(fileName);
    ShowInfo(QStringLiteral("本次累计成功导出记录 %1 笔").arg(count));
}

int TIdcardmainfrm::ExportToExcel(const QString& fileName)
{
    std::vector<int> rows;
    WorkbookResult result;
    {
        const BlockingStep step(m_progress, QStringLiteral("正在导出读卡记录…"));
        if (ChosenRows(rows)) {
            const WorkbookExport exporter(fileName);
            result = exporter.Write(static_cast<int>(rows.size()), [&](int i) {
                const int r = rows[static_cast<size_t>(i)];
                return ExportRow{m_model->IdcardnoAt(r), m_model->NameAt(r), ExportTimeText(m_model->ReadtimeAt(r)),
                                 m_model->BlackflagAt(r)};
            });
        }
    }

    switch (result.status) {
    case WorkbookResult::Status::WriterUnavailable:
        ShowWarning(QStringLiteral("您的机器里未安装Microsoft Excel.无法导出！"));
        return 0;
    case WorkbookResult::Status::WriteFailed:
        ShowInfo(QStringLiteral("保存Excle表格失败！"));
        return 0;
    case WorkbookResult::Status::Written:
        break;
    }
    // As after walking the list: the current row is the last one exported; the selection stays.
    if (!rows.empty())
        ui->DBGrid1->selectionModel()->setCurrentIndex(m_model->index(rows.back(), 0), QItemSelectionModel::NoUpdate);
    return result.count;
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

void TIdcardmainfrm::prtbtnClick()
{
    if (m_commandRunning)
        return; // one command at a time (a second press while the first waits)
    const QScopedValueRollback<bool> running(m_commandRunning, true);
    // Only the current row counts, not the selection.
    CardHolderFields holder;
    QString photoPath;
    const QModelIndex current = ui->DBGrid1->selectionModel()->currentIndex();
    const qint64 serial = current.isValid() ? m_model->SerialAt(current.row()) : -1;
    if (serial >= 0 && m_dm && m_dm->IsOpen()) {
        bool found = false;
        QString error;
        if (!ReadCardHolder(m_dm->con1(), serial, &holder, &found, &error)) {
            ShowError(error);
            return;
        }
        if (found) {
            // The library reads the photo from a file; it holds personal data, so it goes to the
            // private scratch folder. An empty photo gives an empty file.
            if (m_scratchFolder.isEmpty()) {
                ShowError(QStringLiteral("无法建立私有临时文件夹，照片文件无法写入"));
                return;
            }
            photoPath = QDir(m_scratchFolder).filePath(QLatin1String(kCardPhotoFileName));
            if (!WritePrivateFile(photoPath, holder.photo, &error)) {
                ShowError(QStringLiteral("无法写入照片文件 %1：%2").arg(QDir::toNativeSeparators(photoPath), error));
                return;
            }
        }
    }
    CallCardPrintLib(MakeCardPrintRecord(holder, photoPath), 0);
}

void TIdcardmainfrm::CallCardPrintLib(CardPrintRecord record, unsigned char flag)
{
    // The library's print dialog turns the event loop: the filter timer must not requery meanwhile.
    const QScopedValueRollback<bool> busy(QueryBusy, true);
    const auto handle = static_cast<std::uint32_t>(window()->winId());
    const QString message = CardPrintMessage(CallPrintCardmes(m_programFolder, handle, record, flag));
    if (!message.isEmpty())
        ShowError(message);
}
