// The speech cleaner, the spoken-list formatter and talvane-clean, the filter users run them through.

#include "TestSupport.h"

#include "text/CleanupRegex.h"
#include "text/SpokenList.h"
#include "text/TextCleaner.h"

#include <QProcess>
#include <QtConcurrent>

namespace {

enum Step { Clean, List, Item, Capitalize };
QString (*const stepFunction[])(const QString &) = {TextCleaner::clean, SpokenList::asList, SpokenList::item,
                                                    TextCleaner::capitalize};

using Row = std::tuple<int, QString, QString, int>; // step, text, what it gives, [ERROR] lines it logs

void row(const char *name, Step step, const QString &text, const QString &expected, int errors = 0)
{
    QTest::newRow(name) << Row{step, text, expected, errors};
}

// talvane-clean as a user runs it: its exit code, its standard output, and whether it wrote to standard error.
std::tuple<int, QByteArray, bool> tool(const QByteArray &input, const QStringList &arguments = {})
{
    QProcess process;
    process.start(QStringLiteral(TALVANE_CLEAN_TOOL), arguments);
    process.write(input);
    process.closeWriteChannel();
    const bool done = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    return {done ? process.exitCode() : -1, process.readAllStandardOutput(), !process.readAllStandardError().isEmpty()};
}

} // namespace

class TextTest : public QObject
{
    Q_OBJECT

