#pragma once

#include <QWidget>

class QRadioButton;

// The choice of where speech is recognised: on this computer or in the cloud, each with a
// note on what it means. One exclusive pair of radio buttons.
class EngineForm : public QWidget
{
    Q_OBJECT

public:
    // `engine` is the current setting; "cloud" selects the cloud, anything else this computer.
    explicit EngineForm(const QString &engine, QWidget *parent = nullptr);

    QString choice() const; // "local" or "cloud"

    QRadioButton *local = nullptr;
    QRadioButton *cloud = nullptr;
};
