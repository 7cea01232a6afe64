#include "app/Alerts.h"

#include "app/EngineForm.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

// Alerts come to the front over whatever application the user works in.
void bringToFront(QWidget &window)
{
    window.setWindowFlag(Qt::WindowStaysOnTopHint);
    window.show();
    window.raise();
    window.activateWindow();
}

} // namespace

void MessageBoxAlerts::inform(const QString &message, const QString &text)
{
    ask(message, text, {QStringLiteral("Понятно")});
}

int MessageBoxAlerts::ask(const QString &message, const QString &text, const QStringList &buttons)
{
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Talvane"));
    box.setIcon(QMessageBox::Information);
    box.setText(message);
    box.setInformativeText(text);
    QList<QAbstractButton *> added;
    for (const QString &title : buttons) {
        QPushButton *button = box.addButton(title, QMessageBox::AcceptRole);
        added << button;
        if (added.size() == 1)
            box.setDefaultButton(button);
    }
    if (!added.isEmpty())
        box.setEscapeButton(added.first());
    bringToFront(box);
    box.exec();
    return int(added.indexOf(box.clickedButton()));
}

std::optional<Engine> MessageBoxAlerts::askForEngine(Engine current)
{
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Talvane"));
    auto *layout = new QVBoxLayout(&dialog);
    auto *message = new QLabel(QStringLiteral("Где распознавать речь"), &dialog);
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    layout->addWidget(message);
    auto *form = new EngineForm(current, &dialog);
    layout->addWidget(form);
    auto *buttons = new QDialogButtonBox(&dialog);
    QPushButton *save = buttons->addButton(QStringLiteral("Сохранить"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Отмена"), QDialogButtonBox::RejectRole);
    save->setDefault(true);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    bringToFront(dialog);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return form->choice();
}

void MessageBoxAlerts::open(const QString &path)
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}
