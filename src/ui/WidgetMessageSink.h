#pragma once
#include "Global.h"

// Message boxes and the save dialog as real modal widgets over the active window.
class WidgetMessageSink : public MessageSink {
public:
    void Show(MsgKind kind, const QString& caption, const QString& text) override;
    bool Confirm(const QString& caption, const QString& text) override;
    QString SaveFileName(const SaveFileRequest& request) override;
    QString OpenFileName(const SaveFileRequest& request) override;
};
