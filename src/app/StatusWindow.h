#pragma once

#include <QIcon>
#include <QWidget>

class QLabel;
class QMenu;
class QToolButton;

// The program's face where the desktop has no tray (GNOME without an extension): a small ordinary window with the
// status line and a button that opens the tray's menu, so that the program is never invisible. The user's close
// only minimises it; the menu's last item quits.
class StatusWindow : public QWidget
{
    Q_OBJECT

public:
    explicit StatusWindow(QMenu *menu, QWidget *parent = nullptr);

    void setStatus(const QIcon &icon, const QString &status);

    QToolButton *menuButton = nullptr;
    QLabel *statusLine = nullptr;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QLabel *iconLabel = nullptr;
};
