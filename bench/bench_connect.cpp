// One click on 联接设备 with the simulated handheld, as the operator makes it: pull, import, list,
// the question answered with OK, the check before clearing, and the push of the empty database.
// Each run starts from a handheld holding the generated device database; the first click of a run
// goes into an empty record store, the repeat click of the same readings into the filled one.
//
//   bench_connect [--readings N] [--holders M] [--runs R]

#include "BenchSupport.h"
#include "Global.h"
#include "RecordStore.h"
#include "TIdcardmainfrm.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <vector>

namespace {

// Answers the question with OK and keeps what was shown.
class AnsweringSink : public MessageSink {
public:
    void Show(MsgKind, const QString&, const QString& text) override { shown << text; }
    bool Confirm(const QString&, const QString& text) override
    {
        shown << text;
        return true;
    }
    QString SaveFileName(const SaveFileRequest&) override { return QString(); }
    QStringList shown;
};

bool copyReplacing(const QString& from, const QString& to)
{
    QFile::remove(to);
    return QFile::copy(from, to);
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int readings = BenchOption(QStringLiteral("--readings"), QStringLiteral("20000")).toInt();
    const int holders = BenchOption(QStringLiteral("--holders"), QStringLiteral("4000")).toInt();
    const int runs = std::max(1, BenchOption(QStringLiteral("--runs"), QStringLiteral("5")).toInt());
    const QString device = BenchDeviceDb(readings, holders);
    if (device.isEmpty())
        return 1;
    std::printf("device database: %.1f MB\n", QFileInfo(device).size() / 1048576.0);

    // A program folder as the build lays it out, with the simulator in place of adb.
    QTemporaryDir work(BenchDataDir() + QStringLiteral("/connect-XXXXXX"));
    const QString folder = work.path() + QLatin1Char('/');
    const QString handheld = folder + QStringLiteral("handheld/sdcard/quintara/idcard/db/");
    const QString store = folder + QStringLiteral("database/KeepTrackLog.db");
    QDir root(folder);
    if (!root.mkpath(QStringLiteral("database")) || !root.mkpath(QStringLiteral("input")) || !root.mkpath(handheld)
        || !QFile::copy(QStringLiteral(IDCARD_PROGRAM_DIR "/input/empty.db"), folder + QStringLiteral("input/empty.db"))
        || !QFile::copy(QStringLiteral(IDCARD_SOURCE_DIR "/tools/adb_sim/adb"), folder + QStringLiteral("adb"))) {
        std::fprintf(stderr, "cannot lay out the program folder in %s\n", qPrintable(folder));
        return 1;
    }
    qputenv("IDCARD_HANDHELD_DIR", QFile::encodeName(folder + QStringLiteral("handheld")));

    AnsweringSink sink;
    SetMessageSink(&sink);
    std::vector<double> first, repeat;
    for (int run = 1; run <= runs; ++run) {
        if (!copyReplacing(QStringLiteral(IDCARD_PROGRAM_DIR "/database/KeepTrackLog.db"), store)) {
            std::fprintf(stderr, "cannot copy the record store\n");
            return 1;
        }
        QFile::setPermissions(store, QFile::ReadOwner | QFile::WriteOwner);
        TDM_Main dm;
        QString error;
        if (!dm.Open(folder, &error)) {
            std::fprintf(stderr, "cannot open the store: %s\n", qPrintable(error));
            return 1;
        }
        TIdcardmainfrm window(&dm, folder);
        window.SetScratchFolder(work.path());
        window.show();
        QCoreApplication::processEvents();
        for (std::vector<double>* figures : {&first, &repeat}) {
            if (!copyReplacing(device, handheld + QStringLiteral("idcard.db"))) {
                std::fprintf(stderr, "cannot fill the handheld\n");
                return 1;
            }
            sink.shown.clear();
            QElapsedTimer t;
            t.start();
            window.Button1Click();
            const double ms = Ms(t);
            const bool cleared = QFileInfo(handheld + QStringLiteral("idcard.db")).size() == QFileInfo(folder + QStringLiteral("input/empty.db")).size();
            std::printf("run %d, %s click: %.0f ms; listed %s; handheld %s; last message: %s\n", run,
                        figures == &first ? "first" : "repeat", ms, qPrintable(window.StatusText().trimmed()),
                        cleared ? "cleared" : "NOT cleared", qPrintable(sink.shown.value(sink.shown.size() - 1)));
            std::fflush(stdout);
            figures->push_back(ms);
        }
    }
    SetMessageSink(nullptr);
    std::printf("median of %d: first click %.0f ms, repeat click %.0f ms\n", runs, Median(first), Median(repeat));
    return 0;
}
