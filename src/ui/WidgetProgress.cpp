#include "WidgetProgress.h"

#include <QCoreApplication>
#include <QProgressDialog>

WidgetProgress::~WidgetProgress() { End(); }

void WidgetProgress::Begin(const QString& text, bool cancellable)
{
    End();
    m_dialog = new QProgressDialog(text, cancellable ? QStringLiteral("取消") : QString(), 0, 0, m_parent);
    m_dialog->setWindowTitle(QStringLiteral("提示"));
    m_dialog->setWindowModality(Qt::WindowModal);
    m_dialog->setMinimumDuration(300);
    m_dialog->setAutoClose(false);
    m_dialog->setAutoReset(false);
    m_dialog->setValue(0);
    // A step that blocks the event loop is announced before it starts; a wait that keeps the
    // loop turning shows the box only if it lasts.
    if (!cancellable)
        m_dialog->show();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

bool WidgetProgress::Cancelled() { return m_dialog && m_dialog->wasCanceled(); }

void WidgetProgress::End()
{
    delete m_dialog;
    m_dialog = nullptr;
}