    static QString run(const char *unit, int count) { return QString::fromUtf8(unit).repeated(count); }

private Q_SLOTS:
    void steps_data()
    {
        QTest::addColumn<Row>("entry");
        // clang-format off

        row("filler between commas", Clean, "Ну давай, короче, завтра созвонимся, вот.", "Ну давай завтра созвонимся.");
        row("each rule once", Clean, "Ну, как бы, это самое, ок. Так сказать… иди! Типа, да", "Как бы ок. Иди! Да");
        row("ну around a starting hesitation", Clean, "Ну. Ну, э-э, привет. Э-э, ну, пока", "Ну. Привет. Пока");
        row("ну next to a hesitation", Clean, "мы пойдём, ну, эээ, домой, эээ, ну спать", "мы пойдём домой спать");
        row("clause end", Clean, "мы едем, эм, в город, ммм. Правда ну. А да ну", "мы едем в город. Правда. А да ну");
        row("lookalike", Clean, "я хм знаю м-м-м… что гм, нужно эмоции мммм хмурый", "я знаю что нужно эмоции хмурый");
        row("repeated short words", Clean, "я я пойду, мы, мы бы бы в в дом", "я пойду, мы бы в дом");
        row("repeated phrase", Clean, "Я я Я пойду, это самое это самое хлеб хлеб", "Я пойду, это самое хлеб хлеб");
        row("places", Clean, "В среду, нет, в четверг. Иду к пяти, ой, нет, к шести", "В четверг. Иду к шести");
        row("chains", Clean, "В пять, нет, точнее в шесть. В 5:30, ой, в смысле в 6:15. Пять, нет, шесть, нет, семь.", "В шесть. В 6:15. Семь.");
        row("same first letter", Clean, "в среду, нет, на четверг и в Москве, вернее во Владимире", "в среду, нет, на четверг и во Владимире");
        row("values", Clean, "Завтра, нет, послезавтра купи пять, нет, шесть.", "Послезавтра купи шесть.");
        row("или нет is no retraction", Clean, "пять, или нет, шесть, двадцать пять, я имею в виду тридцать два", "пять, или нет, шесть, тридцать два");
        row("inside a number", Clean, "1,5:30, нет, 6 и пять, нет, 1,5нет, 6 и 2.3.4, ой, 5", "1,6 и 1,6 и 2.5");
        row("punctuation", Clean, "Текст , с пробелом,, а слово ,.", "Текст, с пробелом, а слово.");
        row("white space and markers", Clean, " \n\t \x01\x01а\t\tб\tв\n\nг\x01 \u00a0\n", "А б\tв\n\nг");
        row("empty", Clean, "", "");
        row("only a hesitation", Clean, "эээ", "");
        row("no letter after a removed start", Clean, "ну, ok. Ну, 5 минут. Ну, 😀 я я тут", "ok. 5 минут. 😀 Я тут");
        row("U+0345 counts as a letter", Clean, "я я\u0345 в среду\u0345, нет, в четверг, я дом\u0345 я дом\u0345, во-первых\u0345 а во-вторых б",
            "я я\u0345 в четверг, я дом\u0345, во-первых\u0345 а во-вторых б");
        row("then a list", Clean, "Ну, купить: во-первых, хлеб, ну, во-вторых, сыр, вот.", "Купить:\n1. Хлеб\n2. Сыр");

        // Long runs on which the plain form of the rules takes seconds or minutes: cleaned in full.
        row("spaces", Clean, "а" + run(" ", 20000) + "б", "а б");
        row("spaces and ну", Clean, "да" + run(" ", 20000) + "ну" + run(" ", 20000) + "эээ.", "да.");
        row("line breaks", Clean, "а," + run("\n", 20000) + "эм," + run("\n", 20000) + "б", "а б");
        row("numerals", Clean, run("пять ", 4000) + "нет, шесть", "Шесть");
        row("digits", Clean, "итого " + run("1 ", 10000) + "ой, 2", "итого 2");
        row("numerals, no correction", Clean, run("1  ", 7000) + "ой", run("1 ", 7000) + "ой");
        row("numeral words with gaps", Clean, "5, нет, 6: " + run("пять  ", 2000) + run("двадцать\t", 2000) + "ой",
            "6: " + run("пять ", 2000) + run("двадцать\t", 2000) + "ой");
        row("numerals after words", Clean, run("вот 5 ", 4000) + "нет, 6", run("вот 5 ", 3999) + "вот 6");
        row("numbers with commas", Clean, run("1,5 ", 4000) + "нет, 2" + run(" 2,5", 4000), "2" + run(" 2,5", 4000));
        row("times", Clean, run("5:30 ", 4000) + "ой, 6:15" + run(" 7.45", 4000), "6:15" + run(" 7.45", 4000));
        row("retractions", Clean, "в среду " + run("нет, ", 4000) + "в четверг", "В четверг");
        row("ой нет", Clean, "в среду" + run(" ой нет", 3000) + " да", "в среду" + run(" ой нет", 3000) + " да");
        row("fillers", Clean, "да" + run(", ну", 5000) + ", нет", "да" + run(" ну", 2500) + ", нет"); // ", ну, " goes whole: every other "ну" stays
        row("stutter", Clean, run("я ", 10000) + "пойду", "я пойду");
        row("separators around list items", List, "Итак" + run(" ,", 10000) + " во-первых хлеб" + run(" ,", 10000) + "x во-вторых сыр" + run(" ;", 10000),
            "Итак:\n1. Хлеб" + run(" ,", 10000) + "x\n2. Сыр");
        // Numerals far apart each begin a value that runs to the end: the correction rule runs out of time and is skipped.
        row("a rule out of time", Clean, "Ну, давай, короче, посчитаем: " + run("1          ", 2000) + "итого. Купи пять, нет, шесть яблок, ммм.",
            "Давай посчитаем: " + run("1 ", 2000) + "итого. Купи пять, нет, шесть яблок.", 1);

        row("closing paragraph", List, "Итак: во-первых хлеб, во-вторых сыр. Всё.", "Итак:\n1. Хлеб\n2. Сыр\n\nВсё.");
        row("и, а", List, "Так. Во-первых суп и, во-вторых чай, а в-третьих сок!", "Так:\n1. Суп\n2. Чай\n3. Сок!");
        row("question, no hyphen", List, "Что взять? Во первых хлеб, во вторых сыр.", "Что взять?\n1. Хлеб\n2. Сыр");
        row("ellipsis, Latin", List, "Значит… во-первых ёлка, во-вторых latin", "Значит…\n1. Ёлка\n2. latin");
        row("neuter ordinals", List, "Первое, почта. Второе это чай. Третье, сон.", "1. Почта\n2. Это чай\n3. Сон");
        row("пункт 1", List, "Итак: пункт 1 суп, пункт 2 чай; пункт три сок", "Итак:\n1. Суп\n2. Чай\n3. Сок");
        row("ordinal and пункт", List, "Итак: первый пункт — отчёт, второй пункт — сон.", "Итак:\n1. Отчёт\n2. Сон");
        row("missing marker", List, "Во-первых суп, во-вторых чай, в-четвёртых сыр", "1. Суп\n2. Чай, в-четвёртых сыр");
        row("ten items", List, "во-первых а во-вторых б в-третьих в в-четвертых г в-пятых д в-шестых е в-седьмых ж в-восьмых з в-девятых и в-десятых к",
            "1. А\n2. Б\n3. В\n4. Г\n5. Д\n6. Е\n7. Ж\n8. З\n9. И\n10. К");
        row("next family", List, "Во-первых во-вторых: пункт один суп, пункт два чай", "Во-первых во-вторых:\n1. Суп\n2. Чай");
        row("out of order", List, "во-вторых хлеб, во-первых молоко", "во-вторых хлеб, во-первых молоко");
        row("empty first item", List, "Во-первых, во-вторых, хлеб", "Во-первых, во-вторых, хлеб");
        row("empty last item", List, "Во-первых хлеб, во-вторых", "Во-первых хлеб, во-вторых");
        row("no markers", List, "Это первое дело, второе, пункт 10 хлеб, пункт 2 чай", "Это первое дело, второе, пункт 10 хлеб, пункт 2 чай");
        row("nothing but the list step", List, "  ну, э-э, да  \n", "  ну, э-э, да  \n");

        row("item: trailing но", Item, "молоко — но", "Молоко");
        row("item: и inside a word", Item, "хлеб,ино", "Хлеб,ино");
        row("item: full stop kept", Item, "хлеб. и", "Хлеб.");
        row("item: only separators", Item, " ,.; — ", "");

        row("first letter or number", Capitalize, "а.\x01б. \x01«в» г \x01 5 д \x01ok е", "а.Б. «В» г  5 д ok е");
        row("Cyrillic letters only", Capitalize, "\x01ёж \x01я \x01і \x01е\u0308ж", "Ёж Я і \u0401ж");
        row("combining marks", Capitalize, "\x01а\u0301ист \x01\u0301да", "А\u0301ист \u0301Да");
        row("marker at the end", Capitalize, "да\x01", "да");
        // clang-format on
    }

