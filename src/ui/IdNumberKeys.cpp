#include "IdNumberKeys.h"

#include <QKeyEvent>
#include <QKeySequence>

bool IdNumberKeyPasses(const QKeyEvent* event)
{
    const int key = event->key();
    if (key == Qt::Key_Backspace || key == Qt::Key_Return || key == Qt::Key_Enter)
        return true;
    // Tab moves the focus; it is never a typed character.
    if (key == Qt::Key_Tab || key == Qt::Key_Backtab)
        return true;
    // Clipboard and undo shortcuts are typed characters too: they do nothing here.
    if (event->matches(QKeySequence::Paste) || event->matches(QKeySequence::Cut) || event->matches(QKeySequence::Copy)
        || event->matches(QKeySequence::Undo) || event->matches(QKeySequence::Redo) || event->matches(QKeySequence::SelectAll))
        return false;
    const QString text = event->text();
    if (text.isEmpty())
        return true; // cursor and editing keys that type nothing
    if (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
        return false;
    return text.size() == 1 && text[0] >= u'0' && text[0] <= u'9';
}
