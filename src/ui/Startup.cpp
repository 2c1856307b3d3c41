#include "Startup.h"

#include "Global.h"
#include "RecordStore.h"
#include "SingleInstance.h"
#include "TIdcardmainfrm.h"
#include "WidgetMessageSink.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

bool CheckFirstInstance(SingleInstanceGuard& guard)
{
    if (guard.Acquire())
        return true;
    ShowBox(MsgKind::Warning, QStringLiteral("系统警告"), QStringLiteral("quintara二代证读卡查询软件已经运行"));
    return false;
}

bool InstallQtTranslation(QCoreApplication& app)
{
    // Qt's own texts (box buttons, edit menus) in Chinese, whatever the machine's locale is.
    auto* translator = new QTranslator(&app);
    if (!translator->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))
        || !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return false;
    }
    return true;
}

int RunIdcard(QApplication& app, const QString& lockFolder)
{
    InstallQtTranslation(app);
    WidgetMessageSink sink;
    // A test may have installed its own sink; only the default one is replaced.
    MessageSink* previous = MessageSinkIsDefault() ? SetMessageSink(&sink) : CurrentMessageSink();

    SingleInstanceGuard guard(lockFolder);
    if (!CheckFirstInstance(guard)) {
        if (CurrentMessageSink() == &sink)
            SetMessageSink(previous);
        return 0;
    }

    // Dates and times the program writes are its own fixed patterns (DateText.h); the locale
    // keeps the rest.
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));

    TDM_Main dm;
    QString error;
    if (!dm.Open(ProgramFolder(), &error))
        ShowError(error); // the window still opens; its query reports the closed store

    TIdcardmainfrm window(&dm, ProgramFolder());
    window.show();
    const int code = app.exec();
    if (CurrentMessageSink() == &sink)
        SetMessageSink(previous);
    return code;
}
