#include "TestSupport.h"

#include "text/CleanupRegex.h"
#include "text/SpokenList.h"
#include "text/TextCleaner.h"

#include <QFuture>
#include <QRegularExpression>
#include <QtConcurrent>

namespace {

QString lines(std::initializer_list<const char *> parts)
{
    QStringList all;
    for (const char *part : parts)
        all << QString::fromUtf8(part);
    return all.join(QLatin1Char('\n'));
}

QStringList errorLines()
{
    return TestSupport::logLines().filter(QStringLiteral("[ERROR]"));
}

} // namespace

class TextCleanerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void clean_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("cleaned");

        // Fillers.
        QTest::newRow("filler: filler at the start") << "ну, давай завтра"
                                                     << "Давай завтра";
        QTest::newRow("filler: filler between commas") << "Ну давай, короче, завтра созвонимся, ну."
                                                       << "Ну давай завтра созвонимся.";
        QTest::newRow("filler: each rule runs once") << "Ну, как бы, это самое, начнём."
                                                     << "Как бы начнём.";
        QTest::newRow("filler: вот at a clause end") << "Давай созвонимся, вот."
                                                     << "Давай созвонимся.";
        QTest::newRow("filler: filler with an ellipsis") << "Так сказать… поехали! Типа, да"
                                                         << "Поехали! Да";
        QTest::newRow("filler: a filler inside a word stays") << "нужно, нужно"
                                                              << "нужно, нужно";

        // Hesitations.
        QTest::newRow("hesitation: hesitation at the start") << "Э-э, я хотел сказать что-то"
                                                             << "Я хотел сказать что-то";
        QTest::newRow("hesitation: ну before a hesitation") << "Ну, э-э, привет"
                                                            << "Привет";
        QTest::newRow("hesitation: ну after a hesitation") << "Э-э, ну, привет"
                                                           << "Привет";
        QTest::newRow("hesitation: hesitation between commas") << "мы поедем, эм, в город"
                                                               << "мы поедем в город";
        QTest::newRow("hesitation: ну then a hesitation") << "мы пойдём, ну, эээ, домой"
                                                          << "мы пойдём домой";
        QTest::newRow("hesitation: a hesitation then ну") << "мы пойдём, эээ, ну домой"
                                                          << "мы пойдём домой";
        QTest::newRow("hesitation: hesitation at a clause end") << "сделаю это, ммм."
                                                                << "сделаю это.";
        QTest::newRow("hesitation: trailing ну") << "Правда ну."
                                                 << "Правда.";
        QTest::newRow("hesitation: да ну stays") << "да ну"
                                                 << "да ну";
        QTest::newRow("hesitation: hesitation after spaces") << "я хм думаю м-м-м… что гм, да"
                                                             << "я думаю что да";
        QTest::newRow("hesitation: hesitation-like words stay") << "эмоции мммм хмурый"
                                                                << "эмоции хмурый";

        // Stutters.
        QTest::newRow("stutter: repeated short words") << "я я пойду в в магазин"
                                                       << "я пойду в магазин";
        QTest::newRow("stutter: repeat after a comma") << "мы, мы пойдём"
                                                       << "мы пойдём";
        QTest::newRow("stutter: repeated бы") << "я хотел бы бы сказать"
                                              << "я хотел бы сказать";
        QTest::newRow("stutter: repeated phrase") << "это самое это самое"
                                                  << "это самое";
        QTest::newRow("stutter: repeat in another case") << "Я я Я пойду"
                                                         << "Я пойду";
        QTest::newRow("stutter: long words are no stutter") << "хлеб хлеб"
                                                            << "хлеб хлеб";

        // Self-corrections.
        QTest::newRow("correction: place inside") << "встретимся в среду, нет, в четверг"
                                                  << "встретимся в четверг";
        QTest::newRow("correction: place at the start") << "В среду, нет, в четверг"
                                                        << "В четверг";
        QTest::newRow("correction: two retraction words") << "приду к пяти, ой, нет, к шести часам"
                                                          << "приду к шести часам";
        QTest::newRow("correction: точнее") << "в пять, нет, точнее в шесть"
                                            << "В шесть";
        QTest::newRow("correction: other preposition") << "в среду, нет, на четверг"
                                                       << "в среду, нет, на четверг";
        QTest::newRow("correction: во after в") << "живу в Москве, вернее во Владимире"
                                                << "живу во Владимире";
        QTest::newRow("correction: value inside") << "Купи пять, нет, шесть яблок."
                                                  << "Купи шесть яблок.";
        QTest::newRow("correction: value at the start") << "Пять, нет, шесть яблок"
                                                        << "Шесть яблок";
        QTest::newRow("correction: day word") << "завтра, нет, послезавтра"
                                              << "Послезавтра";
        QTest::newRow("correction: или before the retraction") << "пять, или нет, шесть"
                                                               << "пять, или нет, шесть";
        QTest::newRow("correction: numerals and times") << "в 5:30, ой, в смысле в 6:15 утра"
                                                        << "В 6:15 утра";
        QTest::newRow("correction: several numerals") << "купил двадцать пять, я имею в виду тридцать два"
                                                      << "купил тридцать два";
        QTest::newRow("correction: second correction inside") << "пять, нет, шесть, нет, семь"
                                                              << "Семь";

        // Punctuation and spacing.
        QTest::newRow("punctuation: spaces before punctuation") << "Текст , с пробелом ."
                                                                << "Текст, с пробелом.";
        QTest::newRow("punctuation: run of commas") << "а,, б"
                                                    << "а, б";
        QTest::newRow("punctuation: comma before a full stop") << "слово ,."
                                                               << "слово.";
        QTest::newRow("punctuation: run of spaces") << "а   б"
                                                    << "а б";
        QTest::newRow("punctuation: tabs") << "а\t\tб\tв"
                                           << "а б\tв";
        QTest::newRow("punctuation: line breaks stay") << "первая строка\n\nвторая"
                                                       << "первая строка\n\nвторая";
        QTest::newRow("punctuation: trimmed") << " \n\t привет \u00a0\n"
                                              << "привет";

        // Edges.
        QTest::newRow("edge: empty") << ""
                                     << "";
        QTest::newRow("edge: only a hesitation") << "эээ"
                                                 << "";
        QTest::newRow("edge: lone ну") << "ну"
                                       << "ну";
        QTest::newRow("edge: sentence after any end") << "Ну. Э-э, да."
                                                      << "Ну. Да.";
        QTest::newRow("edge: Latin after a removed start") << "ну, ok"
                                                           << "ok";
        QTest::newRow("edge: markers in the input") << "\x01\x01привет\x01"
                                                    << "Привет";
        QTest::newRow("edge: number after a removed start") << "Ну, 5 минут"
                                                            << "5 минут";

        // Rules working together.
        QTest::newRow("combined: everything at once")
            << "Ну, э-э, мы мы встретимся , как бы , в среду, нет, в четверг , в пять, ой, в шесть, вот."
            << "Мы встретимся в четверг, в шесть.";
        QTest::newRow("combined: sentences cleaned one by one") << "Э-э, да. Ну, хорошо! Короче, пять, нет, шесть."
                                                                << "Да. Хорошо! Шесть.";
        QTest::newRow("combined: clean then a list")
            << "Ну, нужно, э-э, купить: во-первых, хлеб хлеб, во-вторых, молоко, ну, в-третьих, сыр, вот."
            << lines({"Нужно купить:", "1. Хлеб хлеб", "2. Молоко", "3. Сыр"});
    }

    void clean()
    {
        QFETCH(QString, text);
        QFETCH(QString, cleaned);
        QCOMPARE(TextCleaner::clean(text), cleaned);
    }

    void asList_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("list");

        QTest::newRow("adverbs with a closing paragraph")
            << "Нужно купить: во-первых, хлеб, во-вторых, молоко, в-третьих, сыр. Потом домой."
            << lines({"Нужно купить:", "1. Хлеб", "2. Молоко", "3. Сыр", "", "Потом домой."});
        QTest::newRow("question as the introduction")
            << "Что купить? Во-первых хлеб, во-вторых молоко." << lines({"Что купить?", "1. Хлеб", "2. Молоко"});
        QTest::newRow("conjunctions stripped")
            << "План такой. Во-первых, хлеб и, во-вторых, молоко, а в-третьих, сыр! Остальное потом."
            << lines({"План такой:", "1. Хлеб", "2. Молоко", "3. Сыр!", "", "Остальное потом."});
        QTest::newRow("space instead of a hyphen")
            << "во первых хлеб во вторых молоко" << lines({"1. Хлеб", "2. Молоко"});
        QTest::newRow("neuter ordinals") << "Первое, проверить почту. Второе это позвонить маме. Третье, купить хлеб."
                                         << lines({"1. Проверить почту", "2. Это позвонить маме", "3. Купить хлеб"});
        QTest::newRow("пункт and a number") << "Купить: пункт 1 хлеб, пункт 2 молоко; пункт три сыр"
                                            << lines({"Купить:", "1. Хлеб", "2. Молоко", "3. Сыр"});
        QTest::newRow("ordinal and пункт")
            << "Задачи: первый пункт — отчёт, второй пункт — звонок." << lines({"Задачи:", "1. Отчёт", "2. Звонок"});
        QTest::newRow("missing marker ends the list")
            << "Во-первых хлеб, во-вторых молоко, в-четвёртых сыр" << lines({"1. Хлеб", "2. Молоко, в-четвёртых сыр"});
        QTest::newRow("out of order") << "во-вторых хлеб, во-первых молоко"
                                      << "во-вторых хлеб, во-первых молоко";
        QTest::newRow("empty first item") << "Во-первых, во-вторых, хлеб"
                                          << "Во-первых, во-вторых, хлеб";
        QTest::newRow("empty last item") << "Во-первых хлеб, во-вторых"
                                         << "Во-первых хлеб, во-вторых";
        QTest::newRow("one marker") << "Во-первых, хлеб."
                                    << "Во-первых, хлеб.";

        QTest::newRow("ten items") << "во-первых а во-вторых б в-третьих в в-четвертых г в-пятых д в-шестых е "
                                      "в-седьмых ж в-восьмых з в-девятых и в-десятых к"
                                   << lines({"1. А", "2. Б", "3. В", "4. Г", "5. Д", "6. Е", "7. Ж", "8. З", "9. И",
                                             "10. К"});
        QTest::newRow("a rejected family lets the next one try")
            << "Во-первых, во-вторых: пункт один хлеб, пункт два молоко"
            << lines({"Во-первых, во-вторых:", "1. Хлеб", "2. Молоко"});
        QTest::newRow("ordinal inside a clause is no marker") << "Это первое дело, второе, потом"
                                                              << "Это первое дело, второе, потом";
        QTest::newRow("пункт 10 is not пункт 1") << "пункт 10 хлеб, пункт 2 молоко"
                                                 << "пункт 10 хлеб, пункт 2 молоко";
        QTest::newRow("ellipsis ends the introduction")
            << "Значит… во-первых хлеб, во-вторых молоко" << lines({"Значит…", "1. Хлеб", "2. Молоко"});
        QTest::newRow("items keep their inner case")
            << "Во-первых, ёлка. Во-вторых, Latin text" << lines({"1. Ёлка", "2. Latin text"});
    }

    void asList()
    {
        QFETCH(QString, text);
        QFETCH(QString, list);
        QCOMPARE(SpokenList::asList(text), list);
    }

    void numbered_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QList<SpokenList::MarkerRange>>("ranges");
        QTest::addColumn<QString>("list");

        const QString text = QStringLiteral("Итак, во-первых хлеб, во-вторых молоко. Всё.");
        QTest::newRow("a list") << text << QList<SpokenList::MarkerRange>{{6, 9}, {22, 9}}
                                << lines({"Итак:", "1. Хлеб", "2. Молоко", "", "Всё."});
        QTest::newRow("empty item") << text << QList<SpokenList::MarkerRange>{{6, 9}, {15, 0}} << QString();
        QTest::newRow("descending") << text << QList<SpokenList::MarkerRange>{{22, 9}, {6, 9}} << QString();
        QTest::newRow("overlapping") << text << QList<SpokenList::MarkerRange>{{6, 9}, {10, 9}} << QString();
        QTest::newRow("outside the text") << text << QList<SpokenList::MarkerRange>{{6, 9}, {40, 9}} << QString();
        QTest::newRow("one marker") << text << QList<SpokenList::MarkerRange>{{6, 9}} << QString();
    }

    void numbered()
    {
        QFETCH(QString, text);
        QFETCH(QList<SpokenList::MarkerRange>, ranges);
        QFETCH(QString, list);
        const std::optional<QString> rendered = SpokenList::numbered(text, ranges);
        QCOMPARE(rendered.value_or(QString()), list);
        QCOMPARE(rendered.has_value(), !list.isEmpty());
    }

    void item_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("tidy");
        QTest::newRow("separators") << " , хлеб; "
                                    << "Хлеб";
        QTest::newRow("trailing и") << "хлеб и, "
                                    << "Хлеб";
        QTest::newRow("trailing но") << "молоко — но"
                                     << "Молоко";
        QTest::newRow("и inside a word") << "хлеб,ино"
                                         << "Хлеб,ино";
        QTest::newRow("full stop kept after a conjunction") << "хлеб. и"
                                                            << "Хлеб.";
        QTest::newRow("exclamation kept") << "сыр!"
                                          << "Сыр!";
        QTest::newRow("only separators") << " ,.; — "
                                         << "";
        QTest::newRow("Latin") << "ok"
                               << "ok";
        QTest::newRow("ё") << "ёж"
                           << "Ёж";
    }

    void item()
    {
        QFETCH(QString, text);
        QFETCH(QString, tidy);
        QCOMPARE(SpokenList::item(text), tidy);
    }

    void capitalize_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("capitalized");
        QTest::newRow("no marker") << "привет, мир"
                                   << "привет, мир";
        QTest::newRow("marker") << "\x01привет"
                                << "Привет";
        QTest::newRow("punctuation before the letter") << "\x01«привет»"
                                                       << "«Привет»";
        QTest::newRow("number clears the flag") << "\x01 5 яблок"
                                                << " 5 яблок";
        QTest::newRow("Latin clears the flag") << "\x01ok да"
                                               << "ok да";
        QTest::newRow("upper case stays") << "\x01Привет"
                                          << "Привет";
        QTest::newRow("two markers") << "а.\x01б. \x01в"
                                     << "а.Б. В";
        QTest::newRow("decomposed ё") << "\x01е\u0308ж"
                                      << "\u0401ж";
        QTest::newRow("stress mark kept") << "\x01а\u0301ист"
                                          << "А\u0301ист";
        QTest::newRow("lone combining mark is no letter") << "\x01\u0301да"
                                                          << "\u0301Да";
        QTest::newRow("marker at the end") << "да\x01"
                                           << "да";
    }

    void capitalize()
    {
        QFETCH(QString, text);
        QFETCH(QString, capitalized);
        QCOMPARE(TextCleaner::capitalize(text), capitalized);
    }

    void upper_data()
    {
        QTest::addColumn<QString>("character");
        QTest::addColumn<QString>("upper");
        QTest::newRow("а") << "а"
                           << "А";
        QTest::newRow("я") << "я"
                           << "Я";
        QTest::newRow("ё") << "ё"
                           << "Ё";
        QTest::newRow("й") << "й"
                           << "Й";
        QTest::newRow("Latin") << "a"
                               << "a";
        QTest::newRow("Ukrainian і is not in the range") << "і"
                                                         << "і";
        QTest::newRow("digit") << "5"
                               << "5";
        QTest::newRow("upper case") << "Ж"
                                    << "Ж";
    }

    void upper()
    {
        QFETCH(QString, character);
        QFETCH(QString, upper);
        QCOMPARE(TextCleaner::upper(character), upper);
    }

    // Runs that make the plain patterns take seconds or minutes are cleaned in full, with
    // no rule running out of its budget.
    void longRuns_data()
    {
        QTest::addColumn<bool>("listOnly");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("cleaned");
        const auto run = [](const char *unit, int count) { return QString::fromUtf8(unit).repeated(count); };
        QTest::newRow("spaces") << false << "а" + run(" ", 20000) + "б"
                                << "а б";
        QTest::newRow("spaces and ну") << false << "да" + run(" ", 20000) + "ну" + run(" ", 20000) + "эээ."
                                       << "да.";
        QTest::newRow("line breaks and a hesitation")
            << false << "а," + run("\n", 20000) + "эм," + run("\n", 20000) + "б"
            << "а б";
        QTest::newRow("numerals") << false << run("пять ", 4000) + "нет, шесть"
                                  << "Шесть";
        QTest::newRow("digits") << false << "итого " + run("1 ", 10000) + "ой, 2"
                                << "итого 2";
        QTest::newRow("numerals, no correction") << false << run("1  ", 7000) + "ой" << run("1 ", 7000) + "ой";
        QTest::newRow("retractions") << false << "в среду " + run("нет, ", 4000) + "в четверг"
                                     << "В четверг";
        QTest::newRow("ой нет") << false << "в среду" + run(" ой нет", 3000) + " завтра"
                                << "в среду" + run(" ой нет", 3000) + " завтра";
        // ", ну, " goes as a whole, so every other "ну" stays.
        QTest::newRow("fillers") << false << "да" + run(", ну", 5000) + ", нет"
                                 << "да" + run(" ну", 2500) + ", нет";
        QTest::newRow("stutter") << false << run("я ", 10000) + "пойду"
                                 << "я пойду";
        QTest::newRow("separators around list items") << true
                                                      << "Итак" + run(" ,", 10000) + " во-первых хлеб" +
                                                             run(" ,", 10000) + "x во-вторых молоко" + run(" ;", 10000)
                                                      << "Итак:\n1. Хлеб" + run(" ,", 10000) + "x\n2. Молоко";
    }

    void longRuns()
    {
        QFETCH(bool, listOnly);
        QFETCH(QString, text);
        QFETCH(QString, cleaned);
        const qsizetype errors = errorLines().size();
        QCOMPARE(listOnly ? SpokenList::asList(text) : TextCleaner::clean(text), cleaned);
        QCOMPARE(errorLines().size(), errors);
    }

    // A text on which a rule would still take too long loses that rule only: the rule is
    // logged and skipped, every other step still runs.
    void ruleOutOfTime()
    {
        // Numerals far apart: each one begins a value that runs to the end of the list.
        const QString numbers = QStringLiteral("1          ").repeated(2000);
        const QString text = "Ну, давай, короче, посчитаем: " + numbers + "итого. Купи пять, нет, шесть яблок, ммм.";
        const QString cleaned = TextCleaner::clean(text);
        QVERIFY(cleaned.startsWith(QStringLiteral("Давай посчитаем: 1 1 1 ")));
        QVERIFY2(cleaned.endsWith(QStringLiteral(" 1 итого. Купи пять, нет, шесть яблок.")),
                 qPrintable(cleaned.right(60)));
        const QStringList errors = errorLines();
        QVERIFY(!errors.isEmpty());
        const QRegularExpression logged(QStringLiteral(
            R"(\[ERROR\] Cleanup rule skipped: rule 16, time limit reached on a text of \d+ characters$)"));
        QVERIFY2(logged.match(errors.last()).hasMatch(), qPrintable(errors.last()));
    }

    void refusedPattern()
    {
        const CleanupRegex::Pattern broken("test pattern", "(ну|");
        QVERIFY(!broken);
        const icu::UnicodeString text = CleanupRegex::fromUtf8("ну да");
        QVERIFY(!broken.replaceAll(text, {}));
        QVERIFY(!broken.find(text, 0));
        QVERIFY(broken.removeFirst(text) == text);
        QVERIFY2(errorLines().last().endsWith(QStringLiteral(
                     "[ERROR] Cleanup rule refused: U_REGEX_MISMATCHED_PAREN at offset 4 of test pattern")),
                 qPrintable(errorLines().last()));
    }

    void concurrentCalls()
    {
        const QStringList texts = {"ну, давай завтра", "в среду, нет, в четверг", "во-первых хлеб, во-вторых молоко",
                                   "я я пойду", "Э-э, пять, нет, шесть."};
        QStringList expected;
        for (const QString &text : texts)
            expected << TextCleaner::clean(text);
        QList<QFuture<bool>> runs;
        for (int thread = 0; thread < 4; ++thread) {
            runs << QtConcurrent::run([&] {
                for (int round = 0; round < 200; ++round) {
                    for (qsizetype i = 0; i < texts.size(); ++i) {
                        if (TextCleaner::clean(texts[i]) != expected[i])
                            return false;
                    }
                }
                return true;
            });
        }
        for (QFuture<bool> &run : runs)
            QVERIFY(run.result());
    }
};

TALVANE_TEST_MAIN(TextCleanerTest)
#include "TextCleanerTest.moc"
