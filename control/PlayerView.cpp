// The main window's view options, its activation, its layered mode (colour key or alpha) and
// its repaint.
#include "control/Player.h"

#include "control/Guid.h"
#include "control/station.h"
#include "core/geometry.h"
#include "ui_Player.h"

#include <QBitmap>

#include <QCheckBox>
#include <QTimer>
#include <algorithm>

void TForm1::Button2Click() {
    // The main window, too, tells the operator when the settings could not be saved.
    saveSettings(settings_, ui_->GroupBox1);
    drawingChanged();
    update();
}

void TForm1::RadioGroup1Click() {
    if (const auto size = tileSizeFromResolution())
        setGeometry(Tag, 0, size->width, size->height);
    if (vorbelt::layoutServes(cameraCount()))
        layOutLabelTiles();
    update();
}

void TForm1::TrackBar2Change() {
    setLayered(platform::LWA_ALPHA_FLAG, vorbelt::opacityAlpha(ui_->TrackBar2->value()));
}

void TForm1::CheckBox3Click() {
    // (A tile without a camera has no name and stands, unlaid, at the top of the window: it
    // stays hidden.)
    for (int k = 0; k < 8; ++k)
        labelTile(k)->setVisible(ui_->CheckBox3->isChecked() && k < std::min(cameraCount(), 8));
    drawingChanged();
    update();
}

void TForm1::CheckBox4Click() {
    ui_->Frame11->setVisible(ui_->CheckBox4->isChecked());
}
void TForm1::CheckBox5Click() {
    ui_->ListBox1->setVisible(ui_->CheckBox5->isChecked());
}
void TForm1::CheckBox6Click() {
    transparencyFlag = ui_->CheckBox6->isChecked();
}
void TForm1::CheckBox7Click() {
    sync_->setEnabled(ui_->CheckBox7->isChecked());
}

void TForm1::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        FormActivate();
}

void TForm1::FormActivate() {
    // Our own window, found by its caption; it exists, so the wait is short, and bounded.
    waitFlag = true;
    int polls = 0;
    while (waitFlag) {
        mainWindowHandle = platform::findWindow("VorbeltPlayer");
        platform::sleepMs(100);
        if (mainWindowHandle != 0 || ++polls >= 20)
            waitFlag = false;
    }
    if (mainWindowHandle == 0)
        mainWindowHandle = winId();
    platform::setColourKeyCutter(mainWindowHandle, [this](uint32_t, bool on) { cutOutRed(on); });
    platform::setWindowLong(mainWindowHandle, platform::GWL_EXSTYLE_INDEX,
                            platform::WS_EX_LAYERED_STYLE);
    drawingChanged();
    applyLayeredMode();
}

void TForm1::drawingChanged() {
    maskDirty_ = true;
    // Qt draws nothing outside the window's current mask, and the window system keeps no
    // pixels there: a panel shown or moved out of it would stay unpainted once the mask takes
    // it in. Its place joins the mask before it is drawn; the next cut makes the mask exact.
    if (mask().isEmpty())
        return;
    QRegion grown = mask();
    for (QWidget* child : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (child->isVisible())
            grown += child->geometry();
    if (grown != mask())
        setMask(grown);
}

void TForm1::cutOutRed(bool on) {
    if (!on) {
        // Clearing the mask repaints what it had cut out. That repaint is this switch's own: it
        // must not put the colour key back at once, or an alpha preview would undo itself.
        if (!mask().isEmpty())
            uncovered_ += QRegion(rect()) - mask();
        clearMask();
    } else {
        // The window as drawn now, without its red pixels.
        maskDirty_ = false;
        uncovered_ = QRegion();
        grabbing_ = true;
        const QImage image = grab().toImage();
        grabbing_ = false;
        const QBitmap keep =
            QBitmap::fromImage(image.createMaskFromColor(QColor(255, 0, 0).rgb(), Qt::MaskInColor));
        setMask(QRegion(keep));
    }
    // Qt sends a mask made after the window is shown only with its next request: send it now.
    station::flushWindowSystem();
}

void TForm1::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    const bool uncoveringOnly = !uncovered_.isEmpty() && (event->region() - uncovered_).isEmpty();
    uncovered_ = QRegion();
    FormPaint(!uncoveringOnly);
}

void TForm1::FormPaint(bool applyLayering) {
    recolourButtons();
    ui_->TrackBar1->setValue(referenceTime);
    // The layered mode is put back after the paint, not inside it: cutting out the red
    // pixels draws the window once more.
    if (applyLayering && mainWindowHandle != 0 && !layeredPending_ && !grabbing_) {
        layeredPending_ = true;
        QTimer::singleShot(0, this, [this] {
            layeredPending_ = false;
            applyLayeredMode();
        });
    }
}

void TForm1::recolourButtons() {
    for (int i = 0; i < cameraCount() && i <= 6; ++i)
        station::colourCameraButton(cameraButton(i + 1), channelState[i]);
}

void TForm1::applyLayeredMode() {
    setLayered(transparencyFlag ? platform::LWA_ALPHA_FLAG : platform::LWA_COLORKEY_FLAG,
               vorbelt::opacityAlpha(ui_->TrackBar2->value()));
}

void TForm1::setLayered(uint32_t mode, uint8_t alpha) {
    if (mainWindowHandle == 0)
        return;
    const bool same = mode == appliedMode_ &&
                      (mode == platform::LWA_COLORKEY_FLAG ? !maskDirty_ : alpha == appliedAlpha_);
    if (same)
        return;
    appliedMode_ = mode;
    appliedAlpha_ = alpha;
    platform::setLayeredWindowAttributes(mainWindowHandle, 0x0000FF, alpha, mode);
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    drawingChanged();
}
