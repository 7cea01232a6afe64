// Times TextCleaner::clean on a typical dictation and on adversarial texts of 5,000 and
// 20,000 characters (long runs of spaces, numerals, retraction words, fillers, stutters).
// Targets: under 2 ms for the typical text, under 200 ms for any adversarial one.
//
// Usage: text_clean [runs]   (default 20 runs per text)

#include "platform/Log.h"
#include "text/TextCleaner.h"

#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

const char *typical =
    "Ну, давай так. Завтра в десять утра, нет, в одиннадцать у нас встреча с клиентом, и я хотел бы, короче, "
    "обсудить с тобой план. Э-э, во-первых, нужно подготовить презентацию по итогам квартала, там двадцать пять "
    "слайдов, не больше. Во-вторых, надо проверить бюджет, мы потратили примерно один и два миллиона, точнее "
    "полтора, ну, это надо уточнить у бухгалтерии. В-третьих, я я хочу, чтобы ты позвонил Сергею и спросил про "
    "договор. Он обещал прислать его в среду, нет, в четверг, но так и не прислал, вот. Кстати, мы, мы поедем в "
    "офис вместе или по отдельности? Я думаю, что лучше вместе, потому что, эм, парковка там, как бы, очень "
    "маленькая. Ещё, это самое, не забудь взять ноутбук и зарядку, в прошлый раз мы полчаса искали розетку. "
    "Встречу планируем на полтора часа, потом обед. После обеда у меня ещё два звонка, в три и в пять, ой, в "
    "четыре. Вечером, ну, можно будет спокойно подвести итоги и написать письмо всем участникам. Если что-то "
    "изменится, я тебе напишу. Хорошо? Спасибо, до завтра!";

struct Case
{
    const char *name;
    const char *unit; // repeated to the length
};

const Case adversarial[] = {
    {"spaces", " "},
    {"line breaks", "\n"},
    {"spaces and commas", " , "},
    {"numerals", "пять "},
    {"digits", "1 "},
    {"digits, wide gaps", "1          "},
    {"numerals, double spaces", "пять  "},
    {"long number", "7"},
    {"dotted number", "1.1"},
    {"retractions", "нет, "},
    {"retraction pairs", "ой нет "},
    {"corrections", "в среду, нет, "},
    {"retraction phrases", "я имею в виду, "},
    {"values taken back", "пять нет "},
    {"fillers", "ну, "},
    {"bare fillers", "ну "},
    {"two-word fillers", "как бы "},
    {"hesitations", "эээ "},
    {"hyphenated hesitation", "э-"},
    {"stutter", "я "},
    {"phrase stutter", "в магазин "},
    {"list markers", "во-первых, "},
    {"list numbers", "пункт 1 "},
    {"sentences", ". "},
    {"ellipses", "…"},
    {"markers", "\x01"},
    {"mixed", "ну, э-э, я я пять, нет, шесть   в среду, ой, в четверг, вот. "},
};

QString repeated(const char *unit, int length)
{
    const QString piece = QString::fromUtf8(unit);
    QString text = QStringLiteral("а ");
    while (text.size() < length - 2)
        text += piece;
    text.truncate(length - 2);
    return text + QStringLiteral(" б");
}

struct Figures
{
    double best;
    double median;
    double worst;
};

Figures time(const QString &text, int runs)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const QString cleaned = TextCleaner::clean(text);
        const auto end = std::chrono::steady_clock::now();
        if (cleaned.size() > text.size() * 2)
            std::abort(); // keeps the call from being optimised away
        ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return {ms.front(), ms[ms.size() / 2], ms.back()};
}

int skippedSteps(const QString &log)
{
    Log::flush();
    QFile file(log);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return static_cast<int>(QString::fromUtf8(file.readAll()).count(QStringLiteral("Cleanup rule skipped")));
}

} // namespace

int main(int argc, char **argv)
{
    // Budget overruns are logged; keep them out of the user's own log and count them here.
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.path().toUtf8());
    const QString log = home.filePath(QStringLiteral("Talvane/talvane.log"));
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;

    const QString dictation = QString::fromUtf8(typical);
    const auto first = std::chrono::steady_clock::now();
    TextCleaner::clean(dictation); // compiles the patterns
    const double firstMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - first).count();
    const Figures t = time(dictation, runs * 10);
    std::printf("first call, compiling the patterns: %.1f ms\n", firstMs);
    std::printf("%-24s %6s %9s %9s %9s %8s\n", "text", "chars", "best ms", "median", "worst", "skipped");
    std::printf("%-24s %6lld %9.3f %9.3f %9.3f %8d\n", "typical dictation", static_cast<long long>(dictation.size()),
                t.best, t.median, t.worst, skippedSteps(log));

    double worst = 0;
    for (const int length : {5000, 20000}) {
        for (const Case &c : adversarial) {
            const int before = skippedSteps(log);
            const Figures f = time(repeated(c.unit, length), runs);
            worst = std::max(worst, f.worst);
            std::printf("%-24s %6d %9.3f %9.3f %9.3f %8d\n", c.name, length, f.best, f.median, f.worst,
                        (skippedSteps(log) - before) / runs);
        }
    }
    std::printf("typical median %.3f ms (target < 2); slowest adversarial call %.1f ms (target < 200)\n", t.median,
                worst);
    return 0;
}
