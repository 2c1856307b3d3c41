#include "ScratchWorkbook.h"

#include <QFile>
#include <QRandomGenerator>

#include <filesystem>
#include <system_error>

ScratchWorkbook::~ScratchWorkbook()
{
    if (!m_path.isEmpty())
        QFile::remove(m_path);
}

bool ScratchWorkbook::Create(const QFileInfo& target, QString* error)
{
    QFile file;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString suffix = QString::number(QRandomGenerator::global()->generate64(), 36);
        file.setFileName(target.absolutePath() + QStringLiteral("/.") + target.fileName() + u'.' + suffix
                         + QStringLiteral(".tmp"));
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            break;
        if (!file.exists())
            break; // not a clash of names: the folder refuses it
    }
    if (!file.isOpen()) {
        *error = file.errorString();
        return false;
    }
    file.close();
    m_path = file.fileName();
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
