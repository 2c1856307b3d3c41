// card_sample: prints the card of one synthetic holder through the printing library into a PDF
// file, without the print dialog, the way the program hands a card over. For pictures of a card
// and for trying a change to the library's layout.

#include "CardPrint.h"
#include "ScratchFolder.h"
#include "sampledata.h"

#include <QDir>
#include <QGuiApplication>
#include <QLibrary>
#include <QTemporaryDir>

#include <cstdio>

using namespace idcard::sample;

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    QString out;
    bool usage = false;
    QString library = QStringLiteral(IDCARD_PROGRAM_DIR "/libcardprintlib.so");
    Options options;
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--seed") && i + 1 < args.size())
            options.seed = args[++i].toULongLong();
        else if (args[i] == QLatin1String("--library") && i + 1 < args.size())
            library = args[++i];
        else if (out.isEmpty() && !args[i].startsWith(u'-'))
            out = args[i];
        else
            usage = true;
    }
    if (usage || out.isEmpty()) {
        std::fprintf(stderr, "usage: card_sample OUT.pdf [--seed S] [--library libcardprintlib.so]\n");
        return 2;
    }

    Generator generator(options);
    const Holder h = generator.nextHolder();
    QTemporaryDir scratch;
    const QString photoPath = scratch.filePath(QStringLiteral("lstmp.bmp"));
    QString error;
    if (!scratch.isValid() || !WritePrivateFile(photoPath, toBmp(generator.photo(h)), &error)) {
        std::fprintf(stderr, "card_sample: cannot write the photo: %s\n", qPrintable(error));
        return 1;
    }
    CardHolderFields fields;
    fields.name = h.name;
    fields.sex = h.sex;
    fields.nationNo = h.nationNo;
    fields.born = h.birth.toString(QStringLiteral("yyyyMMdd"));
    fields.address = h.address;
    fields.idcardno = h.idNumber;
    fields.grantdept = h.issuer;
    fields.usefulLifeBegin = h.validBegin;
    fields.usefulLifeEnd = h.validEnd;

    QLibrary lib(library);
    const auto print = reinterpret_cast<PrintCardmesProc>(lib.resolve("PrintCardmes"));
    if (!print) {
        std::fprintf(stderr, "card_sample: %s\n", qPrintable(lib.errorString()));
        return 1;
    }
    qputenv("CARDPRINTLIB_PDF", QFile::encodeName(QDir::current().absoluteFilePath(out)));
    const int result = print(0, MakeCardPrintRecord(fields, photoPath), 0);
    if (result < 0) {
        std::fprintf(stderr, "card_sample: the library returned %d\n", result);
        return 1;
    }
    return 0;
}
