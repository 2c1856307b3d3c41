// One click on 联接设备 with the simulated handheld, as the operator makes it: pull, import, list,
// the question answered with OK, the check before clearing, and the push of the empty database.
// Each run starts from a handheld holding the generated device database; the first click of a run
// goes into an empty record store, the repeat click of the same readings into the filled one.
//
// Where the time of a click goes is taken from the waits the window shows: the pull, the import,
// the check before clearing and the clearing, each from the start of its box to its end.
//
//   bench_connect [--readings N] [--holders M] [--runs R]

#include "BenchSupport.h"
#include "Global.h"
#include "RecordStore.h"
#include "TIdcardmainfrm.h"
#include "WidgetProgress.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <iterator>
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

// The steps of a click, named by the text of their wait.
const char* const kSteps[][2] = {{"正在从手持机读取数据…", "pull"},
                                 {"正在导入读卡记录…", "import"},
                                 {"正在核对手持机数据…", "check"},
                                 {"正在清除手持机内流水记录…", "clear"}};
constexpr int kStepCount = int(std::size(kSteps));

// Times each step of a click, showing the window's own box meanwhile; never cancels.
class StepClock : public OperationProgress {
public:
    explicit StepClock(QWidget* window) : m_box(window) {}
    void Begin(const QString& text, bool cancellable) override
    {
        m_box.Begin(text, cancellable);
        m_current = -1;
        for (int i = 0; i < kStepCount; ++i)
            if (text == QString::fromUtf8(kSteps[i][0]))
                m_current = i;
        m_clock.start();
    }
    bool Cancelled() override { return false; }
    void End() override
    {
        m_box.End();
        if (m_current >= 0)
            ms[m_current] += Ms(m_clock);
        m_current = -1;
    }
    double ms[kStepCount] = {};

private:
    WidgetProgress m_box;
    int m_current = -1;
    QElapsedTimer m_clock;
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
    std::vector<double> firstSteps[kStepCount];
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
        StepClock steps(&window);
        window.SetProgress(&steps);
        window.show();
        QCoreApplication::processEvents();
        for (std::vector<double>* figures : {&first, &repeat}) {
            // The last card was read a while before the handheld was connected.
            QFile filled(handheld + QStringLiteral("idcard.db"));
            if (!copyReplacing(device, filled.fileName()) || !filled.open(QIODevice::ReadOnly)
                || !filled.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime)) {
                std::fprintf(stderr, "cannot fill the handheld\n");
                return 1;
            }
            filled.close();
            sink.shown.clear();
            std::fill(std::begin(steps.ms), std::end(steps.ms), 0.0);
            QElapsedTimer t;
            t.start();
            window.Button1Click();
            const double ms = Ms(t);
            const bool cleared = QFileInfo(handheld + QStringLiteral("idcard.db")).size() == QFileInfo(folder + QStringLiteral("input/empty.db")).size();
            std::printf("run %d, %s click: %.0f ms; listed %s; handheld %s; last message: %s\n", run,
                        figures == &first ? "first" : "repeat", ms, qPrintable(window.StatusText().trimmed()),
                        cleared ? "cleared" : "NOT cleared", qPrintable(sink.shown.value(sink.shown.size() - 1)));
            double rest = ms;
            std::printf("  steps:");
            for (int i = 0; i < kStepCount; ++i) {
                std::printf(" %s %.0f ms,", kSteps[i][1], steps.ms[i]);
                rest -= steps.ms[i];
                if (figures == &first)
                    firstSteps[i].push_back(steps.ms[i]);
            }
            std::printf(" the rest %.0f ms\n", rest);
            std::fflush(stdout);
            figures->push_back(ms);
        }
    }
    SetMessageSink(nullptr);
    std::printf("median of %d: first click %.0f ms, repeat click %.0f ms\n", runs, Median(first), Median(repeat));
    std::printf("first click, median of each step:");
    for (int i = 0; i < kStepCount; ++i)
        std::printf(" %s %.0f ms%s", kSteps[i][1], Median(firstSteps[i]), i + 1 < kStepCount ? "," : "\n");
    return 0;
}
