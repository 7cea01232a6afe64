// TextCleaner runs its rules in a form that stays linear on long runs of spaces and
// numerals. These tests hold it to the plain form of the same rules on ordinary texts:
// thousands of generated dictations built from the words the rules react to, and runs
// short enough for the plain form to finish.

#include "ReferenceCleaner.h"
#include "TestSupport.h"

#include "text/SpokenList.h"
#include "text/TextCleaner.h"

#include <QRandomGenerator>
#include <QTextBoundaryFinder>

namespace {

const QStringList words = {"ну",          "Ну",
                           "как бы",      "типа",
                           "короче",      "так сказать",
                           "это самое",   "скажем так",
                           "вот",         "э",
                           "ээ",          "э-э",
                           "Э-э",         "эм",
                           "ммм",         "мм",
                           "м-м",         "хм",
                           "гм",          "а-а",
                           "эээ,",        "нет",
                           "ой",          "ой,",
                           "Ой нет",      "а нет",
                           "подожди",     "погодите",
                           "стоп",        "точнее",
                           "вернее",      "извините",
                           "простите",    "я имею в виду",
                           "имею в виду", "в смысле",
                           "или",         "пять",
                           "шесть",       "двадцать пять",
                           "5",           "5:30",
                           "1,5",         "млн",
                           "сто",         "тысяча",
                           "сегодня",     "завтра",
                           "послезавтра", "утром",
                           "в",           "во",
                           "к",           "на",
                           "с",           "со",
                           "о",           "об",
                           "до",          "через",
                           "среду",       "четверг",
                           "город",       "я",
                           "ты",          "мы",
                           "да",          "и",
                           "а",           "но",
                           "что",         "это",
                           "не",          "бы",
                           "ли",          "хлеб",
                           "Правда",      "ok",
                           "пойду",       "стонет",
                           "5-нет",       "семьдесят",
                           "во-первых",   "во-вторых",
                           "в-третьих",   "первое",
                           "второе",      "пункт 1",
                           "пункт 2",     ",",
                           ".",           "…",
                           "!",           "?",
                           "—",           "-",
                           ":",           ";",
                           "..",          "\x01"};
const QStringList prepositions = {"в", "во", "к", "ко", "на", "с", "со", "о", "об", "до", "через", "у", "за", "по"};
const QStringList places = {"среду", "четверг", "город", "пяти", "шести часам", "дом", "ой", "нет", "5:30", "два"};
const QStringList retractions = {"нет",    "ой",     "ой, нет",  "а нет",         "подожди",  "стоп",
                                 "точнее", "вернее", "извините", "я имею в виду", "в смысле", "или нет"};
const QStringList values = {"пять",   "шесть",  "двадцать пять", "5",       "5:30",  "1,5 млн",   "сто",
                            "тысяча", "завтра", "послезавтра",   "сегодня", "утром", "три тысячи"};
const QStringList shortWords = {"я", "ты", "он", "она", "мы",  "в",   "на", "с",  "к",  "у",
                                "и", "а",  "но", "что", "как", "это", "не", "же", "бы", "ли"};
const QStringList gaps = {" ", " ", " ", " ", " ", ", ", ", ", "  ", "\t", "\n", "", ". ", "   ", " , "};
const QStringList retractGaps = {", ", " ", ", — ", "... ", " - ", ": ", ". ", "…", "", "  ", ",\n"};

class Dictations
{
public:
    explicit Dictations(quint32 seed) : random(seed) {}

    QString next()
    {
        QString text = pick({"", "", "", " "});
        const int pieces = 2 + bounded(16);
        for (int i = 0; i < pieces; ++i) {
            if (i > 0)
                text += pick(gaps);
            text += piece();
        }
        return text;
    }

private:
    QString piece()
    {
        switch (bounded(4)) {
        case 0: return pick(words);
        case 1: return pick(prepositions) + ' ' + pick(places) + taken() + pick(prepositions) + ' ' + pick(places);
        case 2: return pick(values) + taken() + pick(values);
        default: return stutter();
        }
    }

    QString taken()
    {
        QString words = pick(retractGaps) + pick(retractions);
        if (bounded(3) == 0)
            words += pick(retractGaps) + pick(retractions);
        return words + pick(retractGaps);
    }

    QString stutter()
    {
        QString phrase = pick(shortWords);
        for (int extra = bounded(3); extra > 0; --extra)
            phrase += ' ' + pick(places);
        QString text = phrase;
        for (int again = 1 + bounded(3); again > 0; --again)
            text += (bounded(3) ? QStringLiteral(" ") : QStringLiteral(", ")) + phrase;
        return text;
    }

    int bounded(int n) { return static_cast<int>(random.bounded(n)); }
    QString pick(const QStringList &list) { return list.at(bounded(static_cast<int>(list.size()))); }

