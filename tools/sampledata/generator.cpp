#include "sampledata.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <unordered_set>

namespace idcard::sample {

namespace {

struct Region
{
    const char *code;
    const char16_t *place;  // province, city, district as written in the address
    const char16_t *issuer; // the police office that issues cards there
};

// Invented places; the codes only follow the six-digit shape of region codes.
const Region kRegions[] = {
    {"130402", u"河川省青石市北城区", u"青石市公安局北城分局"},
    {"130423", u"河川省青石市白沙县", u"白沙县公安局"},
    {"210106", u"辽原省松江市西岭区", u"松江市公安局西岭分局"},
    {"320583", u"江宁省临河市", u"临河市公安局"},
    {"330212", u"浙安省明州市东港区", u"明州市公安局东港分局"},
    {"410922", u"中原省清丰市南乐县", u"南乐县公安局"},
    {"430104", u"湘南省长岭市岳山区", u"长岭市公安局岳山分局"},
    {"510704", u"川西省绵阳市游云区", u"绵阳市公安局游云分局"},
    {"530102", u"云岭省春城市五华区", u"春城市公安局五华分局"},
    {"650104", u"天山省乌原市新城区", u"乌原市公安局新城分局"},
    {"150203", u"北疆省包原市昆河区", u"包原市公安局昆河分局"},
    {"440305", u"岭南省海湾市南山区", u"海湾市公安局南山分局"},
};

const char16_t *const kSurnames[] = {
    u"王", u"李", u"张", u"刘", u"陈", u"杨", u"黄", u"赵", u"吴", u"周",
    u"徐", u"孙", u"马", u"朱", u"胡", u"郭", u"何", u"林", u"高", u"罗",
    u"郑", u"梁", u"谢", u"宋", u"唐", u"许", u"韩", u"冯", u"邓", u"曹",
};
const char16_t *const kMaleGiven[] = {
    u"伟", u"强", u"磊", u"军", u"洋", u"勇", u"杰", u"涛", u"明", u"超",
    u"刚", u"建", u"国", u"文", u"辉", u"鹏", u"宇", u"浩", u"博", u"俊",
    u"轩", u"晨", u"峰", u"斌", u"海", u"波", u"志", u"平", u"东", u"林",
};
const char16_t *const kFemaleGiven[] = {
    u"芳", u"娜", u"敏", u"静", u"丽", u"艳", u"娟", u"秀", u"霞", u"桂",
    u"英", u"华", u"玉", u"兰", u"萍", u"红", u"欣", u"怡", u"婷", u"雪",
    u"琳", u"涵", u"佳", u"嘉", u"思", u"梓", u"悦", u"晶", u"慧", u"颖",
};
// Outside GBK (two of them outside the BMP): the store and the exports must keep them intact.
const char16_t *const kRareGiven[] = {u"𠮷", u"䶮", u"𫖯", u"𬌗", u"㛃"};

const char16_t *const kStreets[] = {
    u"建设", u"人民", u"解放", u"和平", u"新华", u"文化", u"长江", u"青年",
    u"胜利", u"光明", u"朝阳", u"团结", u"东风", u"红旗", u"中山", u"北京",
};
const char16_t *const kVillages[] = {u"李家", u"王庄", u"河湾", u"石桥", u"柳树", u"东岗"};

// The larger groups after 汉, as nation_no, drawn more often than the rest.
const int kCommonMinorities[] = {8, 3, 11, 5, 6, 7, 15, 4, 2};

template <typename T, std::size_t N>
const T &pick(std::mt19937_64 &rng, const T (&items)[N])
{
    return items[std::uniform_int_distribution<std::size_t>(0, N - 1)(rng)];
}

int uniform(std::mt19937_64 &rng, int lo, int hi)
{
    return std::uniform_int_distribution<int>(lo, hi)(rng);
}

bool chance(std::mt19937_64 &rng, double p)
{
    return std::uniform_real_distribution<double>(0.0, 1.0)(rng) < p;
}

QDate randomDate(std::mt19937_64 &rng, QDate lo, QDate hi)
{
    if (hi <= lo)
        return lo;
    const qint64 days = lo.daysTo(hi);
    return lo.addDays(std::uniform_int_distribution<qint64>(0, days)(rng));
}

QString dotted(QDate d)
{
    return d.toString(QStringLiteral("yyyy.MM.dd"));
}

// Well-mixed stream seeds from the one user seed.
std::uint64_t splitmix(std::uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

} // namespace

const std::vector<QString> &nationNames()
{
    static const char16_t *const raw[] = {
        u"汉", u"蒙古", u"回", u"藏", u"维吾尔", u"苗", u"彝", u"壮", u"布依", u"朝鲜",
        u"满", u"侗", u"瑶", u"白", u"土家", u"哈尼", u"哈萨克", u"傣", u"黎", u"傈僳",
        u"佤", u"畲", u"高山", u"拉祜", u"水", u"东乡", u"纳西", u"景颇", u"柯尔克孜", u"土",
        u"达斡尔", u"仫佬", u"羌", u"布朗", u"撒拉", u"毛难", u"仡佬", u"锡伯", u"阿昌", u"普米",
        u"塔吉克", u"怒", u"乌孜别克", u"俄罗斯", u"鄂温克", u"崩龙", u"保安", u"裕固", u"京",
        u"塔塔尔", u"独龙", u"鄂伦春", u"赫哲", u"门巴", u"珞巴", u"基诺",
    };
    static const std::vector<QString> names = [] {
        std::vector<QString> v;
        for (const char16_t *n : raw)
            v.push_back(QString::fromUtf16(n));
        return v;
    }();
    return names;
}

Generator::Generator(const Options &options)
    : m_options(options)
    , m_to(options.to.isValid() ? options.to : QDate::currentDate())
    , m_holderRng(splitmix(options.seed ^ 0x686f6c646572ULL))
    , m_timeRng(splitmix(options.seed ^ 0x74696d6573ULL))
{
    m_from = options.from.isValid() ? options.from : m_to.addDays(-364);
    if (m_from > m_to)
        std::swap(m_from, m_to);
}

std::int64_t Generator::rangeSeconds() const
{
    return (m_from.daysTo(m_to) + 1) * 86400;
}

Holder Generator::nextHolder()
{
    auto &rng = m_holderRng;
    Holder h;
    const bool male = chance(rng, 0.5);
    h.sex = male ? QStringLiteral("男") : QStringLiteral("女");

    h.name = QString::fromUtf16(pick(rng, kSurnames));
    const int givenLength = chance(rng, 0.3) ? 1 : 2;
    const int rareAt = (m_options.rareChars && chance(rng, 0.02)) ? uniform(rng, 0, givenLength - 1)
                                                                   : -1;
    for (int i = 0; i < givenLength; ++i) {
        if (i == rareAt)
            h.name += QString::fromUtf16(pick(rng, kRareGiven));
        else
            h.name += QString::fromUtf16(male ? pick(rng, kMaleGiven) : pick(rng, kFemaleGiven));
    }

    if (chance(rng, 0.85))
        h.nationNo = 1;
    else if (chance(rng, 0.65))
        h.nationNo = pick(rng, kCommonMinorities);
    else
        h.nationNo = uniform(rng, 2, 56);
    h.nation = nationNames()[h.nationNo - 1];

    // Ages 6..85 at the end of the range; the card is issued at 5 or older.
    h.birth = randomDate(rng, m_to.addYears(-85), m_to.addYears(-6));
    QDate issued = randomDate(rng, std::max(h.birth.addYears(5), m_to.addYears(-10)),
                              m_to.addDays(-1));
    int age = h.birth.daysTo(issued) / 365;
    h.validBegin = dotted(issued);
    if (age < 16)
        h.validEnd = dotted(issued.addYears(5));
    else if (age <= 25)
        h.validEnd = dotted(issued.addYears(10));
    else if (age <= 45)
        h.validEnd = dotted(issued.addYears(20));
    else
        h.validEnd = QStringLiteral("长期");

    const Region &region = pick(rng, kRegions);
    h.issuer = QString::fromUtf16(region.issuer);
    h.address = QString::fromUtf16(region.place);
    if (chance(rng, 0.25)) {
        h.address += QString::fromUtf16(pick(rng, kVillages)) + QStringLiteral("村%1组").arg(uniform(rng, 1, 12));
    } else {
        h.address += QString::fromUtf16(pick(rng, kStreets))
                     + (chance(rng, 0.5) ? QStringLiteral("路") : QStringLiteral("街"))
                     + QStringLiteral("%1号").arg(uniform(rng, 1, 399));
        if (chance(rng, 0.6))
            h.address += QStringLiteral("%1栋%2单元%3室")
                             .arg(uniform(rng, 1, 30))
                             .arg(uniform(rng, 1, 6))
                             .arg(uniform(rng, 1, 33) * 100 + uniform(rng, 1, 4));
    }

    const std::string born = h.birth.toString(QStringLiteral("yyyyMMdd")).toStdString();
    std::string id;
    // Odd last sequence digit for men, even for women; redraw until the number is new.
    do {
        const int seq = uniform(rng, 0, 99) * 10 + uniform(rng, 0, 4) * 2 + (male ? 1 : 0);
        if (seq == 0)
            continue;
        char buf[32];
        std::snprintf(buf, sizeof buf, "%s%s%03d", region.code, born.c_str(), seq);
        id = buf;
        id += idCheckCharacter(QString::fromLatin1(id.c_str())).toLatin1();
    } while (id.empty() || !m_usedIds.insert(id).second);
    h.idNumber = QString::fromLatin1(id.c_str());

    h.photoSeed = rng();
    return h;
}

std::int64_t Generator::nextReadingOffset()
{
    const std::int64_t days = rangeSeconds() / 86400;
    if (chance(m_timeRng, 0.02))
        return std::uniform_int_distribution<std::int64_t>(0, days - 1)(m_timeRng) * 86400;
    return std::uniform_int_distribution<std::int64_t>(0, rangeSeconds() - 1)(m_timeRng);
}

std::string Generator::readTimeText(std::int64_t offset) const
{
    const QDate day = m_from.addDays(offset / 86400);
    const int secs = int(offset % 86400);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", day.year(), day.month(),
                  day.day(), secs / 3600, secs / 60 % 60, secs % 60);
    return buf;
}

std::vector<Generator::Reading> Generator::readings(int count, int holders)
{
    std::vector<Reading> out;
    if (count <= 0 || holders <= 0)
        return out;
    out.reserve(count);
    for (int i = 0; i < count; ++i)
        out.push_back({i < holders ? i : uniform(m_timeRng, 0, holders - 1), 0});
    std::shuffle(out.begin(), out.end(), m_timeRng);

    // A card read twice in the same second is one reading to the importer; keep pairs distinct so
    // the counts asked for are the counts that land.
    const std::int64_t range = rangeSeconds();
    std::unordered_set<std::int64_t> seen;
    seen.reserve(count * 2);
    for (Reading &r : out) {
        do {
            r.offset = nextReadingOffset();
        } while (!seen.insert(std::int64_t(r.holder) * range + r.offset).second);
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const Reading &a, const Reading &b) { return a.offset < b.offset; });
    return out;
}

} // namespace idcard::sample
