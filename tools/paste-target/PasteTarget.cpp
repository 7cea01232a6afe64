// A plain Qt window with a text field, for desktop tests: whatever reaches the field is written to the file
// named by the first argument, after every change.
#include <QApplication>
#include <QPlainTextEdit>
#include <QSaveFile>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const QString output = QString::fromLocal8Bit(argv[1]);

    QPlainTextEdit field;
    field.setWindowTitle(QStringLiteral("Talvane paste target"));
    QObject::connect(&field, &QPlainTextEdit::textChanged, [&] {
        QSaveFile file(output);
        if (file.open(QIODevice::WriteOnly)) {
            file.write(field.toPlainText().toUtf8());
            file.commit();
        }
    });
    field.resize(480, 320);
    field.show();
    field.activateWindow();
    return app.exec();
}
