#include "app/EngineForm.h"

#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

QLabel *note(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setMaximumWidth(380);
    label->setForegroundRole(QPalette::PlaceholderText); // the secondary text colour
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    return label;
}

} // namespace

EngineForm::EngineForm(Engine engine, QWidget *parent)
    : QWidget(parent)
{
    auto *stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(6);
    stack->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    local = new QRadioButton(QStringLiteral("На этом компьютере"), this);
    cloud = new QRadioButton(QStringLiteral("Nimbrel Cloud"), this);
    stack->addWidget(local);
    stack->addWidget(note(QStringLiteral("Без интернета. Модель скачивается один раз."), this));
    stack->addWidget(cloud);
    stack->addWidget(note(QStringLiteral("Модель не нужна. Запись уходит на сервер, ≈0,55 ₽ за минуту с баланса."), this));
    setMinimumWidth(380);
    (engine == Engine::cloud ? cloud : local)->setChecked(true);
    adjustSize();
}

Engine EngineForm::choice() const
{
    return cloud->isChecked() ? Engine::cloud : Engine::local;
}
