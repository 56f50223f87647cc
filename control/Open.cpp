#include "control/Open.h"

#include "control/station.h"
#include "core/file_set.h"
#include "platform/qt/message_box.h"
#include "ui_Open.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QFileInfo>

namespace {
TFrame1::DialogHook dialogHook;
}

TFrame1::TFrame1(QWidget* parent) : QWidget(parent), ui_(new Ui::Frame1) {
    ui_->setupUi(this);
    dialog_ = std::make_unique<QFileDialog>(this, "Open");
    // The stand-alone list's dialog (the compact window's) has no window of the station below
    // it to keep it in front: it stays on top itself, above the stay-on-top control windows.
    if (!parent)
        dialog_->setWindowFlag(Qt::WindowStaysOnTopHint);
    dialog_->setFileMode(QFileDialog::ExistingFile);
    dialog_->setAcceptMode(QFileDialog::AcceptOpen);
    dialog_->setNameFilter("Stereo MPEG-file (*.mpg)");
    dialog_->setDefaultSuffix("mpg");
    dialog_->setSizeGripEnabled(true);
}

TFrame1::~TFrame1() = default;

QListWidget* TFrame1::ListBox1() const {
    return ui_->ListBox1;
}
QPushButton* TFrame1::Button1() const {
    return ui_->Button1;
}
QPushButton* TFrame1::Button2() const {
    return ui_->Button2;
}

void TFrame1::setDialogHook(DialogHook hook) {
    dialogHook = std::move(hook);
}

void TFrame1::closeLeftoverPopups() {
    // A typed file name opens the name completion; Return accepts the dialog while it is still
    // open. Left open, it would stay on screen and take every key (a popup grabs the keyboard)
    // while Load blocks and after, until a click somewhere closed it.
    for (QCompleter* completer : dialog_->findChildren<QCompleter*>())
        if (completer->popup() && completer->popup()->isVisible())
            completer->popup()->hide();
    for (int k = 0; k < 8 && QApplication::activePopupWidget(); ++k)
        QApplication::activePopupWidget()->close();
    // The caller blocks next: what was hidden must reach the window system now.
    station::flushWindowSystem();
}

void TFrame1::Button1Click() {
    // The dialog never changes the current directory: Qt's file dialog leaves it alone.
    QString chosen;
    if (dialogHook) {
        chosen = dialogHook(*dialog_);
    } else if (dialog_->exec() == QDialog::Accepted && !dialog_->selectedFiles().isEmpty()) {
        chosen = dialog_->selectedFiles().first();
    }
    closeLeftoverPopups();
    if (chosen.isEmpty())
        return;
    // A file outside the naming rule loads nothing that the operator chose: say what is expected.
    const QString name = QFileInfo(chosen).fileName();
    if (!vorbelt::cameraFileName(name.toStdString()))
        messageBox("\"" + name +
                       "\" is no camera file of a recording: the files of a recording are "
                       "named with a camera digit before \"_st\" and the extension (such as "
                       "take0_st.mpg, take1_st.mpg, ...).",
                   "Not a camera file", BoxKind::Warning);
    ui_->ListBox1->clear();
    const auto members = vorbelt::recordingSet(chosen.toStdString(), [](const std::string& p) {
        return QFileInfo(QString::fromStdString(p)).isFile();
    });
    for (const auto& m : members)
        ui_->ListBox1->addItem(QString::fromStdString(m));
}
