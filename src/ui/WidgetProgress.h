#pragma once
#include "DeviceTransfer.h"

#include <QPointer>

class QProgressDialog;
class QWidget;

// A modal "please wait" box with a Cancel button, shown while adb or the import runs.
class WidgetProgress : public OperationProgress {
public:
    explicit WidgetProgress(QWidget* parent) : m_parent(parent) {}
    ~WidgetProgress() override;

    void Begin(const QString& text, bool cancellable = true) override;
    bool Cancelled() override;
    void End() override;

private:
    QPointer<QWidget> m_parent;
    QProgressDialog* m_dialog = nullptr;
};
