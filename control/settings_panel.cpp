#include "control/settings_panel.h"

#include "core/names.h"
#include "platform/qt/message_box.h"

#include <QCheckBox>
#include <QFile>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QSaveFile>
#include <QSlider>
#include <QWidget>

#include <stdexcept>

const QString kNamesFile = "nevek.txt";
const QString kSettingsFile = "setting.cfg";
const QString kFileErrorText =
    "Can't perform one of the following file operations: Open, Seek, Read, Close.";

vorbelt::Settings SettingsPanel::settings() const {
    vorbelt::Settings s;
    s.resolution = resolution[0]->isChecked()   ? 0
                   : resolution[1]->isChecked() ? 1
                   : resolution[2]->isChecked() ? 2
                                                : -1;
    s.doubleWide = doubleWide->isChecked();
    s.alwaysPlay = alwaysPlay->isChecked();
    s.preview = preview->isChecked();
    s.opacityStep = opacity->value();
    s.fileList = fileList->isChecked();
    s.help = help->isChecked();
    s.transparent = *transparencyFlag;
    return s;
}

void SettingsPanel::apply(const vorbelt::Settings& s) {
    if (s.resolution >= 0 && s.resolution <= 2)
        resolution[s.resolution]->setChecked(true);
    doubleWide->setChecked(s.doubleWide);
    alwaysPlay->setChecked(s.alwaysPlay);
    preview->setChecked(s.preview);
    opacity->setValue(s.opacityStep);
    fileList->setChecked(s.fileList);
    help->setChecked(s.help);
    *transparencyFlag = s.transparent;
    transparent->setChecked(s.transparent);
}

QStringList SettingsPanel::nameLines() const {
    return names->toPlainText().split('\n');
}

void SettingsPanel::setNameLines(const QStringList& lines) {
    names->setPlainText(lines.join('\n'));
}

void saveSettings(const SettingsPanel& panel, QWidget* settingsPanel) {
    try {
        writeNamesFile(panel.nameLines());
    } catch (const std::exception& e) {
        messageBox(QString::fromLocal8Bit(e.what()), "Vorbelt Player");
        return;
    }
    if (!writeSettingsFile(panel.settings()))
        messageBox(kFileErrorText, "File Error");
    settingsPanel->setVisible(!settingsPanel->isVisible());
}

bool readSettingsFile(vorbelt::Settings& current) {
    QFile f(kSettingsFile);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    std::string bytes;
    for (std::size_t k = 0; k < vorbelt::kSettingsRecordSize; ++k) {
        char c;
        const qint64 n = f.read(&c, 1);
        if (n < 0) {
            current = vorbelt::decodeSettings(bytes, current);
            // The failure ends the block before the transparency flag is looked at.
            return false;
        }
        if (n == 0)
            break;
        bytes += c;
    }
    current = vorbelt::decodeSettings(bytes, current);
    return true;
}

bool writeSettingsFile(const vorbelt::Settings& settings) {
    QFile f(kSettingsFile);
    // ReadWrite creates a missing file and keeps an existing one's length.
    if (!f.open(QIODevice::ReadWrite))
        return false;
    for (uint8_t b : vorbelt::encodeSettings(settings))
        if (f.write(reinterpret_cast<const char*>(&b), 1) != 1)
            return false;
    f.close();
    return f.error() == QFileDevice::NoError;
}

bool readNamesFile(QStringList& lines) {
    QFile f(kNamesFile);
    if (!f.exists())
        return false;
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("Cannot open file \"" + kNamesFile.toStdString() + "\". " +
                                 f.errorString().toStdString());
    const QByteArray content = f.readAll();
    if (f.error() != QFileDevice::NoError)
        throw std::runtime_error("Read error on \"" + kNamesFile.toStdString() + "\". " +
                                 f.errorString().toStdString());
    lines.clear();
    for (const auto& n : vorbelt::decodeNames(content.toStdString()))
        lines << QString::fromLocal8Bit(n.data(), static_cast<qsizetype>(n.size()));
    return true;
}

void writeNamesFile(const QStringList& lines) {
    std::vector<std::string> names;
    for (const QString& l : lines)
        names.push_back(l.toLocal8Bit().toStdString());
    const std::string content = vorbelt::encodeNames(names);
    QSaveFile f(kNamesFile);
    if (!f.open(QIODevice::WriteOnly) ||
        f.write(content.data(), static_cast<qint64>(content.size())) !=
            static_cast<qint64>(content.size()) ||
        !f.commit())
        throw std::runtime_error("Cannot create file \"" + kNamesFile.toStdString() + "\". " +
                                 f.errorString().toStdString());
}
