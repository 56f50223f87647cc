// The compact control window "Player_gui".
#pragma once

#include <QWidget>

#include <memory>

namespace Ui {
class Form2;
}

class TForm2 : public QWidget {
    Q_OBJECT
public:
    explicit TForm2(QWidget* parent = nullptr);
    ~TForm2() override;

private:
    std::unique_ptr<Ui::Form2> ui_;
};
