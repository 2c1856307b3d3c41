#include "PrintCardCommand.h"

#include "AuditLog.h"
#include "CardPrint.h"
#include "CommandView.h"
#include "Global.h"
#include "ScratchFolder.h"

#include <QDir>
#include <QFile>

PrintCardCommand::PrintCardCommand(QSqlDatabase store, CommandView& view, QString programFolder, QString scratchFolder)
    : m_store(std::move(store)), m_view(view), m_folder(std::move(programFolder)), m_scratch(std::move(scratchFolder))
{
}

void PrintCardCommand::Run()
{
    // Only the current row counts, not the selection.
    CardHolderFields holder;
    QString photoPath;
    const int current = m_view.CurrentRow();
    const qint64 serial = current >= 0 ? m_view.Rows().SerialAt(current) : -1;
    if (serial >= 0 && m_store.isOpen()) {
        bool found = false;
        QString error;
        if (!ReadCardHolder(m_store, serial, &holder, &found, &error)) {
            ShowError(error);
            return;
        }
        if (found) {
            // The library reads the photo from a file; it holds personal data, so it goes to the
            // private scratch folder. An empty photo gives an empty file.
            if (m_scratch.isEmpty()) {
                ShowError(QStringLiteral("无法建立私有临时文件夹，照片文件无法写入"));
                return;
            }
            photoPath = QDir(m_scratch).filePath(QLatin1String(kCardPhotoFileName));
            // The record's slot takes 254 bytes; a longer path would reach the library empty and
            // the card would print without its photo unannounced.
            if (QFile::encodeName(photoPath).size() >= static_cast<int>(sizeof(CardPrintRecord::photoPath))) {
                if (!AskConfirm(QStringLiteral("照片文件的路径超过 %1 字节，打印库无法读取照片：%2\n是否不带照片继续打印？")
                                    .arg(sizeof(CardPrintRecord::photoPath) - 1)
                                    .arg(QDir::toNativeSeparators(m_scratch))))
                    return;
                photoPath.clear();
                holder.photo.clear();
            }
            if (!photoPath.isEmpty() && !WritePrivateFile(photoPath, holder.photo, &error)) {
                ShowError(QStringLiteral("无法写入照片文件 %1：%2").arg(QDir::toNativeSeparators(photoPath), error));
                return;
            }
        }
    }
    if (CallCardPrintLib(MakeCardPrintRecord(holder, photoPath), 0) != CardPrintOutcome::Printed)
        return;
    // The card has left the program: the trail names whose it was, and nothing else of them.
    QString error;
    if (!WriteAudit(m_store, QString::fromUtf8(AuditAction::kPrint), 1, holder.idcardno, &error))
        ShowWarning(QStringLiteral("证件已打印，但操作日志未能写入：%1").arg(error));
}

CardPrintOutcome PrintCardCommand::CallCardPrintLib(const CardPrintRecord& record, unsigned char flag)
{
    const CardPrintOutcome outcome = CallPrintCardmes(m_folder, m_view.WindowHandle(), record, flag);
    const QString message = CardPrintMessage(outcome);
    if (!message.isEmpty())
        ShowError(message);
    return outcome;
}
