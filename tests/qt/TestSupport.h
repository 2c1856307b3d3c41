#pragma once
// Shared pieces of the Qt tests: a scripted message sink and a throw-away program folder with a
// fresh copy of the ready-made record store.

#include "Global.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QQueue>
#include <QSqlDatabase>
#include <QString>
#include <QTemporaryDir>

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
        if (answers.isEmpty()) {
            unexpectedQuestions.append(text);
            return false;
        }
        return answers.dequeue();
    }
    QString SaveFileName(const QString&, const QString&, const QString&) override
    {
        return fileNames.isEmpty() ? QString() : fileNames.dequeue();
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
    QStringList unexpectedQuestions;

private:
    MessageSink* m_previous = nullptr;
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

// A valid synthetic ID number: region, birth date, sequence, check character.
QString SyntheticId(int region, const QDate& birth, int sequence);
