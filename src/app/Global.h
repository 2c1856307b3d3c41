#pragma once
// Message boxes and platform probes shared by every command.
//
// All boxes go through one MessageSink so that tests can record what was shown and answer the next
// question; the window installs a QMessageBox-based sink at start-up.

#include <QString>

enum class MsgKind { Info, Warning, Error, Question };

// What the save dialog is shown with. The dialog never asks about replacing a file itself: the
// command asks, about the name it will really write.
struct SaveFileRequest {
    QString caption;       // empty: the dialog's own title
    QString folder;        // where it starts when fileName is not a full path
    QString fileName;      // proposed name, plain or full path
    QString filter;        // "description (pattern)"
    QString defaultSuffix; // added when the operator types a name without one
};

class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void Show(MsgKind kind, const QString& caption, const QString& text) = 0;
    // true when the operator pressed OK; false for Cancel, Escape or closing the box.
    virtual bool Confirm(const QString& caption, const QString& text) = 0;
    // Save dialog; the chosen full path, empty when cancelled.
    virtual QString SaveFileName(const SaveFileRequest& request) = 0;
    // Open dialog for an existing file; the chosen full path, empty when cancelled.
    virtual QString OpenFileName(const SaveFileRequest& request)
    {
        (void)request;
        return {};
    }
};

// Installs the sink used by the routines below; returns the previous one. Not owned.
MessageSink* SetMessageSink(MessageSink* sink);
MessageSink* CurrentMessageSink();
bool MessageSinkIsDefault();

extern const char* const kCaptionInfo;     // "提示"
extern const char* const kCaptionWarning;  // "警告信息"
extern const char* const kCaptionError;    // "错误信息"

void ShowInfo(const QString& text);
void ShowWarning(const QString& text);
void ShowError(const QString& text);
bool AskConfirm(const QString& text);
void ShowBox(MsgKind kind, const QString& caption, const QString& text);
QString AskSaveFileName(const SaveFileRequest& request);
QString AskOpenFileName(const SaveFileRequest& request);

// The program writes .xlsx workbooks itself where no office suite exists, so the answer is
// platform-specific: the registry probe on Windows, true elsewhere.
bool IsExcel2007Installed();
