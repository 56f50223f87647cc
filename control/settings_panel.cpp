#include "control/settings_panel.h"

#include "core/names.h"
#include "platform/qt/message_box.h"

#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QSaveFile>
#include <QSettings>
#include <QSlider>
#include <QTextBlock>
#include <QTextDocument>
#include <QWidget>

#include <stdexcept>

const QString kNamesFile = "nevek.txt";
const QString kSettingsFile = "setting.cfg";
const QString kOptionsFile = "vorbelt.ini";
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
    s.fineSync = fineSync->isChecked();
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
    fineSync->setChecked(s.fineSync);
}

namespace {
// Characters that the memo would take for line breaks stand for themselves in a visible form.
constexpr char16_t kShownCr = 0x240D;            // SYMBOL FOR CARRIAGE RETURN
constexpr char16_t kShownLineSeparator = 0x2424; // SYMBOL FOR NEWLINE
} // namespace

QString SettingsPanel::shown(const std::string& name) {
    QString text = QString::fromLocal8Bit(name.data(), static_cast<qsizetype>(name.size()));
    text.replace(QChar('\r'), QChar(kShownCr));
    text.replace(QChar(QChar::LineSeparator), QChar(kShownLineSeparator));
    return text;
}

void SettingsPanel::setNameList(const std::vector<std::string>& list) {
    loaded->names = list;
    loaded->shown.clear();
    for (const std::string& n : list)
        loaded->shown << shown(n);
    names->setPlainText(loaded->shown.join('\n'));
}

std::vector<std::string> SettingsPanel::nameList() const {
    QTextDocument* doc = names->document();
    // The memo's lines (block texts keep no-break spaces, unlike the plain text).
    QStringList lines;
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next())
        lines << b.text();
    // As they were set: exactly the names as read, their count as the names file gave it
    // (which a memo cannot always show: one empty name looks like none).
    if (!loaded->names.empty() && lines == loaded->shown)
        return loaded->names;
    std::vector<std::string> list;
    if (doc->isEmpty())
        return list;
    // One name per line of the memo; a line as it was set keeps its bytes.
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) {
        const int k = b.blockNumber();
        QString text = b.text();
        if (k < loaded->shown.size() && text == loaded->shown[k]) {
            list.push_back(loaded->names[static_cast<std::size_t>(k)]);
            continue;
        }
        text.replace(QChar(kShownCr), QChar('\r'));
        text.replace(QChar(kShownLineSeparator), QChar(QChar::LineSeparator));
        list.push_back(text.toLocal8Bit().toStdString());
    }
    return list;
}

void saveSettings(const SettingsPanel& panel, QWidget* settingsPanel) {
    // The panel shows and hides as designed whether or not the files could be written: a
    // folder that takes no file must not cost the operator the panel.
    try {
        writeNamesFile(panel.nameList());
        const vorbelt::Settings s = panel.settings();
        const bool recordWritten = writeSettingsFile(s);
        if (!writeOptionsFile(s) || !recordWritten)
            messageBox(kFileErrorText, "File Error", BoxKind::Warning);
    } catch (const std::exception& e) {
        messageBox(QString::fromLocal8Bit(e.what()), "Vorbelt Player", BoxKind::Warning);
    }
    settingsPanel->setVisible(!settingsPanel->isVisible());
}

namespace {
constexpr const char* kFineSyncKey = "Sync/FineSync";
}

void readOptionsFile(vorbelt::Settings& current) {
    current.fineSync = false;
    // Only a regular file is read: a FIFO or a device of that name would never end a read.
    if (!QFileInfo(kOptionsFile).isFile())
        return;
    QSettings options(kOptionsFile, QSettings::IniFormat);
    const QVariant on = options.value(kFineSyncKey);
    current.fineSync = options.status() == QSettings::NoError &&
                       on.typeId() == QMetaType::QString &&
                       (on.toString() == "true" || on.toString() == "1");
}

bool writeOptionsFile(const vorbelt::Settings& settings) {
    const QFileInfo where(kOptionsFile);
    if (where.exists() && !where.isFile())
        return false;
    // A damaged file is not read back into what is written: it is written anew.
    if (where.exists() &&
        QSettings(kOptionsFile, QSettings::IniFormat).status() != QSettings::NoError)
        QFile::remove(kOptionsFile);
    QSettings options(kOptionsFile, QSettings::IniFormat);
    options.setValue(kFineSyncKey, settings.fineSync);
    options.sync();
    return options.status() == QSettings::NoError;
}

bool readSettingsFile(vorbelt::Settings& current) {
    QFile f(kSettingsFile);
    // Only a regular file is read: a FIFO or a device of that name would never end a read.
    if (!QFileInfo(kSettingsFile).isFile() || !f.open(QIODevice::ReadOnly))
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

bool readNamesFile(std::vector<std::string>& names) {
    QFile f(kNamesFile);
    const QFileInfo info(kNamesFile);
    if (!info.exists() && !info.isSymLink())
        return false;
    // Only a regular file is read: a FIFO or a device of that name would never end a read.
    if (!info.isFile())
        throw std::runtime_error("\"" + kNamesFile.toStdString() + "\" is not a regular file.");
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("Cannot open file \"" + kNamesFile.toStdString() + "\". " +
                                 f.errorString().toStdString());
    // At most what a names file ever holds is read: a huge file, or one of the system's that
    // never ends (a link into /proc), would cost the station its memory.
    // (Read in whole blocks: some of the system's files take no other reads.)
    const QByteArray content = f.read(kNamesFileMost);
    const bool more = content.size() == kNamesFileMost && !f.read(8).isEmpty();
    if (f.error() != QFileDevice::NoError && !more)
        throw std::runtime_error("Read error on \"" + kNamesFile.toStdString() + "\". " +
                                 f.errorString().toStdString());
    if (more)
        throw NamesFileRefused("\"" + info.absoluteFilePath().toStdString() +
                               "\" is larger than 64 KiB: the station starts with its default "
                               "camera names.");
    names = vorbelt::decodeNames(content.toStdString());
    return true;
}

namespace {

// Why `file` of the current folder cannot be written, as one sentence: the whole path, and the
// folder named when it takes no new file.
std::string cannotWrite(const QString& file, const QString& why) {
    const QFileInfo info(file);
    QString text = "Cannot write \"" + info.absoluteFilePath() + "\": ";
    if (!QFileInfo(info.absolutePath()).isWritable())
        text += "the folder " + info.absolutePath() + " takes no new file (" + why + ")";
    else
        text += why;
    return text.toStdString() + ".";
}

} // namespace

void writeNamesFile(const std::vector<std::string>& names) {
    const std::string content = vorbelt::encodeNames(names);
    QSaveFile f(kNamesFile);
    // A folder that takes no new file (the names file itself being writable) is written in
    // place rather than not at all.
    f.setDirectWriteFallback(true);
    if (!f.open(QIODevice::WriteOnly) ||
        f.write(content.data(), static_cast<qint64>(content.size())) !=
            static_cast<qint64>(content.size()) ||
        !f.commit())
        throw std::runtime_error(cannotWrite(kNamesFile, f.errorString()));
}
