#include "Startup.h"

#include "Global.h"
#include "RecordStore.h"
#include "SingleInstance.h"
#include "TIdcardmainfrm.h"
#include "WidgetMessageSink.h"

#include <QApplication>
#include <QDir>
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

bool OpenStoreAtStart(TDM_Main& dm, const QString& programFolder, const QList<UpgradeStep>& steps)
{
    QString error;
    if (!dm.Open(programFolder, &error)) {
        ShowError(error);
        return false;
    }
    // A store on PostgreSQL is upgraded by its administrator's scripts; opening checked its version.
    if (dm.Pg())
        return true;
    const StoreUpgradeResult upgrade = UpgradeStore(dm.con1(), steps);
    switch (upgrade.outcome) {
    case StoreUpgradeResult::UpToDate:
        return true;
    case StoreUpgradeResult::Upgraded:
        ShowInfo(QStringLiteral("记录库已从版本 %1 升级到版本 %2。\n升级前的记录库副本保存在：%3")
                     .arg(upgrade.fromVersion)
                     .arg(upgrade.toVersion)
                     .arg(QDir::toNativeSeparators(upgrade.copyPath)));
        return true;
    case StoreUpgradeResult::TooNew:
        error = QStringLiteral("记录库版本 %1 高于本程序支持的版本 %2，请使用新版程序").arg(upgrade.fromVersion).arg(upgrade.toVersion);
        break;
    case StoreUpgradeResult::Failed:
        error = QStringLiteral("记录库升级到版本 %1 失败，记录库保持原样：%2").arg(upgrade.toVersion).arg(upgrade.error);
        if (!upgrade.copyPath.isEmpty())
            error += QStringLiteral("\n升级前的记录库副本保存在：%1").arg(QDir::toNativeSeparators(upgrade.copyPath));
        break;
    }
    ShowError(error);
    dm.Close(error);
    return false;
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
    OpenStoreAtStart(dm, ProgramFolder()); // the window opens either way; its query reports a closed store

    TIdcardmainfrm window(&dm, ProgramFolder());
    window.show();
    const int code = app.exec();
    if (CurrentMessageSink() == &sink)
        SetMessageSink(previous);
    return code;
}
