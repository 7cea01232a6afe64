#include "app/StatusWindow.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QToolButton>

StatusWindow::StatusWindow(QMenu *menu, QWidget *parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Talvane"));
    auto *row = new QHBoxLayout(this);
    iconLabel = new QLabel(this);
    statusLine = new QLabel(this);
    statusLine->setMinimumWidth(260);
    menuButton = new QToolButton(this);
    menuButton->setText(QStringLiteral("Меню"));
    menuButton->setMenu(menu);
    menuButton->setPopupMode(QToolButton::InstantPopup);
    row->addWidget(iconLabel);
    row->addWidget(statusLine, 1);
    row->addWidget(menuButton);
}

void StatusWindow::setStatus(const QIcon &icon, const QString &status)
{
    iconLabel->setPixmap(icon.pixmap(24, 24));
    statusLine->setText(status);
}

void StatusWindow::closeEvent(QCloseEvent *event)
{
    // Closed by the user, the program would run on unseen: it stays on the task bar instead. The program's own
    // close at quit (not spontaneous) must go through, or Qt would call the quit off.
    if (!event->spontaneous())
        return;
    event->ignore();
    showMinimized();
}
