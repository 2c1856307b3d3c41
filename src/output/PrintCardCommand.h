#pragma once
// 打印证件: hands the current row's card to the card-printing library.

#include "CardPrint.h"
#include "CardPrintRecord.h"

#include <QSqlDatabase>
#include <QString>

class CommandView;

class PrintCardCommand {
public:
    // programFolder: where the library is looked for first; scratchFolder: the private folder the
    // photo file goes to.
    PrintCardCommand(QSqlDatabase store, CommandView& view, QString programFolder, QString scratchFolder);

    void Run();
    // Hands one card to the printing library and shows what went wrong, if anything.
    CardPrintOutcome CallCardPrintLib(const CardPrintRecord& record, unsigned char flag);

private:
    QSqlDatabase m_store;
    CommandView& m_view;
    QString m_folder;
    QString m_scratch;
};
