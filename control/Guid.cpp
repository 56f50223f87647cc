#include "control/Guid.h"

#include "ui_Guid.h"

TForm2::TForm2(QWidget* parent) : QWidget(parent), ui_(new Ui::Form2) {
    ui_->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::black);
    setPalette(p);
}

TForm2::~TForm2() = default;