    QRandomGenerator random;
};

QString upperFirst(const QString &text)
{
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, text);
    const qsizetype end = characters.toNextBoundary();
    if (end <= 0)
        return text;
    return TextCleaner::upper(text.left(end)) + text.mid(end);
}

} // namespace

class TextCleanerEquivalenceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void generatedDictations_data()
    {
        QTest::addColumn<quint32>("seed");
        for (quint32 seed : {1u, 2u, 3u, 4u})
            QTest::addRow("seed %u", seed) << seed;
    }

    void generatedDictations()
    {
        QFETCH(quint32, seed);
        Dictations dictations(seed);
        for (int i = 0; i < 1000; ++i) {
            const QString text = dictations.next();
            QCOMPARE(TextCleaner::clean(text), ReferenceCleaner::clean(text));
        }
    }

    void runs_data()
    {
        QTest::addColumn<QString>("text");
        const auto run = [](const char *unit, int count) { return QString::fromUtf8(unit).repeated(count); };
        QTest::newRow("spaces before ну") << "да" + run(" ", 60) + "ну" + run(" ", 60) + "эээ";
        QTest::newRow("spaces and a comma") << "мы" + run(" ", 40) + "," + run(" ", 40) + "ну, эээ," + run(" ", 40);
        QTest::newRow("line breaks") << "а" + run("\n", 80) + "ну." + run("\n", 80) + "эээ";
        QTest::newRow("spaces before a full stop") << "конец" + run(" \t", 80) + ".";
        QTest::newRow("numerals") << run("пять ", 60) + "нет, шесть";
        QTest::newRow("numerals, no correction") << run("пять ", 60) + "яблок";
        QTest::newRow("numerals with gaps") << run("1   ", 40) + "ой, 2";
        QTest::newRow("numeral words with gaps") << run("пять  ", 20) + run("двадцать\t", 20) + "нет, шесть";
        QTest::newRow("retractions") << "в среду " + run("нет, ", 40) + "в четверг";
        QTest::newRow("retractions, no correction") << "в среду " + run("ой нет ", 14) + "завтра";
        QTest::newRow("stutter") << run("я ", 60) + "пойду" + run(" в магазин", 20);
        QTest::newRow("sentences") << run("Ну, э-э. ", 30) + run("… ", 30);
        // A scan that resumes right after a match, next to white space.
        QTest::newRow("fillers back to back") << "да, ну, , ну, , как бы, нет";
        QTest::newRow("hesitations back to back") << "да, эээ, , эм, , хм, нет";
        QTest::newRow("ну back to back") << "мы  ну эээ  ну эм  ну хм да  ну.";
        QTest::newRow("spaces before punctuation back to back") << "а , , . ! б";
        QTest::newRow("corrections back to back") << "пять, нет, шесть семь, нет, восемь 5-нет, 6";
        QTest::newRow("numbers with commas") << run("1,5 ", 40) + "нет, 2" + run(" 2,5", 40);
        QTest::newRow("times") << run("5:30 ", 40) + "ой, 6:15 " + run("7.45 ", 40) + "яблок";
        QTest::newRow("combining ypogegrammeni counts as a letter")
            << "ну, я я\u0345 пойду в в\u0345 дом, в среду\u0345, нет, в четверг во-первых\u0345 а во-вторых б";
        QTest::newRow("correction inside a number") << "1,5:30, нет, 6 и пять, нет, 1,5нет, 6 и 2.3.4, ой, 5";
    }

    void runs()
    {
        QFETCH(QString, text);
        QCOMPARE(TextCleaner::clean(text), ReferenceCleaner::clean(text));
    }

    // The list step's tails are linear too; item() must still strip what the plain
    // patterns strip.
    void itemTails()
    {
        Dictations dictations(7);
        for (int i = 0; i < 2000; ++i) {
            const QString text = dictations.next() + QStringList{"", ", и", " но ", ";", " — а,", "."}.at(i % 6);
            QCOMPARE(SpokenList::item(text), upperFirst(ReferenceCleaner::itemStripped(text)));
        }
    }

    void introTails()
    {
        Dictations dictations(8);
        for (int i = 0; i < 2000; ++i) {
            const QString intro = dictations.next();
            const QString text = intro + QStringLiteral(" во-первых хлеб во-вторых молоко");
            const qsizetype first = intro.size() + 1;
            const auto list = SpokenList::numbered(text, {{first, 9}, {first + 15, 9}});
            QVERIFY(list);
            const QString kept = ReferenceCleaner::introStripped(intro);
            QString expected;
            if (!kept.isEmpty())
                expected = kept + (QStringLiteral("!?…").contains(kept.back()) ? "\n" : ":\n");
            QCOMPARE(*list, expected + "1. Хлеб\n2. Молоко");
        }
    }
};

TALVANE_TEST_MAIN(TextCleanerEquivalenceTest)
#include "TextCleanerEquivalenceTest.moc"
