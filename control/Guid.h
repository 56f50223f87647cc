// The compact control window "Player_gui": a small window for up to seven cameras, on the
// same channels as the main window.
#pragma once

#include "control/settings_panel.h"

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

    Ui::Form2* ui() const { return ui_.get(); }
    SettingsPanel& settingsPanel() { return settings_; }

    bool transparencyFlag = false;

public slots:
    void Button2Click();
    void CheckBox6Click();

private:
    std::unique_ptr<Ui::Form2> ui_;
    SettingsPanel settings_;
};
