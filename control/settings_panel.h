// The settings controls of a window (the main window and the compact window have the same set)
// and the two files that keep them: "nevek.txt" (camera names) and "setting.cfg" (the settings
// record), both in the current directory.
#pragma once

#include "core/settings.h"

#include <QString>
#include <QStringList>

#include <atomic>

class QCheckBox;
class QPlainTextEdit;
class QRadioButton;
class QSlider;
class QWidget;

extern const QString kNamesFile;
extern const QString kSettingsFile;
// Text of the "File Error" box.
extern const QString kFileErrorText;

struct SettingsPanel {
    QRadioButton* resolution[3];
    QCheckBox* doubleWide;  // CheckBox1
    QCheckBox* alwaysPlay;  // CheckBox2
    QCheckBox* preview;     // CheckBox3
    QCheckBox* fileList;    // CheckBox4
    QCheckBox* help;        // CheckBox5
    QCheckBox* transparent; // CheckBox6
    QSlider* opacity;       // TrackBar2
    QPlainTextEdit* names;  // Memo1
    bool* transparencyFlag;

    vorbelt::Settings settings() const;
    // Sets the controls; a control whose value changes runs its change handler.
    void apply(const vorbelt::Settings& s);
    QStringList nameLines() const;
    void setNameLines(const QStringList& lines);
};

// The settings controls of a form (both forms name them alike).
template <class Form> SettingsPanel settingsPanelOf(Form& ui, bool* transparencyFlag) {
    return SettingsPanel{{ui.RadioGroup1Item0, ui.RadioGroup1Item1, ui.RadioGroup1Item2},
                         ui.CheckBox1,
                         ui.CheckBox2,
                         ui.CheckBox3,
                         ui.CheckBox4,
                         ui.CheckBox5,
                         ui.CheckBox6,
                         ui.TrackBar2,
                         ui.Memo1,
                         transparencyFlag};
}

// "Settings_Save" of either window: the names file, then the settings record ("File Error" when
// it cannot be written), then the Settings panel toggled. A names file that cannot be written
// is reported and ends the save there.
void saveSettings(const SettingsPanel& panel, QWidget* settingsPanel);

// Reads "setting.cfg" onto `current`. False when the file exists but cannot be opened or read
// (the bytes read before the failure are applied all the same).
bool readSettingsFile(vorbelt::Settings& current);
// Writes the eight bytes in place: a longer file keeps its bytes after the eighth; a missing
// file is created. False on failure.
bool writeSettingsFile(const vorbelt::Settings& settings);

// The names file's lines, or nothing when it does not exist. Throws std::runtime_error when it
// exists but cannot be read.
bool readNamesFile(QStringList& lines);
// Replaces the names file whole: written beside it first and renamed over it, so a failure
// part-way never leaves it half-written. Throws std::runtime_error on failure.
void writeNamesFile(const QStringList& lines);
