#pragma once

#include "platform/Settings.h"

#include <QWidget>

class QRadioButton;

// The choice of where speech is recognised: on this computer or in the cloud, each with a
// note on what it means. One exclusive pair of radio buttons.
class EngineForm : public QWidget
{
    Q_OBJECT

public:
    explicit EngineForm(Engine engine, QWidget *parent = nullptr);

    Engine choice() const;

    QRadioButton *local = nullptr;
    QRadioButton *cloud = nullptr;
};
