#pragma once
// A named push button added to a dialog's row; tests find it by its name.

#include <QLayout>
#include <QPushButton>

inline QPushButton* AddDialogButton(QWidget* parent, QLayout* layout, const char* name, const QString& text)
{
    auto* b = new QPushButton(text, parent);
    b->setObjectName(QLatin1String(name));
    b->setAutoDefault(false);
    layout->addWidget(b);
    return b;
}
