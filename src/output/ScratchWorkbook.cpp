#include "ScratchWorkbook.h"

#include "ScratchFiles.h"

#include <QDir>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <filesystem>
#include <system_error>

ScratchWorkbook::~ScratchWorkbook()
{
    m_file.close();
    if (!m_path.isEmpty())
        QFile::remove(m_path);
}

void ScratchWorkbook::RemoveLeftovers(const QString& folder)
{
    static const QRegularExpression pattern(QStringLiteral("^\\..+\\.xlsx?\\.[0-9a-z]{1,13}\\.tmp$"));
    const QDir dir(folder);
    for (const QFileInfo& info : dir.entryInfoList({QStringLiteral(".*.tmp")}, QDir::Files | QDir::Hidden | QDir::System)) {
        if (!info.isSymLink() && info.isFile() && pattern.match(info.fileName()).hasMatch()
            && !ScratchFileHeld(info.absoluteFilePath()))
            QFile::remove(info.absoluteFilePath());
    }
}

bool ScratchWorkbook::Create(const QFileInfo& target, QString* error)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString suffix = QString::number(QRandomGenerator::global()->generate64(), 36);
        m_file.setFileName(target.absolutePath() + QStringLiteral("/.") + target.fileName() + u'.' + suffix
                           + QStringLiteral(".tmp"));
        if (m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            break;
        if (!m_file.exists())
            break; // not a clash of names: the folder refuses it
    }
    if (!m_file.isOpen()) {
        *error = m_file.errorString();
        return false;
    }
    m_path = m_file.fileName();
    HoldScratchFile(m_file.handle());
    if (target.exists())
        QFile::setPermissions(m_path, QFile::permissions(target.absoluteFilePath()));
    return true;
}

bool ScratchWorkbook::MoveTo(const QFileInfo& target, QString* error)
{
    std::error_code ec;
    std::filesystem::rename(QFileInfo(m_path).filesystemAbsoluteFilePath(), target.filesystemAbsoluteFilePath(), ec);
    if (ec) {
        *error = QString::fromStdString(ec.message());
        return false;
    }
    m_path.clear();
    return true;
}
