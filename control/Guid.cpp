#include "control/Guid.h"

#include "control/icons.h"
#include "platform/qt/message_box.h"
#include "ui_Guid.h"

#include <QCheckBox>

TForm2::TForm2(QWidget* parent) : QWidget(parent), ui_(new Ui::Form2) {
    ui_->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    auto fill = [](QWidget* w, const QColor& c) {
        QPalette p = w->palette();
        p.setColor(QPalette::Window, c);
        w->setPalette(p);
        w->setAutoFillBackground(true);
    };
    fill(this, Qt::black);
    fill(ui_->Panel3, QColor(192, 192, 192));
    fill(ui_->GroupBox1, QColor(192, 192, 192));
    for (auto* lcd : {ui_->LCDNumber1, ui_->LCDNumber2, ui_->LCDNumber3, ui_->LCDNumber4}) {
        QPalette lp = lcd->palette();
        lp.setColor(QPalette::WindowText, QColor(128, 0, 0));
        lcd->setPalette(lp);
    }
    ui_->Image7->setPixmap(icons::transportStrip());
    settings_ = settingsPanelOf(*ui_, &transparencyFlag);
    connect(ui_->Button2, &QPushButton::clicked, this, &TForm2::Button2Click);
    connect(ui_->CheckBox6, &QCheckBox::toggled, this, &TForm2::CheckBox6Click);
}

TForm2::~TForm2() = default;

void TForm2::CheckBox6Click() {
    transparencyFlag = ui_->CheckBox6->isChecked();
}

void TForm2::Button2Click() {
    saveSettings(settings_, ui_->GroupBox1);
}
