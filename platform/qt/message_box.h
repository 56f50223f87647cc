// Every message box of the station goes through messageBox(), so that tests can answer it.
//
// In tests, VORBELT_MESSAGE_BOX_LOG names a file: every box is then appended to it as one
// line "caption<TAB>text" instead of being shown, and answered from VORBELT_MESSAGE_BOX_ANSWERS
// (comma-separated "ok" or "cancel", taken in order; when they run out, "ok" for a plain box
// and "cancel" for a question, so that no wait goes on for ever).
#pragma once

#include <QString>

#include <functional>

class QWidget;

enum class BoxAnswer { Ok, Cancel };
enum class BoxKind {
    Warning,     // something went wrong: the warning icon, one OK button
    Information, // a notice: the information icon, one OK button
    Question,    // OK continues, Cancel declines
};

BoxAnswer messageBox(const QString& text, const QString& caption, BoxKind kind,
                     QWidget* parent = nullptr);

// Replaces how boxes are answered (in-process tests). An empty function restores the default.
using MessageBoxHandler =
    std::function<BoxAnswer(const QString& text, const QString& caption, BoxKind kind)>;
void setMessageBoxHandler(MessageBoxHandler handler);
