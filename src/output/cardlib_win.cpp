#include "CardPrint.h"

#include <QLibrary>

bool LoadCardPrintLibrary(QLibrary& library, const QString&)
{
    // The bare name: the loader's search order begins with the program's own folder.
    library.setFileName(QStringLiteral("cardprintlib.dll"));
    return library.load();
}
