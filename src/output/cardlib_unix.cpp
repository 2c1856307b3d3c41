#include "CardPrint.h"

#include <QDir>
#include <QFileInfo>
#include <QLibrary>

bool LoadCardPrintLibrary(QLibrary& library, const QString& programFolder)
{
    // Windows finds a program's libraries in the program's folder first; so does this program.
    // Elsewhere the dynamic linker's own search order decides.
    const QString own = QDir(programFolder).filePath(QStringLiteral("libcardprintlib.so"));
    library.setFileName(QFileInfo::exists(own) ? own : QStringLiteral("libcardprintlib.so"));
    return library.load();
}
