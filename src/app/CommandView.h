#pragma once
// What a command sees of the window: the list's rows, the chosen ones and the current one, the
// wait boxes, and the list's re-run. The window implements it; tests script it. Message boxes and
// the save dialog go through the wrappers of Global.h.

#include <QString>

#include <cstdint>
#include <vector>

class OperationProgress;

// The rows of the reading list, by row number.
class ReadingRows {
public:
    virtual ~ReadingRows() = default;
    virtual qint64 SerialAt(int row) const = 0; // -1 when the row cannot be read
    virtual QString IdcardnoAt(int row) const = 0;
    virtual QString NameAt(int row) const = 0;
    virtual QString ReadtimeAt(int row) const = 0; // "YYYY-MM-DD hh:mm:ss"
    virtual QString BlackflagAt(int row) const = 0;
};

class CommandView {
public:
    virtual ~CommandView() = default;

    virtual const ReadingRows& Rows() const = 0;
    // Whether the operator chose any row: every row ticked, or a selection.
    virtual bool AnyChosen() const = 0;
    // The chosen rows in list order (every row, all read first, when every row is ticked). false
    // when the rows could not all be read; the list has then said why.
    virtual bool ChosenRows(std::vector<int>& rows) = 0;
    // The current row, -1 when there is none.
    virtual int CurrentRow() const = 0;
    // Moves the current row, leaving the selection as it is.
    virtual void SetCurrentRow(int row) = 0;
    // Reads the list to its end, so that the store can be written through its connection.
    virtual void FinishListing() = 0;
    // Re-runs the list and shows its result.
    virtual void RefreshList() = 0;
    // The list's filter in words, for the audit trail; empty when there is none to tell.
    virtual QString FilterText() const { return QString(); }

    // The box shown while an external program runs (may be null: nothing shown).
    virtual OperationProgress* Progress() = 0;
    // A step that blocks the window: the wait cursor and a box without Cancel. suspendList also
    // stops painting the list and the details while the rows are walked.
    virtual void BeginBlocking(const QString& text, bool suspendList) = 0;
    virtual void EndBlocking() = 0;

    // The top-level window's handle, for a library that opens its own dialog.
    virtual std::uint32_t WindowHandle() const = 0;
};

// A blocking step taken down on every path out.
class BlockingStep {
public:
    BlockingStep(CommandView& view, const QString& text, bool suspendList = false) : m_view(view)
    {
        m_view.BeginBlocking(text, suspendList);
    }
    ~BlockingStep() { m_view.EndBlocking(); }
    BlockingStep(const BlockingStep&) = delete;
    BlockingStep& operator=(const BlockingStep&) = delete;

private:
    CommandView& m_view;
};
