// gen_sample: writes a device database or a record store full of synthetic card readings.
// Prints only counts, sizes and timing; the made-up people stay in the files.

#include "sampledata.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

using namespace idcard::sample;

namespace {

const char kUsage[] =
    "usage:\n"
    "  gen_sample device OUT.db --readings N --holders M [options]\n"
    "                            [--script water_list.sql | --template empty.db]\n"
    "  gen_sample store OUT.db --readings N --holders M [--template KeepTrackLog.db] [options]\n"
    "\n"
    "Writes a fresh file (replacing OUT.db) with N readings of M synthetic card holders\n"
    "(every holder read at least once, M <= N). The same seed gives the same first holders\n"
    "in both kinds of file.\n"
    "\n"
    "options:\n"
    "  --seed S          generator seed (default 1)\n"
    "  --from YYYY-MM-DD first day of the reading times (default: 364 days before --to)\n"
    "  --to YYYY-MM-DD   last day of the reading times (default: today)\n"
    "  --rare-chars      give about 1 in 50 names a character outside GBK\n"
    "  --photo-noise K   photo noise amplitude, 0 for flat shapes (default 6: PNGs of ~15-25 KB)\n"
    "  --script PATH     device: SQL script creating water_list\n"
    "                    (default " IDCARD_DEFAULT_DEVICE_SCRIPT ")\n"
    "  --template PATH   device: an empty device database to copy instead of running the script\n"
    "                    store: the ready-made store to copy\n"
    "                    (default " IDCARD_DEFAULT_STORE_TEMPLATE ")\n"
    "  --help            this text\n";

int usageError(const std::string &message)
{
    std::fprintf(stderr, "gen_sample: %s\n\n%s", message.c_str(), kUsage);
    return 2;
}

bool parseCount(const char *text, long long max, long long *out)
{
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0 || v > max)
        return false;
    *out = v;
    return true;
}

QDate parseDate(const char *text)
{
    return QDate::fromString(QString::fromLocal8Bit(text), QStringLiteral("yyyy-MM-dd"));
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    if (argc < 3)
        return usageError("need a kind (device or store) and an output file");
    const std::string kind = argv[1];
    if (kind != "device" && kind != "store")
        return usageError("unknown kind '" + kind + "'");
    const QString out = QFile::decodeName(argv[2]);

    FillRequest request;
    long long readings = -1, holders = -1;
    QString script, templatePath;
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        auto value = [&]() { return argv[++i]; };
        long long n = 0;
        if (arg == "--rare-chars") {
            request.options.rareChars = true;
        } else if (!hasValue) {
            return usageError("unknown option or missing value: " + arg);
        } else if (arg == "--readings" || arg == "--holders") {
            if (!parseCount(value(), std::numeric_limits<int>::max(), &n))
                return usageError(arg + " needs a whole number");
            (arg == "--readings" ? readings : holders) = n;
        } else if (arg == "--seed") {
            char *end = nullptr;
            const char *text = value();
            errno = 0;
            request.options.seed = std::strtoull(text, &end, 10);
            if (errno != 0 || end == text || *end != '\0')
                return usageError("--seed needs a whole number");
        } else if (arg == "--from" || arg == "--to") {
            const QDate d = parseDate(value());
            if (!d.isValid())
                return usageError(arg + " needs a date YYYY-MM-DD");
            (arg == "--from" ? request.options.from : request.options.to) = d;
        } else if (arg == "--photo-noise") {
            if (!parseCount(value(), 64, &n))
                return usageError("--photo-noise needs a number 0..64");
            request.options.photoNoise = int(n);
        } else if (arg == "--script" && kind == "device") {
            script = QFile::decodeName(value());
        } else if (arg == "--template") {
            templatePath = QFile::decodeName(value());
        } else {
            return usageError("unknown option: " + arg);
        }
    }
    if (readings < 0 || holders < 0)
        return usageError("--readings and --holders are required");
    if (!script.isEmpty() && !templatePath.isEmpty())
        return usageError("--script and --template exclude each other");
    // A single bound date means a range up to today or 364 days from the given start.
    if (request.options.from.isValid() && !request.options.to.isValid())
        request.options.to = std::max(request.options.from, QDate::currentDate());
    if (request.options.to.isValid() && !request.options.from.isValid())
        request.options.from = request.options.to.addDays(-364);
    request.readings = int(readings);
    request.holders = int(holders);

    FillReport report;
    QString error;
    bool ok = false;
    if (kind == "store") {
        ok = createRecordStore(out, templatePath.isEmpty() ? QStringLiteral(IDCARD_DEFAULT_STORE_TEMPLATE)
                                                           : templatePath,
                               request, &report, &error);
    } else if (!templatePath.isEmpty()) {
        const QString tmp = out + QStringLiteral(".tmp");
        QFile::remove(tmp);
        if (!QFile::copy(templatePath, tmp)) {
            error = QStringLiteral("cannot copy %1 to %2").arg(templatePath, tmp);
        } else {
            QFile::setPermissions(tmp, QFile::permissions(tmp) | QFile::WriteOwner);
            ok = fillDeviceDatabase(tmp, request, &report, &error);
            if (ok && std::rename(QFile::encodeName(tmp).constData(), QFile::encodeName(out).constData()) != 0) {
                error = QStringLiteral("cannot rename %1 to %2").arg(tmp, out);
                ok = false;
            }
            if (!ok)
                QFile::remove(tmp);
        }
    } else {
        const QString scriptPath = script.isEmpty() ? QStringLiteral(IDCARD_DEFAULT_DEVICE_SCRIPT) : script;
        QFile file(scriptPath);
        if (!file.open(QIODevice::ReadOnly))
            error = QStringLiteral("cannot read %1").arg(scriptPath);
        else
            ok = createDeviceDatabase(out, file.readAll(), request, &report, &error);
    }
    if (!ok) {
        std::fprintf(stderr, "gen_sample: %s\n", qPrintable(error));
        return 1;
    }

    const double fileMb = QFileInfo(out).size() / 1e6;
    const double photoKb = report.holders ? report.photoBytes / 1e3 / report.holders : 0.0;
    std::printf("%s: %lld readings, %lld holders, %s photos %.1f KB each on average, "
                "file %.1f MB, %.2f s\n",
                kind == "store" ? "record store" : "device database", report.readings,
                report.holders, kind == "store" ? "BMP" : "PNG", photoKb, fileMb, report.seconds);
    return 0;
}
