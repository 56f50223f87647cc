#include "message_box.h"

#include <QFile>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>
#include <QStringList>

#include <mutex>

namespace {

std::mutex lock;
MessageBoxHandler handler;
int answersTaken = 0;

BoxAnswer fromEnvironment(const QString& text, const QString& caption, BoxKind kind,
                          bool& handled) {
    const QString log = qEnvironmentVariable("VORBELT_MESSAGE_BOX_LOG");
    handled = !log.isEmpty();
    if (!handled)
        return BoxAnswer::Ok;
    QFile f(log);
    if (f.open(QIODevice::Append | QIODevice::WriteOnly)) {
        f.write((caption + '\t' + QString(text).replace('\n', ' ') + '\n').toUtf8());
        f.close();
    }
    const QStringList answers =
        qEnvironmentVariable("VORBELT_MESSAGE_BOX_ANSWERS").split(',', Qt::SkipEmptyParts);
    if (answersTaken < answers.size())
        return answers[answersTaken++].trimmed().compare("cancel", Qt::CaseInsensitive) == 0
                   ? BoxAnswer::Cancel
                   : BoxAnswer::Ok;
    return kind == BoxKind::Question ? BoxAnswer::Cancel : BoxAnswer::Ok;
}

} // namespace

void setMessageBoxHandler(MessageBoxHandler h) {
    std::lock_guard<std::mutex> g(lock);
    handler = std::move(h);
}

BoxAnswer messageBox(const QString& text, const QString& caption, BoxKind kind, QWidget* parent) {
    {
        std::lock_guard<std::mutex> g(lock);
        if (handler)
            return handler(text, caption, kind);
        bool handled = false;
        const BoxAnswer a = fromEnvironment(text, caption, kind, handled);
        if (handled)
            return a;
    }
    const QMessageBox::Icon icon = kind == BoxKind::Warning    ? QMessageBox::Warning
                                   : kind == BoxKind::Question ? QMessageBox::Question
                                                               : QMessageBox::Information;
    QMessageBox box(icon, caption, text,
                    kind == BoxKind::Question ? QMessageBox::Ok | QMessageBox::Cancel
                                              : QMessageBox::Ok,
                    parent);
    // A box is as wide as its text, whatever its caption: a short text ("Wait more?") would cut
    // the caption that says what is awaited. Its caption fits, with room for the title bar's
    // buttons.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        const int width = box.fontMetrics().horizontalAdvance(caption) + 120;
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Expanding),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    return box.exec() == QMessageBox::Ok ? BoxAnswer::Ok : BoxAnswer::Cancel;
}
