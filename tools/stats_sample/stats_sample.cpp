// Renders the statistics window over a record store to a PNG, without a display (the README's
// picture is made with it from a store of gen_sample).
//
//   stats_sample STORE.db OUT.png --from YYYY-MM-DD --to YYYY-MM-DD [--width W --height H]

#include "RecordStore.h"
#include "StatsWindow.h"

#include <QApplication>
#include <QDate>

#include <cstdio>

int main(int argc, char* argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    auto option = [&](const char* name, const QString& fallback) {
        const int i = args.indexOf(QLatin1String(name));
        return i >= 0 && i + 1 < args.size() ? args[i + 1] : fallback;
    };
    const QDate from = QDate::fromString(option("--from", QString()), Qt::ISODate);
    const QDate to = QDate::fromString(option("--to", QString()), Qt::ISODate);
    if (args.size() < 3 || !from.isValid() || !to.isValid()) {
        std::fprintf(stderr, "usage: stats_sample STORE.db OUT.png --from YYYY-MM-DD --to YYYY-MM-DD [--width W --height H]\n");
        return 2;
    }
    TDM_Main store;
    QString error;
    if (!store.OpenFile(args[1], &error)) {
        std::fprintf(stderr, "cannot open the store: %s\n", qPrintable(error));
        return 1;
    }
    StatsWindow window(store.con1(), {from.startOfDay(), to.startOfDay(), QString(), QString()}, QString());
    window.setAttribute(Qt::WA_DeleteOnClose, false);
    window.resize(option("--width", QStringLiteral("960")).toInt(), option("--height", QStringLiteral("720")).toInt());
    window.show();
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(); // layout, then the labels thinned to it
    if (!window.CountOk() || !window.grab().save(args[2], "PNG")) {
        std::fprintf(stderr, "could not render the window\n");
        return 1;
    }
    return 0;
}
