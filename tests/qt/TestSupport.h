#pragma once
// Shared pieces of the Qt tests: a scripted message sink and a throw-away program folder with a
// fresh copy of the ready-made record store.

#include "CommandView.h"
#include "DeviceTransfer.h"
#include "Global.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QQueue>
#include <QSqlDatabase>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>
#include <functional>
#include <QColor>
#include <QObject>

struct ShownMessage {
    MsgKind kind;
    QString caption;
    QString text;
};

class ScriptedMessages : public MessageSink {
public:
    ScriptedMessages() { m_previous = SetMessageSink(this); }
    ~ScriptedMessages() override { SetMessageSink(m_previous); }

    void Show(MsgKind kind, const QString& caption, const QString& text) override { shown.append({kind, caption, text}); }
    bool Confirm(const QString& caption, const QString& text) override
    {
        shown.append({MsgKind::Question, caption, text});
        if (onConfirm)
            onConfirm();
        if (answers.isEmpty()) {
            unexpectedQuestions.append(text);
            return false;
        }
        return answers.dequeue();
    }
    // Records what the dialog was given; an empty answer (or none queued) is Cancel.
    QString SaveFileName(const SaveFileRequest& request) override
    {
        saveRequests.append(request);
        return fileNames.isEmpty() ? QString() : fileNames.dequeue();
    }
    QString OpenFileName(const SaveFileRequest& request) override
    {
        saveRequests.append(request);
        return fileNames.isEmpty() ? QString() : fileNames.dequeue();
    }

    // A text question: the next queued text, or Cancel when none is queued.
    bool AskText(const QString& caption, const QString& label, QString* text) override
    {
        shown.append({MsgKind::Question, caption, label});
        if (texts.isEmpty())
            return false;
        *text = texts.dequeue();
        return true;
    }

    QStringList Texts() const
    {
        QStringList out;
        for (const auto& m : shown)
            out << m.text;
        return out;
    }

    QList<ShownMessage> shown;
    QQueue<bool> answers;
    QQueue<QString> fileNames;
    QQueue<QString> texts; // answers to text questions
    QList<SaveFileRequest> saveRequests;
    QStringList unexpectedQuestions;
    std::function<void()> onConfirm; // runs while the question is up

private:
    MessageSink* m_previous = nullptr;
};

// The window as a command sees it, without a widget: the list is a fixed set of rows, and its
// re-runs are counted with the store's number of readings at that moment.
class ScriptedView : public CommandView, public ReadingRows {
public:
    struct Row {
        qint64 serialno = -1;
        QString idcardno, name, readtime, blackflag;
    };
    explicit ScriptedView(QSqlDatabase store = QSqlDatabase()) : store(store) {}

    const ReadingRows& Rows() const override { return *this; }
    bool AnyChosen() const override { return !chosen.empty(); }
    bool ChosenRows(std::vector<int>& rows) override { rows = chosen; return true; }
    int CurrentRow() const override { return current; }
    void SetCurrentRow(int row) override { current = row; }
    void FinishListing() override {}
    void RefreshList() override;
    OperationProgress* Progress() override { return progress; }
    void BeginBlocking(const QString& text, bool) override { if (progress) progress->Begin(text, false); }
    void EndBlocking() override { if (progress) progress->End(); }
    std::uint32_t WindowHandle() const override { return 0; }

    qint64 SerialAt(int row) const override { return at(row).serialno; }
    QString IdcardnoAt(int row) const override { return at(row).idcardno; }
    QString NameAt(int row) const override { return at(row).name; }
    QString ReadtimeAt(int row) const override { return at(row).readtime; }
    QString BlackflagAt(int row) const override { return at(row).blackflag; }

    QSqlDatabase store;
    std::vector<Row> rows;
    std::vector<int> chosen;
    int current = -1;
    OperationProgress* progress = nullptr;
    int refreshes = 0;
    int listed = -1; // readings in the store at the last re-run

private:
    const Row& at(int row) const { return rows.at(static_cast<size_t>(row)); }
};

// A program folder like the build's, with its own copy of the empty record store.
class TempProgramFolder {
public:
    TempProgramFolder();
    bool isValid() const { return m_ok; }
    QString path() const { return m_dir.path() + QLatin1Char('/'); }
    QString storePath() const { return path() + QStringLiteral("database/KeepTrackLog.db"); }

private:
    QTemporaryDir m_dir;
    bool m_ok = false;
};

// Direct writes into a store for setting up a scene; they bypass the program's own writes.
struct SceneHolder {
    QString idcardno;
    QString name;
    int nation = 1;
    QByteArray photo;
};
bool AddHolder(QSqlDatabase db, const SceneHolder& holder, QString* error = nullptr);
bool AddReading(QSqlDatabase db, const QString& idcardno, const QString& storeTime, QString* error = nullptr);
int CountRows(QSqlDatabase db, const QString& table);

// A device database as the handheld writes it, filled row by row.
struct DeviceRow {
    QString ic;
    QString readTime;
    QString name = QStringLiteral("测试人");
    QString sex = QStringLiteral("女");
    QString nation = QStringLiteral("汉");
    QString birth = QStringLiteral("1990-07-15");
    QString addr = QStringLiteral("测试省测试市测试路1号");
    QString issue = QStringLiteral("测试市公安局");
    QString validBegin = QStringLiteral("2015.07.01");
    QString validEnd = QStringLiteral("2035.07.01");
    QVariant photo; // PNG bytes, or a null QVariant for NULL
};
// Creates path with the handheld's empty table (the script the build uses for input/empty.db).
// icType: the declared type of the ID-number column, for handhelds that declare it otherwise.
bool CreateDeviceDb(const QString& path, QString* error = nullptr, const QString& icType = QStringLiteral("TEXT"));
bool AddDeviceRows(const QString& path, const QList<DeviceRow>& rows, QString* error = nullptr);
// A small synthetic PNG photo (width × height, one colour with a pattern).
QByteArray SyntheticPng(int width = 102, int height = 126, QRgb colour = qRgb(90, 140, 200));

// A control of a window found by its name; a missing one ends the test run at once, so that a
// renamed control is reported by name instead of as a crash.
template <typename T> T* Control(const QObject* window, const char* name)
{
    T* w = window->findChild<T*>(QLatin1String(name));
    if (!w)
        qFatal("missing control %s", name);
    return w;
}

// A valid synthetic ID number: region, birth date, sequence, check character.
QString SyntheticId(int region, const QDate& birth, int sequence);

// Runs a command-line tool to its end; its standard output in output, or why it failed in error.
bool RunTool(const QString& program, const QStringList& args, QString* output, QString* error);
