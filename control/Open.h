// The file list frame: the operator picks one file of a recording and the frame lists every
// existing camera file of its set, in camera-digit order.
#pragma once

#include <QFileDialog>
#include <QWidget>

#include <functional>
#include <memory>

namespace Ui {
class Frame1;
}
class QListWidget;
class QPushButton;

class TFrame1 : public QWidget {
    Q_OBJECT
public:
    explicit TFrame1(QWidget* parent = nullptr);
    ~TFrame1() override;

    QListWidget* ListBox1() const;
    QPushButton* Button1() const;
    QPushButton* Button2() const;
    QFileDialog& OpenDialog1() { return *dialog_; }

    // Answers the open dialog without showing it (tests): returns the chosen path, or an
    // empty string for a cancel.
    using DialogHook = std::function<QString(QFileDialog&)>;
    static void setDialogHook(DialogHook hook);

public slots:
    // Runs the open dialog and rebuilds the list; a cancel keeps the list.
    void Button1Click();

private:
    void closeLeftoverPopups();

    std::unique_ptr<Ui::Frame1> ui_;
    std::unique_ptr<QFileDialog> dialog_;
};
