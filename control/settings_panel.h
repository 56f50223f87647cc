// The settings controls of a window (the main window and the compact window have the same set)
// and the two files that keep them: "nevek.txt" (camera names) and "setting.cfg" (the settings
// record), both in the current directory.
#pragma once

#include "core/settings.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class QCheckBox;
class QPlainTextEdit;
class QRadioButton;
class QSlider;
class QWidget;

extern const QString kNamesFile;
extern const QString kSettingsFile;
// The options kept beside the settings record (an INI file): "Fine Sync".
extern const QString kOptionsFile;
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
    QCheckBox* fineSync;    // CheckBox7
    QSlider* opacity;       // TrackBar2
    QPlainTextEdit* names;  // Memo1
    bool* transparencyFlag;

    vorbelt::Settings settings() const;
    // Sets the controls; a control whose value changes runs its change handler.
    void apply(const vorbelt::Settings& s);

    // The camera names, one byte string each, as the names file holds them. A name the
    // operator has not edited keeps its bytes as they were read, whatever the local character
    // set makes of them; the memo shows each name on one line.
    std::vector<std::string> nameList() const;
    void setNameList(const std::vector<std::string>& names);
    int nameCount() const { return static_cast<int>(nameList().size()); }
    // A name as the memo and the label tiles show it.
    static QString shown(const std::string& name);

    // The names as last set, and as the memo showed them then (shared by the copies of a
    // window's panel).
    struct Loaded {
        std::vector<std::string> names;
        QStringList shown;
    };
    std::shared_ptr<Loaded> loaded = std::make_shared<Loaded>();
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
                         ui.CheckBox7,
                         ui.TrackBar2,
                         ui.Memo1,
                         transparencyFlag};
}

// "Settings_Save" of either window: the names file, then the settings record ("File Error" when
// it cannot be written), then the Settings panel toggled. A names file that cannot be written
// is reported and ends the save there.
void saveSettings(const SettingsPanel& panel, QWidget* settingsPanel);

// Reads the options file onto `current`: "Fine Sync" is on only when the file says so in a
// form it can read; a missing, damaged or unreadable file means off.
void readOptionsFile(vorbelt::Settings& current);
// Writes the options file. False on failure.
bool writeOptionsFile(const vorbelt::Settings& settings);

// Reads "setting.cfg" onto `current`. False when the file exists but cannot be opened or read
// (the bytes read before the failure are applied all the same).
bool readSettingsFile(vorbelt::Settings& current);
// Writes the eight bytes in place: a longer file keeps its bytes after the eighth; a missing
// file is created. False on failure.
bool writeSettingsFile(const vorbelt::Settings& settings);

// The names file's lines, or nothing when it does not exist. Only a regular file is read.
// Throws std::runtime_error when it exists but cannot be read.
bool readNamesFile(std::vector<std::string>& names);
// The names file is larger than any names file (a huge one, or one of the system's that never
// ends): the station starts with its default names. Other errors end the start-up.
struct NamesFileRefused : std::runtime_error {
    using std::runtime_error::runtime_error;
};
constexpr qint64 kNamesFileMost = 64 * 1024;
// Replaces the names file whole: written beside it first and renamed over it, so a failure
// part-way never leaves it half-written; where no file can be made beside it, written in
// place. Throws std::runtime_error on failure.
void writeNamesFile(const std::vector<std::string>& names);