    // Every row leaves as many [ERROR] lines as it says (a rule out of its budget), and none holds the text.
    // Clean and list rows go through talvane-clean too, byte for byte.
    void steps()
    {
        QFETCH(Row, entry);
        const auto &[step, text, expected, errors] = entry;
        const qsizetype before = TestSupport::logLines().size();
        QCOMPARE(stepFunction[step](text), expected);
        const QStringList logged = TestSupport::logLines().mid(before);
        QCOMPARE(logged.filter(QStringLiteral("[ERROR]")).size(), errors);
        QVERIFY(logged.filter(text.left(20)).isEmpty());
        if (step == Clean || step == List)
            QCOMPARE(tool(text.toUtf8(), step == List ? QStringList{"--list"} : QStringList()),
                     std::tuple(0, expected.toUtf8(), false));
    }

    // Markers the list step would never find give no list: an empty item, descending, overlapping, outside the
    // text, only one.
    void numbered()
    {
        const QString text = QStringLiteral("Итак, во-первых хлеб, во-вторых молоко. Всё.");
        QCOMPARE(SpokenList::numbered(text, {{6, 9}, {22, 9}}).value_or(""), "Итак:\n1. Хлеб\n2. Молоко\n\nВсё.");
        for (const auto &markers : QList<QList<SpokenList::MarkerRange>>{
                 {{6, 9}, {15, 0}}, {{22, 9}, {6, 9}}, {{6, 9}, {10, 9}}, {{6, 9}, {40, 9}}, {{6, 9}}})
            QVERIFY(!SpokenList::numbered(text, markers));
    }

    void refusals() // a pattern that does not compile; talvane-clean on input that is not UTF-8, an unknown option
    {
        const qsizetype errors = TestSupport::logLines().filter(QStringLiteral("[ERROR]")).size();
        const CleanupRegex::Pattern broken("test pattern", "(ну|");
        const icu::UnicodeString text = CleanupRegex::fromUtf8("ну да");
        QVERIFY(!broken && !broken.replaceAll(text, {}) && !broken.find(text, 0) && broken.removeFirst(text) == text);
        QCOMPARE(TestSupport::logLines().filter(QStringLiteral("[ERROR]")).size(), errors + 1);
        QCOMPARE(tool("ну, \xff\xfe да"), std::tuple(1, QByteArray(), true));
        QCOMPARE(tool("да", {"--fast"}), std::tuple(2, QByteArray(), true));
    }

    void concurrentCalls()
    {
        const QString text = "Ну, э-э, мы мы в среду, нет, в четверг. Итак: во-первых хлеб, во-вторых сыр.";
        const QList<QString> results = QtConcurrent::blockingMapped(QList<QString>(800, text), TextCleaner::clean);
        QCOMPARE(results.count(TextCleaner::clean(text)), 800);
    }
};

TALVANE_TEST_MAIN(TextTest)
#include "TextTest.moc"
