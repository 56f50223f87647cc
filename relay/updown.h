// Up/down arrows without a value of their own: each click says which arrow was pressed.
#pragma once

#include <QAbstractSpinBox>

class UpDown : public QAbstractSpinBox {
    Q_OBJECT
public:
    explicit UpDown(QWidget* parent = nullptr) : QAbstractSpinBox(parent) {
        setButtonSymbols(QAbstractSpinBox::UpDownArrows);
        setFocusPolicy(Qt::NoFocus);
    }
    void stepBy(int steps) override {
        if (steps != 0)
            emit clicked(steps > 0);
    }

signals:
    void clicked(bool up);

protected:
    StepEnabled stepEnabled() const override { return StepUpEnabled | StepDownEnabled; }
};
