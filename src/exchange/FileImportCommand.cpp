#include "FileImportCommand.h"

#include "CommandView.h"
#include "ConnectDeviceCommand.h"
#include "Global.h"
#include "PrivateDbCopy.h"

#include <QDir>
#include <QFileInfo>

namespace {

QString failureText(const PrivateDbCopy& copy, const QString& path)
{
    const QString name = QDir::toNativeSeparators(path);
    switch (copy.Error()) {
    case PrivateDbCopy::Failure::None:
        break;
    case PrivateDbCopy::Failure::NoScratch:
        return QStringLiteral("无法建立私有临时文件夹，未导入任何记录。");
    case PrivateDbCopy::Failure::Missing:
        return QStringLiteral("文件“%1”不存在，未导入任何记录。").arg(name);
    case PrivateDbCopy::Failure::Directory:
        return QStringLiteral("“%1”是文件夹，请选择读卡流水数据库文件（*.db）。").arg(name);
    case PrivateDbCopy::Failure::NotAFile:
        return QStringLiteral("“%1”不是普通文件，未导入任何记录。").arg(name);
    case PrivateDbCopy::Failure::Unreadable:
        return QStringLiteral("无法读取文件“%1”，未导入任何记录：%2").arg(name, copy.Detail());
    case PrivateDbCopy::Failure::Changed:
        return QStringLiteral("文件“%1”在复制过程中发生了变化（可能有程序正在写入），未导入任何记录，请稍后重试。").arg(name);
    case PrivateDbCopy::Failure::CopyFailed:
        return QStringLiteral("无法在临时文件夹中复制文件“%1”，未导入任何记录：%2").arg(name, copy.Detail());
    }
    return QString();
}

} // namespace

FileImportCommand::FileImportCommand(TDM_Main* store, QString programFolder, QString scratchFolder, CommandView& view)
    : m_store(store)
    , m_folder(std::move(programFolder))
    , m_scratch(std::move(scratchFolder))
    , m_view(view)
{
}

void FileImportCommand::Run()
{
    SaveFileRequest request; // the open dialog takes the same description
    request.caption = QStringLiteral("选择要导入的读卡流水数据库");
    request.folder = m_folder + QStringLiteral("input");
    request.filter = QStringLiteral("读卡流水数据库 (*.db)");
    const QString path = AskOpenFileName(request);
    if (!path.isEmpty())
        importFile(path);
}

QStringList FileImportCommand::DatabasesAmong(const QStringList& paths)
{
    QStringList databases;
    for (const QString& path : paths) {
        bool companion = false;
        for (const QString& suffix : {QStringLiteral("-wal"), QStringLiteral("-shm"), QStringLiteral("-journal")})
            companion = companion || (path.endsWith(suffix) && paths.contains(path.chopped(suffix.size())));
        if (!companion && !databases.contains(path))
            databases << path;
    }
    return databases;
}

QStringList FileImportCommand::LocalFiles(const QList<QUrl>& urls)
{
    QStringList paths;
    for (const QUrl& url : urls) {
        if (!url.isLocalFile())
            return {};
        paths << url.toLocalFile();
    }
    return paths;
}

void FileImportCommand::RunDropped(const QStringList& paths)
{
    const QStringList databases = DatabasesAmong(paths);
    if (databases.size() > 1) {
        ShowWarning(QStringLiteral("一次只能导入一个读卡流水数据库文件（拖入了 %1 个），请逐个拖入。").arg(databases.size()));
        return;
    }
    if (!databases.isEmpty())
        importFile(databases.constFirst());
}

void FileImportCommand::importFile(const QString& path)
{
    m_outcome = ImportOutcome();
    PrivateDbCopy copy; // removed on every way out of here
    bool taken = false;
    {
        const BlockingStep step(m_view, QStringLiteral("正在复制数据库文件…"));
        taken = copy.Take(path, m_scratch);
    }
    if (!taken) {
        ShowWarning(failureText(copy, path));
        return;
    }
    if (ImportAndReport(m_store, m_scratch, m_view, copy.Path(), m_outcome) < 0)
        return;
    if (m_outcome.count > 0)
        m_view.RefreshList();
}
