// The card-printing library's entry point: lays out the card from the program's record and prints
// it through a print dialog in which the operator picks a printer or a PDF file.
//
// Results: 1 printed, 0 the operator cancelled, -1 no ID number to print, -2 the printer could
// not be started, -3 the caller has no Qt application to show a dialog in.
//
// With CARDPRINTLIB_PDF set to a file name, the card goes to that PDF file without a dialog
// (tests, and pictures of a card).

#include "CardFace.h"
#include "CardPrintRecord.h"

#include <QApplication>
#include <QFile>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QWidget>

namespace {

bool paintCard(QPrinter& printer, const CardFace& face)
{
    QPainter painter;
    if (!painter.begin(&printer))
        return false;
    const QRect page = printer.pageLayout().fullRectPixels(printer.resolution());
    painter.setViewport(page);
    painter.setWindow(0, 0, kCardWidth, kCardHeight);
    DrawCardFront(painter, face, LoadCardPhoto(face.photoPath));
    if (!printer.newPage())
        return false;
    DrawCardBack(painter, face);
    return painter.end();
}

} // namespace

extern "C" Q_DECL_EXPORT std::int32_t CARDPRINT_CALL PrintCardmes(std::uint32_t window, CardPrintRecord record, unsigned char flag)
{
    Q_UNUSED(flag) // the program always passes 0; no variant of the card depends on it yet
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return -3;
    const CardFace face = ReadCardFace(record);
    if (face.idcardno.isEmpty())
        return -1;

    QPrinter printer(QPrinter::HighResolution);
    printer.setDocName(QStringLiteral("居民身份证"));
    printer.setFullPage(true);
    const QPageSize id1(QSizeF(85.6, 54.0), QPageSize::Millimeter, QStringLiteral("ID-1"), QPageSize::ExactMatch);
    printer.setPageLayout(QPageLayout(id1, QPageLayout::Portrait, QMarginsF(0, 0, 0, 0)));

    const QByteArray pdf = qgetenv("CARDPRINTLIB_PDF");
    if (!pdf.isEmpty()) {
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(QFile::decodeName(pdf));
    } else {
        if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
            return -3;
        // The handle is the caller's top-level window, cut to 32 bits; where that does not find
        // it, the active window stands in.
        QWidget* parent = QWidget::find(static_cast<WId>(window));
        if (!parent)
            parent = QApplication::activeWindow();
        QPrintDialog dialog(&printer, parent);
        dialog.setWindowTitle(QStringLiteral("打印证件"));
        if (dialog.exec() != QDialog::Accepted)
            return 0; // the operator changed their mind: not a failure
    }
    return paintCard(printer, face) ? 1 : -2;
}
