#include "app/Alerts.h"

#include "app/EngineForm.h"
#include "platform/DesktopApps.h"
#include "platform/Log.h"

#include <QApplication>
#include <QButtonGroup>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
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

// A dialog with a bold `message`, then `form`, then "Сохранить" (the default) and "Отмена"; true when saved.
bool askWithForm(QDialog &dialog, const QString &message, QWidget *form)
{
    dialog.setWindowTitle(QStringLiteral("Talvane"));
    auto *layout = new QVBoxLayout(&dialog);
    auto *title = new QLabel(message, &dialog);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    layout->addWidget(title);
    layout->addWidget(form);
    auto *buttons = new QDialogButtonBox(&dialog);
    QPushButton *save = buttons->addButton(QStringLiteral("Сохранить"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Отмена"), QDialogButtonBox::RejectRole);
    save->setDefault(true);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    bringToFront(dialog);
    return dialog.exec() == QDialog::Accepted;
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
    auto *form = new EngineForm(current, &dialog);
    if (!askWithForm(dialog, QStringLiteral("Где распознавать речь"), form))
        return std::nullopt;
    return form->choice();
}

std::optional<int> MessageBoxAlerts::choose(const QString &message, const QStringList &options, int current)
{
    QDialog dialog;
    auto *form = new QWidget(&dialog);
    auto *stack = new QVBoxLayout(form);
    stack->setContentsMargins(0, 0, 0, 0);
    auto *group = new QButtonGroup(form);
    for (int i = 0; i < options.size(); ++i) {
        auto *option = new QRadioButton(options[i], form);
        option->setChecked(i == current);
        group->addButton(option, i);
        stack->addWidget(option);
    }
    if (!askWithForm(dialog, message, form) || group->checkedId() < 0)
        return std::nullopt;
    return group->checkedId();
}

void MessageBoxAlerts::open(const QString &path)
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void MessageBoxAlerts::openAsText(const QString &path)
{
    if (const auto command = DesktopApps::commandFor(QStringLiteral("text/plain"), path)) {
        if (QProcess::startDetached(command->first(), command->mid(1)))
            return;
        Log::error(QStringLiteral("Could not start %1").arg(command->first()));
    }
    // No editor to be had: the desktop's choice for the file itself, else the folder that holds it.
    Log::info(QStringLiteral("No application for plain text — opening %1 as the desktop chooses").arg(path));
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
}
