#include "Global.h"

#include <cstdio>

const char* const kCaptionInfo = "提示";
const char* const kCaptionWarning = "警告信息";
const char* const kCaptionError = "错误信息";

namespace {

// Used before the window installs its sink (and by tools without a window): messages go to
// stderr, questions are answered "no" so that nothing destructive happens unasked.
class StderrSink : public MessageSink {
public:
    void Show(MsgKind, const QString& caption, const QString& text) override
    {
        std::fprintf(stderr, "%s: %s\n", qUtf8Printable(caption), qUtf8Printable(text));
    }
    bool Confirm(const QString& caption, const QString& text) override
    {
        Show(MsgKind::Question, caption, text);
        return false;
    }
    QString SaveFileName(const SaveFileRequest&) override { return {}; }
};

StderrSink g_stderrSink;
MessageSink* g_sink = &g_stderrSink;

} // namespace

MessageSink* SetMessageSink(MessageSink* sink)
{
    MessageSink* previous = g_sink;
    g_sink = sink ? sink : &g_stderrSink;
    return previous;
}

MessageSink* CurrentMessageSink() { return g_sink; }
bool MessageSinkIsDefault() { return g_sink == &g_stderrSink; }

void ShowBox(MsgKind kind, const QString& caption, const QString& text) { g_sink->Show(kind, caption, text); }
void ShowInfo(const QString& text) { ShowBox(MsgKind::Info, QString::fromUtf8(kCaptionInfo), text); }
void ShowWarning(const QString& text) { ShowBox(MsgKind::Warning, QString::fromUtf8(kCaptionWarning), text); }
void ShowError(const QString& text) { ShowBox(MsgKind::Error, QString::fromUtf8(kCaptionError), text); }
bool AskConfirm(const QString& text) { return g_sink->Confirm(QString::fromUtf8(kCaptionInfo), text); }

QString AskSaveFileName(const SaveFileRequest& request) { return g_sink->SaveFileName(request); }
QString AskOpenFileName(const SaveFileRequest& request) { return g_sink->OpenFileName(request); }
